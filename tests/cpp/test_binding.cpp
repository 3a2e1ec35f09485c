// The argument binder: which parameter each argument fills, and the interpreter's wording of errors.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "module/binding.hpp"

namespace vostrel::binding {
namespace {

constexpr std::string_view kAB[] = {"a", "b"};
constexpr std::string_view kABC[] = {"a", "b", "c"};
constexpr std::string_view kAttrValue[] = {"attr", "value"};
constexpr std::string_view kKw[] = {"k"};

const Signature kSum{.function = "sum_as_string", .positional = kAB, .required = 2};
const Signature kOptional{.function = "f", .positional = kABC, .required = 1};
const Signature kPosOnly{.function = "g", .positional = kAB, .required = 2, .positional_only = 1};
const Signature kKwOnly{.function = "h", .owner = "C", .positional = kAB, .required = 0, .keyword_only = kKw};
const Signature kKwargsOnly{.function = "reduced", .owner = "Index", .varkw = true};
const Signature kVariadic{.function = "and_", .owner = "PyQueryExpr", .varargs = true};
const Signature kEq{.function = "eq", .owner = "PyQueryExpr", .positional = kAttrValue, .required = 2};

struct Case {
  const char* name;
  const Signature* sig;
  std::size_t nargs;
  std::vector<std::string_view> keywords;
  std::optional<std::string> error;  // nullopt: binds
};

const Case kCases[] = {
    {"exact positional", &kSum, 2, {}, std::nullopt},
    {"by keyword", &kSum, 0, {"b", "a"}, std::nullopt},
    {"mixed", &kSum, 1, {"b"}, std::nullopt},
    {"one missing", &kSum, 1, {}, "sum_as_string() missing 1 required positional argument: 'b'"},
    {"two missing", &kSum, 0, {}, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"},
    {"three missing", &kEq, 0, {}, "PyQueryExpr.eq() missing 2 required positional arguments: 'attr' and 'value'"},
    {"too many, all required", &kSum, 3, {}, "sum_as_string() takes 2 positional arguments but 3 were given"},
    {"too many, some optional", &kOptional, 4, {}, "f() takes from 1 to 3 positional arguments but 4 were given"},
    {"one given to none", &kKwargsOnly, 1, {}, "Index.reduced() takes 0 positional arguments but 1 was given"},
    {"two given to none", &kKwargsOnly, 2, {}, "Index.reduced() takes 0 positional arguments but 2 were given"},
    {"multiple values", &kSum, 1, {"a"}, "sum_as_string() got multiple values for argument 'a'"},
    {"unexpected keyword", &kSum, 2, {"c"}, "sum_as_string() got an unexpected keyword argument 'c'"},
    {"keyword into dict", &kKwargsOnly, 0, {"x", "y"}, std::nullopt},
    {"positional only by keyword", &kPosOnly, 0, {"a", "b"},
     "g() got some positional-only arguments passed as keyword arguments: 'a'"},
    {"keyword-only missing", &kKwOnly, 0, {}, "C.h() missing 1 required keyword argument: 'k'"},
    {"keyword-only given", &kKwOnly, 2, {"k"}, std::nullopt},
    {"variadic takes surplus", &kVariadic, 5, {}, std::nullopt},
    {"variadic refuses keywords", &kVariadic, 1, {"x"}, "PyQueryExpr.and_() got an unexpected keyword argument 'x'"},
};

TEST(Binding, MessagesAndOutcomes) {
  for (const Case& c : kCases) {
    Binding b;
    EXPECT_EQ(bind_call(*c.sig, c.nargs, c.keywords, b), c.error) << c.name;
  }
}

TEST(Binding, SourcesOfEachParameter) {
  Binding b;
  const std::vector<std::string_view> kws = {"b"};
  ASSERT_EQ(bind_call(kSum, 1, kws, b), std::nullopt);
  EXPECT_EQ(b.source[0], 0);
  EXPECT_EQ(b.source[1], Binding::kKeyword + 0);

  const std::vector<std::string_view> extra = {"x", "y"};
  ASSERT_EQ(bind_call(kKwargsOnly, 0, extra, b), std::nullopt);
  EXPECT_TRUE(b.keyword_extra[0] && b.keyword_extra[1]);

  ASSERT_EQ(bind_call(kVariadic, 3, {}, b), std::nullopt);
  EXPECT_EQ(b.positional_bound, 0u);  // all three go to the variadic parameter

  ASSERT_EQ(bind_call(kOptional, 2, {}, b), std::nullopt);
  EXPECT_EQ(b.source[2], Binding::kUnfilled);
}

TEST(Binding, QuotedLists) {
  const std::vector<std::string_view> one = {"a"}, two = {"a", "b"}, three = {"a", "b", "c"},
                                      four = {"a", "b", "c", "d"};
  EXPECT_EQ(quoted_list(one), "'a'");
  EXPECT_EQ(quoted_list(two), "'a' and 'b'");
  EXPECT_EQ(quoted_list(three), "'a', 'b', and 'c'");
  EXPECT_EQ(quoted_list(four), "'a', 'b', 'c', and 'd'");
}

}  // namespace
}  // namespace vostrel::binding
