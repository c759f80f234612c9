// The nftables installer against the kernel in a private network namespace, cross-checked with nft.
// This kernel lacks the "queue" expression: queueing rules carry a log expression "queue N" instead.

#include <sstream>

#include "fw/linux/nftables/constants.hpp"
#include "fw/linux/nftables/expr/element.hpp"
#include "fw/linux/nftables/policy/batch_policy.hpp"
#include "fw/linux/nftables/requests.hpp"
#include "fw/service/kernel/nftables.hpp"
#include "fw/util/module_loader.hpp"
#include "fw/util/process_runner.hpp"
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/text.hpp"

namespace {

// Declares every module of the probe loaded.
class fake_loader_t : public fw::util::module_loader_t {
public:
  fake_loader_t() : module_loader_t(fw::util::process_runner_t::system()) {}
  void load(const std::string &) override {}
};

// In place of the "queue" expression, which this kernel lacks: log with the prefix "queue N".
void log_queue(fw::linux::nftables::rule_builder_t &rule, std::uint16_t queue) {
  fw::linux::nftables::expr::element_writer_t element(rule.message(), "log");
  rule.message().put_string(2, "queue " + std::to_string(queue)); // NFTA_LOG_PREFIX
  element.close();
}

// Everything an nftables_t needs: marks L=1, C=2, S=4, divert 8 (output), 16 (input), 32 (forward).
struct setup_t {
  fw::configuration_t config = tests::config_with_marks();
  tests::no_sources_t sources;
  fw::service::marks_t marks{config, sources};
  boost::asio::ip::tcp::endpoint endpoint{boost::asio::ip::make_address_v4("127.0.0.1"), 8080};
  tests::fake_queues_t queues;
  fake_loader_t loader;
  boost::asio::io_context io;

  setup_t() {
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.mutable_output_divert_mark()->set_manual(8);
    config.mutable_input_divert_mark()->set_manual(16);
    config.mutable_forward_divert_mark()->set_manual(32);
  }

  // Enables the directions that have queues, settles the marks and makes the service.
  std::unique_ptr<fw::service::nftables_t> service(bool substitute_queue = true, bool ipv6 = false) {
    config.set_output_divert_enable(queues.queues[0].has_value());
    config.set_input_divert_enable(queues.queues[1].has_value());
    config.set_forward_divert_enable(queues.queues[2].has_value());
    marks.start();
    auto s = std::make_unique<fw::service::nftables_t>(config, marks, endpoint, queues, io, loader, ipv6);
    if (substitute_queue) s->replace_queue_action(log_queue);
    return s;
  }
};

void nft_script(const std::string &script) { tests::shell("nft -f - <<'END'\n" + script + "\nEND"); }

// The rules of a chain as nft lists them (one line each, without the chain's header).
std::vector<std::string> chain_rules(const std::string &family_table, const std::string &chain) {
  std::istringstream in(tests::shell("nft list chain " + family_table + " " + chain + " | sed -n '/^\t\ttype /d; s/^\t\t//p'"));
  std::vector<std::string> rules;
  for (std::string line; std::getline(in, line);) rules.push_back(line);
  return rules;
}

using strings_t = std::vector<std::string>;

const std::string comment = " comment \"movri-firewall\"";
const std::string rule1 = "meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 == 0x00000004 meta mark set "
                          "meta mark | 0x00000001 counter packets 0 bytes 0" + comment;
const std::string rule2 = "meta l4proto tcp meta mark & 0x00000006 != 0x00000006 ct mark & 0x00000006 == 0x00000002 "
                          "tproxy to 127.0.0.1:8080 meta mark set meta mark | 0x00000001 counter packets 0 bytes 0 "
                          "accept" + comment;
std::string rule3(int queue) {
  return "meta l4proto tcp @th,104,8 & 0x12 == 0x2 meta mark & 0x00000006 == 0x00000000 counter packets 0 bytes 0 "
         "log prefix \"queue " + std::to_string(queue) + "\"" + comment;
}
const std::string rule4 = "meta mark & 0x00000006 == 0x00000002 ct mark set ct mark & 0x00000002 | 0x00000002 "
                          "counter packets 0 bytes 0" + comment;
const std::string rule5 = "meta mark & 0x00000006 == 0x00000004 ct mark set ct mark & 0x00000004 | 0x00000004 "
                          "counter packets 0 bytes 0" + comment;
const std::string rule6 = "meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 != 0x00000000 meta mark set "
                          "meta mark | 0x00000001 counter packets 0 bytes 0" + comment;
const std::string own = "ip movri-firewall";
namespace nft = fw::linux::nftables;
const std::string fix_in = "iif \"lo\" meta mark & 0x00000001 == 0x00000001 accept comment \"movri-firewall\"";
const std::string foreign = "table ip g {\n  chain early { type nat hook prerouting priority -100; }\n"
                            "  chain late { type filter hook input priority 0; }\n}";

TEST(NftablesFaults, LeftoversGoWithoutAutoconfigurationARefusingChainCostsItsRuleAVanishedRuleIsSkipped) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  nft_script(foreign);
  // A table that another program owns while its socket (here: this one) is open: the kernel refuses
  // rules from anyone else.
  auto owner = nft::open_socket();
  nft::policy::batch_policy_t batch;
  auto table = nft::new_table(nft::family_ipv4, "owned");
  table.put_be32(2, 2); // NFTA_TABLE_FLAGS: NFT_TABLE_F_OWNER
  batch.add(table);
  batch.add(nft::new_chain(nft::family_ipv4, "owned", "in", nft::hook_input, 0, "filter"));
  batch.send(owner);
  const std::string before = tests::shell("nft list ruleset");
  nft_script("table ip movri-firewall {\n  chain output { type route hook output priority -150; }\n}\n"
                         "add rule ip g late meta mark 1 accept comment \"movri-firewall\"");
  setup_t s;
  s.config.set_autoconfigure_iptables(false);
  auto service = s.service();
  service->start();
  EXPECT_EQ(tests::shell("nft list ruleset"), before);

  s.config.set_autoconfigure_iptables(true);
  service->start();
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Warning: Cannot fix local path in chain owned in: "), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Operation not permitted"), 1u) << log.all();
  EXPECT_EQ(chain_rules("ip g", "early"), (strings_t{fix_in}));
  EXPECT_EQ(chain_rules("ip g", "late"), (strings_t{fix_in}));
  EXPECT_TRUE(chain_rules("ip owned", "in").empty());
  EXPECT_EQ(chain_rules("ip movri-firewall", "output").size(), 3u);

  // One fix rule goes between the dump and the deletion: the others still go.
  std::vector<fw::linux::netlink::socket_t::received_t> dump;
  {
    auto socket = nft::open_socket();
    dump = nft::dump(socket, nft::dump_rules(nft::family_ipv4));
  }
  tests::shell("nft flush chain ip g early");
  fw::service::nftables_t::delete_own_rules(nft::family_ipv4, dump);
  EXPECT_EQ(tests::count(tests::shell("nft list ruleset"), "comment \"movri-firewall\""), 0u)
      << tests::shell("nft list ruleset");
  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), before);
}

} // namespace

TEST(NftablesService, TableChainsAndRulesInTheirOrderOnceAfterTwoStartsARefusedBatchIsLogged) {
  tests::enter_fresh_netns();
  tests::log_capture_t log;
  setup_t s;
  s.queues.queues[1] = 5; // input only, no security option
  auto service = s.service();
  service->start();
  service->start();
  EXPECT_TRUE(service->installed());
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 2u);

  const std::string table = tests::shell("nft list table " + own);
  for (const char *header : {"type filter hook prerouting priority mangle;", "type route hook output priority mangle;",
                             "type filter hook input priority mangle;", "type filter hook forward priority mangle;"})
    EXPECT_NE(table.find(header), std::string::npos) << header << "\n" << table;
  EXPECT_EQ(chain_rules(own, "prerouting"), (strings_t{rule1, rule2}));
  EXPECT_EQ(chain_rules(own, "output"), (strings_t{rule4, rule5, rule6}));
  EXPECT_EQ(chain_rules(own, "input"), (strings_t{rule3(5)}));
  EXPECT_TRUE(chain_rules(own, "forward").empty());
  // One table only, in family ip.
  EXPECT_EQ(tests::shell("nft list tables"), "table ip movri-firewall\n");

  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), "");

  // With the real queue expression, which this kernel refuses: the rule batch was one transaction, so
  // none of its rules stayed; the table and chains did, until the stop.
  service = s.service(false);
  service->start();
  EXPECT_EQ(log.count("Debug: cannot install nftables"), 1u);
  EXPECT_EQ(log.count("Debug: nftables rules installed"), 2u);
  EXPECT_TRUE(service->installed());
  EXPECT_TRUE(chain_rules(own, "prerouting").empty());
  service.reset();
  EXPECT_EQ(tests::shell("nft list ruleset"), "");
}

TEST(NftablesIpv6, Ip6TableAndFixRulesBesideIpv4AndNothingLeftOnStop) {
  tests::enter_fresh_netns();
  setup_t s;
  s.queues.queues[0] = 5;
  nft_script("table inet host { chain out { type filter hook output priority 0; }; }\n"
                         "table ip6 host6 { chain in { type filter hook input priority 0; }; }");
  auto service = s.service(true, true);
  service->start();
  service->start();

  auto ipv4_prerouting = chain_rules("ip movri-firewall", "prerouting");
  ASSERT_EQ(ipv4_prerouting.size(), 2u);
  ipv4_prerouting[1].replace(ipv4_prerouting[1].find("127.0.0.1"), 9, "[::1]");
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "prerouting"), ipv4_prerouting);
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "output"), chain_rules("ip movri-firewall", "output"));
  EXPECT_EQ(chain_rules("ip6 movri-firewall", "input").size(), 0u);
  const std::string tables = tests::shell("nft list tables");
  EXPECT_EQ(tests::count(tables, "movri-firewall"), 2u) << tables;
  EXPECT_EQ(chain_rules("inet host", "out"),
            (strings_t{"meta nfproto ipv4 oif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment,
                       "meta nfproto ipv6 oif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment}));
  EXPECT_EQ(chain_rules("ip6 host6", "in"),
            (strings_t{"iif \"lo\" meta mark & 0x00000001 == 0x00000001 accept" + comment}));

  service.reset();
  EXPECT_EQ(tests::count(tests::shell("nft list ruleset"), "movri-firewall"), 0u);
}
