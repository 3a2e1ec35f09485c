// Values: equality by host hash, the debug forms, and one host reference per value.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "test_support.hpp"

namespace vostrel {
namespace {

using test::float_value;
using test::int_value;
using test::other_value;
using test::str_value;

TEST(Value, EqualityIsByHashAlone) {
  EXPECT_EQ(int_value(1), float_value(1.0));
  EXPECT_EQ(other_value(1), int_value(1));  // True
  EXPECT_EQ(int_value(-1), int_value(-2));
  EXPECT_FALSE(int_value(1) == int_value(2));
  EXPECT_FALSE(float_value(NAN) == float_value(NAN));
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

std::string address(const PyValue& v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(v.obj()));
  return buf;
}

TEST(Value, DebugForms) {
  const PyValue minus_one = int_value(-1);
  EXPECT_EQ(minus_one.debug(),
            "PyValue { obj: Py(" + address(minus_one) + "), primitave: Int(-1), hash: 18446744073709551614 }");
  EXPECT_EQ(float_value(1e16).primitave_debug(), "Float(1e16)");
  EXPECT_EQ(str_value("a\"").primitave_debug(), "Str(\"a\\\"\")");  // the text comes from the host object
  EXPECT_EQ(other_value(0).primitave_debug(), "Unknown");
}

TEST(Value, OneHostReferencePerValue) {
  const long before = test::live_refs();
  {
    PyValue a = str_value("s");
    HostObject* obj = a.obj();
    PyValue b = a.clone();
    EXPECT_EQ(test::refs(obj), 2);
    PyValue c = std::move(b);
    EXPECT_EQ(b.obj(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.obj(), obj);
    EXPECT_EQ(c.kind(), ValueKind::Str);
    c = int_value(3);  // releases the string's second reference
    EXPECT_EQ(test::refs(obj), 1);
  }
  EXPECT_EQ(test::live_refs(), before);
  EXPECT_EQ(test::bad_releases(), 0);
}

}  // namespace
}  // namespace vostrel
