#include <gtest/gtest.h>

#include <vector>

#include "fw/net/security_option.hpp"

namespace {

// The walk finds one well-formed basic security option after other options (offset; -1: none).
TEST(SecurityOption, WalkFindsOneWellFormedOptionAfterOtherOptions) {
  const std::pair<std::vector<std::uint8_t>, int> cases[] = {
      {{}, -1},
      {{130, 3, 0xAB, 0}, 0},
      {{1, 1, 130, 4, 0x5A, 0x02}, 2},                 // after no-operations
      {{7, 3, 4, 130, 3, 0x3D, 0, 0}, 3},              // after a record-route option
      {{0, 130, 3, 0xAB}, -1},                         // end of list comes first
      {{130, 3, 0xAB, 0, 0xff, 0xff}, 0},              // bytes after the end of list are not read
      {{68, 4, 5, 0}, -1},                             // another option only
      {{130, 3, 0xAB, 130, 3, 0xAB}, -1},              // two security options
      {{130, 3, 0xAB, 130, 3, 0xAB, 130, 3, 0xAB}, -1},
      {{130, 3, 0xAB, 7}, -1},                         // type without its length byte
      {{130, 1, 0xAB, 0}, -1},                         // length below 2
      {{130, 5, 0xAB, 0}, -1},                         // length beyond the area
      {{130, 4, 0xAB, 0}, 0},                          // length exactly up to the end
  };
  for (const auto &[options, offset] : cases) {
    const std::uint8_t *found = fw::net::find_security_option(options.data(), options.size());
    EXPECT_EQ(found ? found - options.data() : -1, offset) << testing::PrintToString(options);
  }
}

// (How the connector matches options is shown by its test against the kernel.)
TEST(SecurityOption, Lengths) {
  const std::uint8_t end[] = {0}, nop[] = {1}, bso[] = {130, 4, 0x5A, 0x02};
  EXPECT_EQ(fw::net::option_length(nullptr), 0u);
  EXPECT_EQ(fw::net::option_length(end), 1u);
  EXPECT_EQ(fw::net::option_length(nop), 1u);
  EXPECT_EQ(fw::net::option_length(bso), 4u);
}

} // namespace
