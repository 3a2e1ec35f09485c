// Values: equality and hashing by host hash, the map hash, and the debug forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host_stub.hpp"
#include "index/value.hpp"

namespace vostrel {
namespace {

PyValue value(CastValue v, std::uint64_t hash) { return PyValue(SharedHostRef(), std::move(v), hash); }

TEST(Value, EqualityIsByHashAlone) {
  EXPECT_EQ(value(CastValue::Int(1), 1), value(CastValue::Float(1.0), 1));
  EXPECT_EQ(value(CastValue::Unknown(), 1), value(CastValue::Int(1), 1));  // True
  EXPECT_EQ(value(CastValue::Int(-1), static_cast<std::uint64_t>(-2)),
            value(CastValue::Int(-2), static_cast<std::uint64_t>(-2)));
  EXPECT_FALSE(value(CastValue::Int(1), 1) == value(CastValue::Int(2), 2));
}

TEST(Value, MapHashMultipliesAndRotates) {
  EXPECT_EQ(map_hash(0), 0u);
  EXPECT_EQ(map_hash(1), std::rotl(0xf1357aea2e62a9c5ULL, 26));
  const std::uint64_t h = 0x0123456789abcdefULL;
  EXPECT_EQ(map_hash(h), std::rotl(h * 0xf1357aea2e62a9c5ULL, 26));
}

TEST(Value, FloatNotation) {
  const struct {
    double x;
    const char* text;
  } cases[] = {
      {1.0, "1.0"},        {0.5, "0.5"},     {-0.0, "-0.0"},  {0.0, "0.0"},         {123.25, "123.25"},
      {1e16, "1e16"},      {1e15, "1000000000000000.0"},      {0.0001, "0.0001"},  {0.00001, "1e-5"},
      {1.5e-5, "1.5e-5"},  {-2.5e300, "-2.5e300"},            {0.1, "0.1"},         {1.0 / 3, "0.3333333333333333"},
      {5e-324, "5e-324"},  {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {INFINITY, "inf"},   {-INFINITY, "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_float(c.x), c.text) << c.text;
}

TEST(Value, StringEscapes) {
  const struct {
    std::string_view in;
    const char* out;
  } cases[] = {
      {"abc", "\"abc\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string_view("a\0b", 3), "\"a\\0b\""},
      {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // printable non-ASCII stays
      {"\xc2\xa0", "\"\\u{a0}\""},                  // no-break space
      {"\xe2\x80\x8b", "\"\\u{200b}\""},            // zero-width space
      {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // emoji stays
  };
  for (const auto& c : cases) EXPECT_EQ(debug_quoted(c.in), c.out) << c.out;
}

TEST(Value, DebugForms) {
  EXPECT_EQ(value(CastValue::Int(5), 5).debug(), "PyValue { obj: Py(0x0), primitave: Int(5), hash: 5 }");
  EXPECT_EQ(value(CastValue::Int(-1), static_cast<std::uint64_t>(-2)).debug(),
            "PyValue { obj: Py(0x0), primitave: Int(-1), hash: 18446744073709551614 }");
  EXPECT_EQ(CastValue::Float(2.5).debug(), "Float(2.5)");
  EXPECT_EQ(CastValue::Str("a\"").debug(), "Str(\"a\\\"\")");
  EXPECT_EQ(CastValue::Unknown().debug(), "Unknown");
}

TEST(Value, CopiesShareTheHostObjectAndReleaseItOnce) {
  const long before = test::released_host_refs();
  {
    PyValue a(SharedHostRef::adopt(reinterpret_cast<HostObject*>(0x1000)), CastValue::Str("s"), 7);
    PyValue b = a;
    PyValue c = std::move(b);
    EXPECT_EQ(a.obj().get(), c.obj().get());
    EXPECT_EQ(a.obj().use_count(), 2u);
    EXPECT_EQ(c.primitave().as_str(), "s");
  }
  EXPECT_EQ(test::released_host_refs(), before + 1);
}

}  // namespace
}  // namespace vostrel
