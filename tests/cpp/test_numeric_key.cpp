// The keys of the ranged B-tree: the ordered value prefix and the (value, id) key.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tree_test_support.hpp"

namespace vostrel {
namespace {

using Words = std::array<std::uint32_t, 3>;
using Limits64 = std::numeric_limits<std::int64_t>;
using LimitsD = std::numeric_limits<double>;
using tree_test::show;

Words prefix_words(const NumericValue& v) {
  const Key128 p = ordered_prefix(v);
  return {static_cast<std::uint32_t>(p >> 64), static_cast<std::uint32_t>(p >> 32),
          static_cast<std::uint32_t>(p)};
}

TEST(CompositeKey128, PrefixWords) {
  const double quiet_nan = LimitsD::quiet_NaN();
  const struct {
    NumericValue value;
    Words words;
  } cases[] = {
      {std::int64_t{1}, {0xbfff8000, 0, 0}},
      {1.0, {0xbfff8000, 0, 0}},
      {std::int64_t{-1}, {0x40007fff, 0xffffffff, 0xffffffff}},
      {0.5, {0xbffe8000, 0, 0}},
      {std::int64_t{3}, {0xc000c000, 0, 0}},
      {std::int64_t{0}, {0x80000000, 0, 0}},
      {0.0, {0x80000000, 0, 0}},
      {-0.0, {0x80000000, 0, 0}},
      {LimitsD::denorm_min(), {0xbbcd8000, 0, 0}},
      {std::nextafter(LimitsD::min(), 0.0), {0xbc00ffff, 0xffffffff, 0xf0000000}},
      {LimitsD::min(), {0xbc018000, 0, 0}},
      {LimitsD::infinity(), {0xc3ff8000, 0, 0}},
      {-LimitsD::infinity(), {0x3c007fff, 0xffffffff, 0xffffffff}},
      {quiet_nan, {0xc3ffc000, 0, 0}},
      {Limits64::min(), {0x3fc17fff, 0xffffffff, 0xffffffff}},
      {std::int64_t{(1LL << 53) + 1}, {0xc0348000, 0, 0x04000000}},
  };
  for (const auto& c : cases) EXPECT_EQ(prefix_words(c.value), c.words) << show(c.value);
}

// Exact order of two non-NaN values: long double holds every int64 and every double exactly.
int exact_compare(const NumericValue& a, const NumericValue& b) {
  auto wide = [](const NumericValue& v) {
    return std::visit([](auto x) { return static_cast<long double>(x); }, v);
  };
  const long double x = wide(a), y = wide(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

TEST(CompositeKey128, PrefixesOrderAsValues) {
  static_assert(std::numeric_limits<long double>::digits >= 64, "needs an exact 64-bit mantissa");
  std::vector<NumericValue> values = {
      std::int64_t{0}, 0.0, -0.0, std::int64_t{1}, std::int64_t{-1}, std::int64_t{3}, 3.0,
      Limits64::max(), Limits64::min(), Limits64::min() + 1, -9223372036854775808.0,
      9223372036854775808.0, std::int64_t{1LL << 53}, std::int64_t{(1LL << 53) + 1},
      std::int64_t{(1LL << 53) - 1}, 9007199254740992.0, 9007199254740994.0,
      -std::int64_t{(1LL << 53) + 1}, -9007199254740992.0, 1.0, std::nextafter(1.0, 2.0),
      std::nextafter(1.0, 0.0), LimitsD::denorm_min(), -LimitsD::denorm_min(), LimitsD::min(),
      std::nextafter(LimitsD::min(), 0.0), -LimitsD::min(), LimitsD::max(), -LimitsD::max(),
      LimitsD::infinity(), -LimitsD::infinity(), 0.5, -0.5, 1e-300, -1e300,
  };
  std::mt19937_64 rng(7);
  for (int i = 0; i < 400; ++i) {
    values.push_back(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    // Any exponent but the one of infinities and NaNs.
    values.push_back(std::bit_cast<double>((rng() & ~(std::uint64_t{0x7ff} << 52)) |
                                           (std::uint64_t{rng() % 2047} << 52)));
  }
  for (const auto& a : values)
    for (const auto& b : values) {
      const Key128 pa = ordered_prefix(a), pb = ordered_prefix(b);
      const int got = pa < pb ? -1 : pa > pb ? 1 : 0;
      ASSERT_EQ(got, exact_compare(a, b)) << show(a) << " vs " << show(b);
    }
}

TEST(CompositeKey128, NansSortBeyondTheInfinities) {
  const double nan = LimitsD::quiet_NaN();
  const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7ff0000000000001});
  EXPECT_GT(ordered_prefix(nan), ordered_prefix(LimitsD::infinity()));
  EXPECT_GT(ordered_prefix(payload_nan), ordered_prefix(LimitsD::infinity()));
  EXPECT_LT(ordered_prefix(-nan), ordered_prefix(-LimitsD::infinity()));
  EXPECT_LT(ordered_prefix(-payload_nan), ordered_prefix(-LimitsD::infinity()));
  EXPECT_GT(ordered_prefix(LimitsD::infinity()), ordered_prefix(Limits64::max()));
  EXPECT_LT(ordered_prefix(-LimitsD::infinity()), ordered_prefix(Limits64::min()));
}

TEST(CompositeKey128, IdSitsBelowThePrefix) {
  const CompositeKey128 a = CompositeKey128::make(std::int64_t{3}, 7);
  const CompositeKey128 b = CompositeKey128::make(3.0, 8);
  EXPECT_EQ(a.prefix(), b.prefix());
  EXPECT_EQ(a.id(), 7u);
  EXPECT_EQ(b.id(), 8u);
  EXPECT_LT(a, b);
  EXPECT_EQ(a.value, NumericValue(std::int64_t{3}));
  EXPECT_EQ(b.value, NumericValue(3.0));
  EXPECT_EQ(key_id(a.key), 7u);
  EXPECT_EQ(key_prefix(b.key), ordered_prefix(3.0));
  // The largest id under a value still sorts below the next value.
  EXPECT_LT(CompositeKey128::make(std::int64_t{3}, 0xffffffff), CompositeKey128::make(std::int64_t{4}, 0));
}

}  // namespace
}  // namespace vostrel
