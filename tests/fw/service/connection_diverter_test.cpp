// The connection diverter against the kernel's NFQUEUE, scripted sessions standing in for the hook.

#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/post.hpp>

#include "fw/service/path/connection_diverter.hpp"
#include "fw/service/path/connection_rejector.hpp"
#include "fw/service/path/marking_retransmitter.hpp"
#include "fw/service/path/packet_validator.hpp"
#include "tests/fw/service/service_fixture.hpp"

namespace {

using fw::net::endpoint_t;
using fw::service::connection_diverter_t;
using fw::service::session_factory_t;
using verdict_t = session_factory_t::verdict_t;
using tests::ep;

struct result_t {
  verdict_t verdict = verdict_t::check;
  session_factory_t::artifacts_t artifacts;
  std::exception_ptr error;
};

// A verdict with its artifacts; with an error (the hook failed), the verdict is ignored.
result_t answer(verdict_t verdict, std::optional<std::string> user = {}, std::optional<std::string> exe_path = {},
                const char *error = nullptr) {
  return {verdict, {std::move(user), std::move(exe_path)}, error ? std::make_exception_ptr(std::runtime_error(error)) : nullptr};
}

// Sessions whose results are scripted, posted as the host does.
struct scripted_sessions_t : session_factory_t {
  struct state_t {
    connection_info_t info;
    std::string id;
    result_t result;
    bool alive = true;
  };
  struct session_t : session_factory_t::session_t {
    session_t(boost::asio::io_context &io, std::shared_ptr<state_t> state) : io(io), state(std::move(state)) {}
    ~session_t() override { state->alive = false; }
    void set_result_handler(result_handler_t h) override {
      boost::asio::post(io, [h = std::move(h), r = state->result] { h(r.error, r.verdict, r.artifacts); });
    }
    boost::asio::io_context &io;
    std::shared_ptr<state_t> state;
  };

  explicit scripted_sessions_t(boost::asio::io_context &io) : io(io) {}

  std::unique_ptr<session_factory_t::session_t> make_session(const connection_info_t &info,
                                                             const std::string &id) override {
    // The script may throw, as a broken host would.
    made.push_back(std::make_shared<state_t>(state_t{info, id, script(info), true}));
    return std::make_unique<session_t>(io, made.back());
  }

  boost::asio::io_context &io;
  std::function<result_t(const connection_info_t &)> script;
  std::vector<std::shared_ptr<state_t>> made;
};

// The server socket pool's part: keeps what it is given (no client ever comes for it).
struct pool_t : connection_diverter_t::delegate_t {
  struct added_t {
    endpoint_t client, server;
    mv::RuleSet rules;
    fw::util::scoped_fd_t socket;
  };
  bool has_server_socket(const endpoint_t &client, const endpoint_t &server) const override {
    return std::any_of(added.begin(), added.end(), [&](const added_t &a) { return a.client == client && a.server == server; });
  }
  void add_server_socket(const endpoint_t &client, const endpoint_t &server, const mv::RuleSet &rules,
                         fw::util::scoped_fd_t socket) override {
    added.push_back({client, server, rules, std::move(socket)});
  }
  std::vector<added_t> added;
};

int listen_at(unsigned short port) { return tests::listen_at("127.0.0.1", port, SOCK_NONBLOCK); }

// A client connecting to 127.0.0.1:port; a dropped SYN gives up after about a second.
struct client_t {
  fw::util::scoped_fd_t fd;
  endpoint_t local;
  int outcome = -1;

  explicit client_t(unsigned short port, const std::function<void(int)> &prepare = {})
      : fd(tests::connecting("127.0.0.1", port, [&](int fd) {
          const unsigned timeout_ms = 300;
          ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout_ms, sizeof timeout_ms);
          if (prepare) prepare(fd);
        })),
        local(tests::endpoint_of(fd.get())) {}
  // 0 once connected, the error once failed, -1 while under way.
  int result() { return outcome >= 0 ? outcome : outcome = tests::connect_outcome(fd.get(), 0); }
};

std::vector<std::string> variable_kinds(const mv::RuleSet &rules) {
  std::vector<std::string> kinds;
  for (const auto &variable : rules.variable())
    kinds.push_back(mv::RuleVariable::descriptor()->FindFieldByNumber(variable.variable_case())->name());
  return kinds;
}

constexpr unsigned queue = 3;
// Marks: local delivery 1, client packets 2, server packets 4, output divert 8.
constexpr const char *queue_syns = "-p tcp --tcp-flags SYN,ACK SYN -m mark --mark 0/6 -j NFQUEUE --queue-num 3";

// Built inside the test's namespace: the raw senders open their sockets at construction.
struct services_t {
  explicit services_t(const fw::configuration_t &config) : config(config) {}
  const fw::configuration_t &config;
  boost::asio::io_context io;
  fw::service::marks_t marks{config};
  tests::no_clients_t no_clients;
  fw::service::transparent_acceptor_t acceptor{io, no_clients, config, marks};
  fw::service::packet_validator_t validator{marks, acceptor};
  fw::service::server_connector_t connector{io, config, marks, 100};
  fw::service::connection_rejector_t rejector{io, marks};
  fw::service::marking_retransmitter_t retransmitter{io, marks};
  scripted_sessions_t sessions{io};
  pool_t pool;
  std::unique_ptr<connection_diverter_t> diverter = std::make_unique<connection_diverter_t>(
      io, pool, config, connector, marks, rejector, retransmitter, validator, sessions);
};

struct DiverterTest : ::testing::Test {
  void SetUp() override {
    tests::enter_fresh_netns();
    if (HasFatalFailure() || IsSkipped()) return;
    config.set_autoconfigure_iptables(true);
    config.mutable_output_divert_mark()->set_manual(8);
    tests::set_listen_address(config, "127.0.0.1", 9999);
    config.mutable_rules()->add_variable()->set_unwrap_ssl(true);
    services = std::make_unique<services_t>(config);
  }
  // Starts the services in the daemon's order with output diversion on queue 3.
  void start() {
    config.set_output_divert_enable(true);
    config.mutable_output_divert_nfqueue_number()->set_manual(queue);
    for (fw::util::service_t *service : std::initializer_list<fw::util::service_t *>{
             &services->marks, &services->rejector, &services->retransmitter, &services->acceptor,
             &services->validator, &services->connector, services->diverter.get()})
      service->start();
  }
  void run_until(const std::function<bool()> &done) {
    ASSERT_TRUE(tests::run_until(services->io, done)) << log.all();
  }

  tests::log_capture_t log;
  fw::configuration_t config = tests::config_with_marks();
  std::unique_ptr<services_t> services;
};

const std::string prefix = "Debug: Connection diverter: divert OUTPUT: ";

} // namespace

TEST_F(DiverterTest, EachVerdictDecidesTheFateOfItsConnection) {
  // The hook decides by server port: 6000 pass, 6001 drop, 6002 reject, 6003 check, 6004 hook error,
  // 6005 check of a server that refuses, 6006 no session at all.
  services->sessions.script = [](const session_factory_t::connection_info_t &info) {
    switch (info.dst.port()) {
    case 6000: return answer(verdict_t::pass);
    case 6001: return answer(verdict_t::drop);
    case 6002: return answer(verdict_t::reject);
    case 6003: return answer(verdict_t::check, "alice");
    case 6004: return answer(verdict_t::pass, "bob", "/usr/bin/curl", "boom");
    case 6006: throw std::runtime_error("no interpreter");
    default: return answer(verdict_t::check);
    }
  };
  tests::shell(std::string("iptables-legacy -A OUTPUT ") + queue_syns);
  tests::shell("iptables-legacy -A INPUT -m mark --mark 1/1 -j DROP"); // counts the marked SYN copies
  start();
  int servers[] = {listen_at(6000), listen_at(6001), listen_at(6002), listen_at(6003), listen_at(6004), listen_at(6006)};

  client_t pass(6000), drop(6001), reject(6002), check(6003), error(6004), refused(6005), no_session(6006);
  run_until([&] { return pass.result() >= 0 && drop.result() >= 0 && reject.result() >= 0 && refused.result() >= 0; });
  EXPECT_EQ(pass.result(), 0);
  for (const auto &session : services->sessions.made) // a session ends with its result
    EXPECT_TRUE(session->info.dst.port() != 6000 || !session->alive);
  EXPECT_GE(::accept(servers[0], nullptr, nullptr), 0);
  EXPECT_EQ(drop.result(), ETIMEDOUT);
  EXPECT_EQ(reject.result(), ECONNREFUSED);
  EXPECT_EQ(refused.result(), ECONNREFUSED);
  EXPECT_EQ(log.count(prefix + "cannot connect to 127.0.0.1:6005 for client " + fw::net::to_string(refused.local) +
                      ": Connection refused; rejecting connection"), 1u) << log.all();

  // The connections that were checked reached their servers through the daemon's own sockets; their
  // clients' SYNs were sent again marked for local delivery (and dropped here).
  run_until([&] { return services->pool.added.size() == 3; });
  std::map<unsigned short, const pool_t::added_t *> checked;
  for (const auto &added : services->pool.added) checked[added.server.port()] = &added;
  ASSERT_EQ(checked.size(), 3u);
  EXPECT_EQ(checked[6003]->client, check.local);
  EXPECT_EQ(tests::endpoint_of(checked[6003]->socket.get(), true), ep("127.0.0.1", 6003));
  EXPECT_EQ(tests::rule_packets("INPUT"), 3u);

  // The rule set: the configured rules, then the connection's endpoints, the direction and the artifacts.
  const mv::RuleSet &rules = checked[6003]->rules;
  EXPECT_EQ(variable_kinds(rules),
            (std::vector<std::string>{"unwrap_ssl", "src_address", "dst_address", "divert", "user_name"}));
  EXPECT_EQ(rules.variable(1).src_address().port(), check.local.port());
  EXPECT_EQ(rules.variable(2).dst_address().port(), 6003u);
  EXPECT_EQ(rules.variable(3).divert(), mv::D_OUTPUT);
  EXPECT_EQ(rules.variable(4).user_name(), "alice");
  // A hook error falls back to check; its artifacts still go with the connection.
  EXPECT_EQ(variable_kinds(checked[6004]->rules),
            (std::vector<std::string>{"unwrap_ssl", "src_address", "dst_address", "divert", "exe_path", "user_name"}));
  EXPECT_EQ(checked[6004]->rules.variable(4).exe_path(), "/usr/bin/curl");
  EXPECT_EQ(variable_kinds(checked[6006]->rules),
            (std::vector<std::string>{"unwrap_ssl", "src_address", "dst_address", "divert"}));

  // What each session was told, and the error lines of the two failures.
  const std::regex id_pattern("[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}");
  std::string error_id;
  for (const auto &session : services->sessions.made) {
    const auto &info = session->info;
    EXPECT_TRUE(std::regex_match(session->id, id_pattern)) << session->id;
    EXPECT_TRUE(info.divert == "output" && info.src.address().to_string() == "127.0.0.1" && info.iface_out == 1u &&
                !info.iface_in && info.uid == 0u);
    if (info.dst.port() == 6004) error_id = session->id;
  }
  EXPECT_EQ(log.count("Error: " + prefix.substr(7) + "Session " + error_id +
                      ": cannot get verdict for intercepted connection: boom; falling back to CHECK"), 1u) << log.all();
  EXPECT_EQ(log.count_containing(": cannot get verdict for intercepted connection: no interpreter; falling back to CHECK"),
            1u);
  EXPECT_EQ(log.count(prefix + "packet intercepted: " + fw::net::to_string(pass.local) + " -> 127.0.0.1:6000 (SYN), mark 0"), 1u);
  EXPECT_EQ(log.count(prefix + "connected to 127.0.0.1:6003 for client " + fw::net::to_string(check.local)), 1u);
  for (int fd : servers) ::close(fd);
}

TEST_F(DiverterTest, InvalidPacketsAreDroppedWithOneWarningInFiveSeconds) {
  // A rule without the mark match queues the daemon's own marked packets: the rules are wrong.
  tests::shell("iptables-legacy -A OUTPUT -p tcp --syn --dport 6000 -j NFQUEUE --queue-num 3");
  start();
  const int server = listen_at(6000);
  const std::uint32_t mark = 2;
  const auto marked = [&](int fd) { ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark); };
  client_t first(6000, marked), second(6000, marked);
  run_until([&] { return log.count_containing("OUTPUT: dropping packet") == 2; });
  EXPECT_EQ(log.count("Warning: Connection diverter: divert OUTPUT: invalid packet intercepted: packet mark 2 does not "
                      "match 0/6; dropping. Iptables rules are likely misconfigured!"), 1u) << log.all();
  EXPECT_EQ(log.count_containing("Warning: "), 1u);
  EXPECT_TRUE(services->sessions.made.empty());
  ::close(server);
}
