#include <gtest/gtest.h>

#include <vector>

#include "fw/net/security_option.hpp"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// Offset of the option found, or -1 for none.
int find(const bytes_t &options) {
  const std::uint8_t *found = fw::net::find_security_option(options.data(), options.size());
  return found ? static_cast<int>(found - options.data()) : -1;
}

TEST(SecurityOption, WalkFindsTheBasicSecurityOptionAfterOtherOptions) {
  EXPECT_EQ(find({}), -1);
  EXPECT_EQ(find({130, 3, 0xAB, 0}), 0);
  EXPECT_EQ(find({1, 1, 130, 4, 0x5A, 0x02}), 2);          // after no-operations
  EXPECT_EQ(find({7, 3, 4, 130, 3, 0x3D, 0, 0}), 3);        // after a record-route option
  EXPECT_EQ(find({0, 130, 3, 0xAB}), -1);                   // end of list comes first
  EXPECT_EQ(find({130, 3, 0xAB, 0, 0xff, 0xff}), 0);        // bytes after the end of list are not read
  EXPECT_EQ(find({68, 4, 5, 0}), -1);                       // another option only
}

TEST(SecurityOption, MalformedOrRepeatedOptionsGiveNone) {
  EXPECT_EQ(find({130, 3, 0xAB, 130, 3, 0xAB}), -1);        // two security options
  EXPECT_EQ(find({130, 3, 0xAB, 130, 3, 0xAB, 130, 3, 0xAB}), -1);
  EXPECT_EQ(find({130, 3, 0xAB, 7}), -1);                   // type without its length byte
  EXPECT_EQ(find({130, 1, 0xAB, 0}), -1);                   // length below 2
  EXPECT_EQ(find({130, 5, 0xAB, 0}), -1);                   // length beyond the area
  EXPECT_EQ(find({130, 4, 0xAB, 0}), 0);                    // length exactly up to the end
}

TEST(SecurityOption, LengthsAndMatching) {
  const std::uint8_t end[] = {0}, nop[] = {1}, bso[] = {130, 4, 0x5A, 0x02}, unclassified[] = {130, 3, 0xAB},
                     secret[] = {130, 3, 0x5A};
  EXPECT_EQ(fw::net::option_length(nullptr), 0u);
  EXPECT_EQ(fw::net::option_length(end), 1u);
  EXPECT_EQ(fw::net::option_length(nop), 1u);
  EXPECT_EQ(fw::net::option_length(bso), 4u);

  EXPECT_TRUE(fw::net::security_options_match(nullptr, nullptr));
  EXPECT_TRUE(fw::net::security_options_match(nullptr, unclassified)); // none stands for the default
  EXPECT_TRUE(fw::net::security_options_match(unclassified, nullptr));
  EXPECT_FALSE(fw::net::security_options_match(nullptr, secret));
  EXPECT_FALSE(fw::net::security_options_match(secret, unclassified));
  EXPECT_TRUE(fw::net::security_options_match(bso, bso));
  EXPECT_FALSE(fw::net::security_options_match(bso, secret));
}

} // namespace
