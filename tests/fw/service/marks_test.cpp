// Packet mark selection: validation of manual marks, and automatic marks that avoid the bits other
// software uses (foreign iptables and ip6tables rules and routing rules in a private network namespace).
#include "tests/fw/service/service_fixture.hpp"
#include "tests/support/error_text.hpp"

namespace {

class Marks : public testing::Test {
protected:
  void SetUp() override {
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
  }

  void manual(std::uint32_t l, std::uint32_t c, std::uint32_t s) {
    config.mutable_local_delivery_mark()->set_manual(l);
    config.mutable_client_packets_mark()->set_manual(c);
    config.mutable_server_packets_mark()->set_manual(s);
  }

  std::string start_error() {
    return tests::error_text([&] { marks.start(); });
  }

  static std::vector<std::uint32_t> all(const fw::service::marks_t &m) {
    return {m.local_delivery_mark(), m.client_packets_mark(), m.server_packets_mark(),
            m.divert_mark(1),        m.divert_mark(0),        m.divert_mark(2)};
  }

  tests::log_capture_t log;
  fw::configuration_t config;
  tests::no_sources_t sources;
  fw::service::marks_t marks{config, sources};
};

using marks_t = std::vector<std::uint32_t>;

} // namespace

TEST_F(Marks, ManualMarkValidation) {
  for (const std::uint32_t bad : {0u, 3u, 0x80000001u}) {
    manual(1, bad, 4);
    EXPECT_EQ(start_error(), "mark value must have exactly one non-zero bit") << bad;
  }
  manual(8, 8, 4);
  EXPECT_EQ(start_error(), "mark 8 is already occupied");
  EXPECT_EQ(all(marks), (marks_t{0, 0, 0, 0, 0, 0})); // nothing half-settled after a failure

  manual(1, 2, 0x80000000u);
  config.set_forward_divert_enable(true);
  config.mutable_forward_divert_mark()->set_manual(0x80000000u);
  EXPECT_EQ(start_error(), "mark 2147483648 is already occupied");
}

TEST_F(Marks, AutomaticMarksTakeTheLowestBitsNobodyUses) {
  tests::enter_fresh_netns();
  tests::shell(R"(set -e
    iptables-legacy -t mangle -A PREROUTING -i lo -j MARK --set-mark 0x1
    iptables-legacy -t nat -N foreign
    iptables-legacy -t nat -A foreign -m mark --mark 0x1/0x1 -j RETURN
    ip rule add fwmark 0x2 table 100
    ip6tables-legacy -t mangle -A OUTPUT -m mark --mark 0x40 -j MARK --set-mark 0x100
    iptables-legacy -t mangle -A OUTPUT -m comment --comment movri-firewall -m mark --mark 0x4 -j MARK --set-mark 0x8
    iptables-legacy -t nat -A POSTROUTING -o lo -m comment --comment movri-firewall -m mark --mark 0x10 -j ACCEPT
    ip rule add fwmark 0x20 table 99)");
  fw::service::marks_t host_marks(config); // the host's own routing rules
  host_marks.routing_filter() = [](std::uint32_t table, std::uint32_t) { return table != 99; }; // its own rule
  config.mutable_local_delivery_mark()->mutable_auto_();
  config.mutable_client_packets_mark()->mutable_auto_();
  config.mutable_server_packets_mark()->mutable_auto_();
  for (auto *mark : {config.mutable_input_divert_mark(), config.mutable_output_divert_mark(),
                     config.mutable_forward_divert_mark()})
    mark->mutable_auto_();
  config.set_input_divert_enable(true);
  config.set_output_divert_enable(true);
  config.set_forward_divert_enable(true);
  host_marks.start();
  EXPECT_EQ(all(host_marks), (marks_t{4, 8, 16, 32, 128, 512}));
  // A second start, with more of the daemon's rules in place, finds the same bits.
  tests::shell("iptables-legacy -t mangle -A OUTPUT -m comment --comment movri-firewall -j MARK --set-mark 0x80");
  host_marks.start();
  EXPECT_EQ(all(host_marks), (marks_t{4, 8, 16, 32, 128, 512}));

  // Manual marks are kept out of the automatic choice, and another routing rule's mark counts.
  config.mutable_local_delivery_mark()->set_manual(8);
  config.set_output_divert_enable(false);
  tests::shell("ip rule add fwmark 0x4/0xff table 101");
  host_marks.start();
  EXPECT_EQ(all(host_marks), (marks_t{8, 16, 32, 128, 0, 512}));
}
