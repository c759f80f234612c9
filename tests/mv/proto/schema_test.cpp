// The wire images the sibling daemons exchange with this one, byte for byte.
#include <string>

#include <gtest/gtest.h>

#include "rules.pb.h"
#include "hubd_linux_firewall_ipc.pb.h"
#include "fw/util/configuration.hpp"

namespace {

std::string varint(uint64_t v) {
  std::string s;
  for (; v >= 0x80; v >>= 7) s += static_cast<char>(v | 0x80);
  return s + static_cast<char>(v);
}
std::string field(int number, const std::string &payload) {
  return varint(static_cast<uint64_t>(number) << 3 | 2) + varint(payload.size()) + payload;
}
std::string field(int number, uint64_t value) { return varint(static_cast<uint64_t>(number) << 3) + varint(value); }

TEST(RuleSet, WireImageMatchesPeers) {
  // variable { divert: D_OUTPUT }, rule { action { pass {} } }, rule { condition { negative, divert: D_FORWARD } ... }
  mv::RuleSet set;
  set.add_variable()->set_divert(mv::D_OUTPUT);
  set.add_rule()->mutable_action()->mutable_pass();
  auto *rule = set.add_rule();
  auto *condition = rule->add_condition();
  condition->set_negative(true);
  condition->set_divert(mv::D_FORWARD);
  rule->mutable_action()->mutable__match()->mutable_url_category()->add_item(mv::UC_HOMEWORK);
  rule->mutable_action()->mutable_add_header()->set_name("X");
  rule->mutable_action()->mutable_add_header()->set_value("1");
  const std::string expected =
      field(1, field(2, field(9, ""))) +
      field(1, field(1, field(1, 1) + field(22, 3)) +
                   field(2, field(1, field(2, field(1, 21))) + field(14, field(1, "X") + field(2, "1")))) +
      field(2, field(13, 2));
  EXPECT_EQ(set.SerializeAsString(), expected);
}

TEST(Schema, FieldsOfANewerPeerAreKept) {
  // A configuration from a newer HubD: an unknown field at top level, an unknown rule variable
  // alternative, a divert value this schema does not know and a log level beyond Error.
  const std::string variable = field(99, "future");
  const std::string divert = field(13, 9);
  const std::string bytes = field(1001, field(2, variable) + field(2, divert)) + field(1, 9) +
                            field(4242, "newer");
  fw::configuration_t config;
  ASSERT_TRUE(config.ParseFromString(bytes));
  EXPECT_FALSE(config.has_log_level());
  EXPECT_EQ(config.log_level(), mv::LOG_LEVEL_DEBUG);
  ASSERT_EQ(config.rules().variable_size(), 2);
  EXPECT_EQ(config.rules().variable(1).variable_case(), mv::RuleVariable::VARIABLE_NOT_SET);
  // Kept fields are written after the known ones in the order they came, as they do here.
  EXPECT_EQ(config.SerializeAsString(), bytes);

  mv::Hubd2FirewallMessage message;
  message.set_tag(mv::Hubd2FirewallMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(4);
  *message.mutable_config() = config;
  mv::Hubd2FirewallMessage copy;
  ASSERT_TRUE(copy.ParseFromString(message.SerializeAsString()));
  EXPECT_EQ(copy.config().SerializeAsString(), bytes);
}

} // namespace
