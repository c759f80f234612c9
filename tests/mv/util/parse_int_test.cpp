#include <gtest/gtest.h>

#include "mv/util/parse_int.hpp"

using mv::util::parse_int32;

TEST(ParseInt32, AcceptsSignedDecimalWithinRange) {
  EXPECT_EQ(parse_int32("7"), 7);
  EXPECT_EQ(parse_int32("+7"), 7);
  EXPECT_EQ(parse_int32("-7"), -7);
  EXPECT_EQ(parse_int32("2147483647"), 2147483647);
  EXPECT_EQ(parse_int32("-2147483648"), INT32_MIN);
}

TEST(ParseInt32, RejectsAnythingElse) {
  for (const char *bad : {"", "7x", "x7", " 7", "7 ", "+", "-", "++7", "+-7", "2147483648", "-2147483649",
                          "99999999999999999999", "0x10"})
    EXPECT_FALSE(parse_int32(bad)) << '"' << bad << '"';
}
