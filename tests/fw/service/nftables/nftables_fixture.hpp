#pragma once

// Shared pieces of the nftables service tests: a loader that declares the probe's modules loaded, the
// diverter's queues, the marks L=1, C=2, S=4 and a queue action this kernel accepts.

#include <array>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "fw/linux/nftables/expr/element.hpp"
#include "fw/service/divert_queues.hpp"
#include "fw/service/kernel/marks.hpp"
#include "fw/service/kernel/nftables.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "fw/util/configuration.hpp"
#include "tests/support/netns.hpp"

namespace tests::nft {

class fake_loader_t : public fw::util::module_loader_t {
public:
  fake_loader_t() : module_loader_t(fw::util::process_runner_t::system()) {}
  std::set<std::string> missing;
  void load(const std::string &name) override {
    if (missing.count(name)) throw std::runtime_error("/sbin/modprobe exited with status 256");
  }
};

class fake_queues_t : public fw::service::divert_queues_t {
public:
  std::array<std::optional<std::uint16_t>, 3> queues; // output, input, forward
  std::optional<std::uint16_t> queue_number(unsigned direction) const override {
    return direction < 3 ? queues[direction] : std::nullopt;
  }
};

class no_sources_t : public fw::service::marks_t::delegate_t {
public:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> routing_marks() override { return {}; }
  std::optional<std::uint32_t> nftables_marks() override { return std::nullopt; }
};

// In place of the "queue" expression, which this kernel lacks: log with the prefix "queue N".
inline void log_queue(fw::linux::nftables::rule_builder_t &rule, std::uint16_t queue) {
  fw::linux::nftables::expr::element_writer_t element(rule.message(), "log");
  rule.message().put_string(2, "queue " + std::to_string(queue)); // NFTA_LOG_PREFIX
  element.close();
}

// Everything an nftables_t needs, with manual marks L=1, C=2, S=4 and the divert marks 8 (output),
// 16 (input), 32 (forward).
struct setup_t {
  fw::configuration_t config;
  no_sources_t sources;
  fw::service::marks_t marks{config, sources};
  boost::asio::ip::tcp::endpoint endpoint{boost::asio::ip::make_address_v4("127.0.0.1"), 8080};
  fake_queues_t queues;
  fake_loader_t loader;
  boost::asio::io_context io;

  setup_t() {
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.mutable_local_delivery_mark()->set_manual(1);
    config.mutable_client_packets_mark()->set_manual(2);
    config.mutable_server_packets_mark()->set_manual(4);
    config.mutable_output_divert_mark()->set_manual(8);
    config.mutable_input_divert_mark()->set_manual(16);
    config.mutable_forward_divert_mark()->set_manual(32);
  }

  // Enables the directions that have queues and settles the marks.
  void settle() {
    config.set_output_divert_enable(queues.queues[0].has_value());
    config.set_input_divert_enable(queues.queues[1].has_value());
    config.set_forward_divert_enable(queues.queues[2].has_value());
    marks.start();
  }

  std::unique_ptr<fw::service::nftables_t> service(bool substitute_queue = true) {
    settle();
    auto s = std::make_unique<fw::service::nftables_t>(config, marks, endpoint, queues, io, loader);
    if (substitute_queue) s->replace_queue_action(log_queue);
    return s;
  }
};

// Loads a ruleset script with nft -f.
inline void nft_script(const std::string &script) { tests::shell("nft -f - <<'END'\n" + script + "\nEND"); }

// The rules of a chain as nft lists them (one line each, without the chain's header).
inline std::vector<std::string> chain_rules(const std::string &family_table, const std::string &chain) {
  std::istringstream in(tests::shell("nft list chain " + family_table + " " + chain));
  std::vector<std::string> rules;
  std::string line;
  while (std::getline(in, line)) {
    const auto start = line.find_first_not_of('\t');
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (line.starts_with("table ") || line.starts_with("chain ") || line.starts_with("type ") || line == "}")
      continue;
    rules.push_back(line);
  }
  return rules;
}

} // namespace tests::nft
