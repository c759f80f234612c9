#include <string>

#include <gtest/gtest.h>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>

#include "annotation.pb.h"
#include "application.pb.h"
#include "hubd_linux_firewall_ipc.pb.h"
#include "linux_firewall_config.pb.h"
#include "rules.pb.h"
#include "mv/util/error_code.hpp"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

// Gives a field a value that depends on its number and type, so that swapped numbers or types show
// up as differences.
void fill(Message &m, int depth);

void fill_field(Message &m, const FieldDescriptor *f, int depth) {
  const auto *r = m.GetReflection();
  const bool rep = f->is_repeated();
  const int n = f->number();
  for (int i = 0; i < (rep ? 2 : 1); ++i) {
    switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      rep ? r->AddInt32(&m, f, -n) : r->SetInt32(&m, f, -n); break;
    case FieldDescriptor::CPPTYPE_INT64:
      rep ? r->AddInt64(&m, f, -n) : r->SetInt64(&m, f, -n); break;
    case FieldDescriptor::CPPTYPE_UINT32:
      rep ? r->AddUInt32(&m, f, 1000u + n + i) : r->SetUInt32(&m, f, 1000u + n); break;
    case FieldDescriptor::CPPTYPE_UINT64:
      rep ? r->AddUInt64(&m, f, (1ull << 40) + n) : r->SetUInt64(&m, f, (1ull << 40) + n); break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      rep ? r->AddFloat(&m, f, n + 0.5f) : r->SetFloat(&m, f, n + 0.5f); break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
      rep ? r->AddDouble(&m, f, n + 0.25) : r->SetDouble(&m, f, n + 0.25); break;
    case FieldDescriptor::CPPTYPE_BOOL:
      rep ? r->AddBool(&m, f, true) : r->SetBool(&m, f, true); break;
    case FieldDescriptor::CPPTYPE_ENUM: {
      const auto *e = f->enum_type();
      const auto *v = e->value(e->value_count() - 1 - i % e->value_count());
      rep ? r->AddEnum(&m, f, v) : r->SetEnum(&m, f, v);
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string s = f->type() == FieldDescriptor::TYPE_BYTES ? std::string("\0\xff", 2) : "";
      s += f->name() + std::to_string(i);
      rep ? r->AddString(&m, f, s) : r->SetString(&m, f, s);
      break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      fill(rep ? *r->AddMessage(&m, f) : *r->MutableMessage(&m, f), depth + 1);
      break;
    }
  }
}

void fill(Message &m, int depth) {
  const auto *d = m.GetDescriptor();
  for (int i = 0; i < d->field_count(); ++i) {
    const auto *f = d->field(i);
    // Nested one-ofs get their last alternative; recursive messages (reports of reports) stop.
    if (const auto *o = f->containing_oneof(); o && f != o->field(o->field_count() - 1)) continue;
    if (f->message_type() && !f->is_required() && depth > 3) continue;
    fill_field(m, f, depth);
  }
}

// Sets exactly one alternative of the one-of `name` (plus the message's other fields).
template <class T> T with_alternative(const std::string &name, int alternative) {
  T m;
  const auto *o = T::descriptor()->FindOneofByName(name);
  for (int i = 0; i < T::descriptor()->field_count(); ++i)
    if (T::descriptor()->field(i)->containing_oneof() != o) fill_field(m, T::descriptor()->field(i), 1);
  fill_field(m, o->field(alternative), 1);
  return m;
}

bool no_unknown_fields(const Message &m) {
  const auto *r = m.GetReflection();
  if (!r->GetUnknownFields(m).empty()) return false;
  std::vector<const FieldDescriptor *> fields;
  r->ListFields(m, &fields);
  for (const auto *f : fields) {
    if (f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    if (!f->is_repeated()) {
      if (!no_unknown_fields(r->GetMessage(m, f))) return false;
      continue;
    }
    for (int i = 0; i < r->FieldSize(m, f); ++i)
      if (!no_unknown_fields(r->GetRepeatedMessage(m, f, i))) return false;
  }
  return true;
}

std::string varint(uint64_t v) {
  std::string s;
  for (; v >= 0x80; v >>= 7) s += static_cast<char>(v | 0x80);
  return s + static_cast<char>(v);
}
std::string field(int number, const std::string &payload) {
  return varint(static_cast<uint64_t>(number) << 3 | 2) + varint(payload.size()) + payload;
}
std::string field(int number, uint64_t value) { return varint(static_cast<uint64_t>(number) << 3) + varint(value); }

TEST(RuleSet, EveryAlternativeSurvivesParseAndSerialise) {
  mv::RuleSet set;
  const auto *variables = mv::RuleVariable::descriptor()->FindOneofByName("variable");
  const auto *conditions = mv::RuleCondition::descriptor()->FindOneofByName("condition");
  const auto *actions = mv::RuleAction::descriptor()->FindOneofByName("action");
  ASSERT_EQ(variables->field_count(), 24);
  ASSERT_EQ(conditions->field_count(), 40);
  ASSERT_EQ(actions->field_count(), 14);

  for (int i = 0; i < variables->field_count(); ++i)
    *set.add_variable() = with_alternative<mv::RuleVariable>("variable", i);
  for (int i = 0; i < actions->field_count(); ++i)
    *set.add_rule()->mutable_action() = with_alternative<mv::RuleAction>("action", i);
  for (int i = 0; i < conditions->field_count(); ++i)
    *set.mutable_rule(i % actions->field_count())->add_condition() =
        with_alternative<mv::RuleCondition>("condition", i);
  ASSERT_TRUE(set.IsInitialized()) << set.InitializationErrorString();

  const std::string bytes = set.SerializeAsString();
  mv::RuleSet copy;
  ASSERT_TRUE(copy.ParseFromString(bytes));
  EXPECT_TRUE(no_unknown_fields(copy));
  EXPECT_EQ(copy.SerializeAsString(), bytes);
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(copy, set));
  for (int i = 0; i < variables->field_count(); ++i)
    EXPECT_EQ(copy.variable(i).variable_case(), variables->field(i)->number());
  EXPECT_EQ(copy.rule(13).action().action_case(), mv::RuleAction::kAsk);
  EXPECT_TRUE(copy.rule(0).action().has__match());
}

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
  mv::DarorUvurarevUzuvid config;
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

TEST(Configuration, UnsetFieldsReadAsDefaults) {
  mv::DarorUvurarevUzuvid config;
  ASSERT_TRUE(config.ParseFromString(field(4, 1)));
  EXPECT_TRUE(config.autoconfigure_iptables());
  EXPECT_EQ(config.tproxy_listen_address().address(), "");
  EXPECT_EQ(config.tproxy_listen_address().port(), 0u);
  EXPECT_EQ(config.log_level(), mv::LOG_LEVEL_DEBUG);
  EXPECT_EQ(config.local_delivery_mark().mark_case(), mv::FwMark::MARK_NOT_SET);
  EXPECT_EQ(config.actual_log().type(), mv::Log::SYSLOG);
}

TEST(Configuration, TravelsAsComponent203OfAppConfig) {
  const auto &options = mv::DarorUvurarevUzuvid::descriptor()->options();
  EXPECT_EQ(options.GetExtension(mv::app), 203u);
  EXPECT_EQ(options.GetExtension(mv::ini_section), "RuvidOrederid");
  const auto *scan_timeout = mv::DarorUvurarevUzuvid::descriptor()->FindFieldByName("scan_timeout");
  EXPECT_EQ(scan_timeout->options().GetExtension(mv::hint), mv::HINT_TIME);

  mv::AppConfig app_config;
  app_config.set_app(mv::APP_LINUX_FIREWALL);
  app_config.MutableExtension(mv::linux_firewall_config)->set_var_lib_dir("/var/lib/x");
  mv::AppConfig copy;
  ASSERT_TRUE(copy.ParseFromString(app_config.SerializeAsString()));
  EXPECT_EQ(copy.GetExtension(mv::linux_firewall_config).var_lib_dir(), "/var/lib/x");
  const auto *app = mv::Application_descriptor()->FindValueByNumber(203);
  EXPECT_EQ(app->options().GetExtension(mv::display_name), "RuvidOrederid");
}

TEST(ErrorCategory, GivesDisplayTexts) {
  const auto &category = mv::proto_error_category();
  EXPECT_STREQ(category.name(), "mv.Error");
  EXPECT_EQ(category.message(12), "Protocol violation");
  EXPECT_EQ(category.message(117), "VettD is not available");
  EXPECT_EQ(mv::make_error_code(mv::EC_APP_SUSPENDED).message(), "Process suspended by the administrator");
  EXPECT_EQ(mv::error_code_name(102), "EC_BAD_CONFIG");
}

} // namespace
