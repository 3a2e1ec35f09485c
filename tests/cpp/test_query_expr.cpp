// Query expression trees: the debug form of every alternative, deep copies that share host
// objects, depth, and a seeded run of random trees against a string model.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <random>

#include "host_stub.hpp"
#include "index/fatal.hpp"
#include "index/query.hpp"

namespace vostrel {
namespace {

using Q = QueryExpr;

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
PyValue float_value(double x, std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Float(x), hash); }
PyValue str_value(std::string s, std::uint64_t hash) {
  return PyValue(SharedHostRef(), CastValue::Str(std::move(s)), hash);
}
PyValue unknown_value(std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Unknown(), hash); }
/// A value holding the n-th fake host object through a holder of its own.
PyValue hosted_value(std::size_t n) {
  return PyValue(SharedHostRef::adopt(test::fake_host_object(n)), CastValue::Int(static_cast<std::int64_t>(n)), n);
}

AttrName name(std::string_view text) { return AttrName(text); }

std::string int_debug(std::int64_t n) {
  return "PyValue { obj: Py(0x0), primitave: Int(" + std::to_string(n) + "), hash: " +
         std::to_string(static_cast<std::uint64_t>(n)) + " }";
}
std::string address(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(p));
  return buf;
}

Q eq(std::string_view attr, std::int64_t n) { return Q::Eq{name(attr), int_value(n)}; }

std::string fatal_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "(no failure)";
}

TEST(QueryExpr, DebugFormOfEveryAlternative) {
  const std::string v30 = int_debug(30);
  struct Case {
    std::function<Q()> make;
    std::string debug;
    Q::Kind kind;
  };
  const Case cases[] = {
      {[] { return eq("age", 30); }, "Eq(\"age\", " + v30 + ")", Q::Kind::Eq},
      {[] { return Q(Q::Ne{name("age"), int_value(30)}); }, "Ne(\"age\", " + v30 + ")", Q::Kind::Ne},
      {[] { return Q(Q::Gt{name("age"), int_value(30)}); }, "Gt(\"age\", " + v30 + ")", Q::Kind::Gt},
      {[] { return Q(Q::Ge{name("age"), int_value(30)}); }, "Ge(\"age\", " + v30 + ")", Q::Kind::Ge},
      {[] { return Q(Q::Lt{name("age"), int_value(30)}); }, "Lt(\"age\", " + v30 + ")", Q::Kind::Lt},
      {[] { return Q(Q::Le{name("age"), int_value(30)}); }, "Le(\"age\", " + v30 + ")", Q::Kind::Le},
      {[] { return Q(Q::Bt{name("n"), int_value(1), float_value(2.5, 1152921504606846978u)}); },
       "Bt(\"n\", " + int_debug(1) +
           ", PyValue { obj: Py(0x0), primitave: Float(2.5), hash: 1152921504606846978 })",
       Q::Kind::Bt},
      {[] { return Q(Q::In{name("tag"), {}}); }, "In(\"tag\", [])", Q::Kind::In},
      {[] {
         std::vector<PyValue> vs;
         vs.push_back(str_value("a", 7));
         vs.push_back(unknown_value(0));
         return Q(Q::In{name("tag"), std::move(vs)});
       },
       "In(\"tag\", [PyValue { obj: Py(0x0), primitave: Str(\"a\"), hash: 7 }, "
       "PyValue { obj: Py(0x0), primitave: Unknown, hash: 0 }])",
       Q::Kind::In},
      {[] {
         std::vector<PyValue> vs;
         vs.push_back(str_value("a", 7));
         return Q::negation(Q::In{name("tag"), std::move(vs)});
       },
       "Not(In(\"tag\", [PyValue { obj: Py(0x0), primitave: Str(\"a\"), hash: 7 }]))", Q::Kind::Not},
      {[] { return Q::negation(Q::negation(eq("a", 30))); }, "Not(Not(Eq(\"a\", " + v30 + ")))",
       Q::Kind::Not},
      {[] { return Q(Q::And{}); }, "And([])", Q::Kind::And},
      {[] { return Q(Q::Or{}); }, "Or([])", Q::Kind::Or},
      {[] {
         std::vector<Q> subs;
         subs.push_back(eq("age", 30));
         return Q(Q::Or{std::move(subs)});
       },
       "Or([Eq(\"age\", " + v30 + ")])", Q::Kind::Or},
      {[] {
         std::vector<Q> subs;
         subs.push_back(eq("a", 30));
         subs.push_back(Q::negation(Q(Q::Or{})));
         subs.push_back(Q(Q::And{}));
         return Q(Q::And{std::move(subs)});
       },
       "And([Eq(\"a\", " + v30 + "), Not(Or([])), And([])])", Q::Kind::And},
      {[] { return Q(Q::Eq{name("\"q\\\t\r\n"), int_value(30)}); },
       "Eq(\"\\\"q\\\\\\t\\r\\n\", " + v30 + ")", Q::Kind::Eq},
      {[] { return Q(Q::Eq{name(std::string_view("a\0\x7f\xc3\xa9", 5)), int_value(30)}); },
       "Eq(\"a\\0\\u{7f}\xc3\xa9\", " + v30 + ")", Q::Kind::Eq},
      {[] { return Q(Q::Eq{name("a_name_longer_than_the_inline_capacity"), int_value(-1)}); },
       "Eq(\"a_name_longer_than_the_inline_capacity\", PyValue { obj: Py(0x0), primitave: Int(-1), "
       "hash: 18446744073709551615 })",
       Q::Kind::Eq},
  };
  for (const Case& c : cases) {
    const Q q = c.make();
    EXPECT_EQ(q.debug(), c.debug);
    EXPECT_EQ(q.kind(), c.kind) << c.debug;
    EXPECT_EQ(q.clone().debug(), c.debug);
    EXPECT_EQ(q.verify(), std::nullopt) << c.debug;
  }
}

TEST(QueryExpr, KindNamesFollowVariantOrder) {
  const std::string_view names[] = {"Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or"};
  ASSERT_EQ(std::size(names), std::variant_size_v<Q::Node>);
  for (std::size_t i = 0; i < std::size(names); ++i)
    EXPECT_EQ(kind_name(static_cast<Q::Kind>(i)), names[i]);
}

TEST(QueryExpr, CloneIsDeepAndSharesHostObjects) {
  const std::size_t released_before = test::host_release_count();
  {
    std::vector<PyValue> vs;
    vs.push_back(hosted_value(1));
    vs.push_back(hosted_value(2));
    std::vector<Q> subs;
    subs.push_back(Q::negation(Q::In{name("tag"), std::move(vs)}));
    subs.push_back(Q::Bt{name("n"), hosted_value(3), hosted_value(4)});
    Q original = Q::And{std::move(subs)};

    const auto& sub0 = std::get<Q::And>(original.node()).exprs[0];
    const auto& in_values = std::get<Q::In>(std::get<Q::Not>(sub0.node()).expr->node()).values;
    EXPECT_EQ(in_values[0].obj().use_count(), 1u);
    const std::string expected = original.debug();
    EXPECT_NE(expected.find("Py(" + address(test::fake_host_object(1)) + ")"), std::string::npos);

    std::optional<Q> copy = original.clone();
    EXPECT_EQ(copy->debug(), expected);
    EXPECT_EQ(in_values[0].obj().use_count(), 2u);  // shared holder, not a new host reference
    const auto& copy_sub0 = std::get<Q::And>(copy->node()).exprs[0];
    EXPECT_NE(std::get<Q::Not>(copy_sub0.node()).expr.get(), std::get<Q::Not>(sub0.node()).expr.get());

    copy.reset();
    EXPECT_EQ(in_values[0].obj().use_count(), 1u);
    EXPECT_EQ(test::host_release_count(), released_before);  // the original still holds every object
    EXPECT_EQ(original.debug(), expected);
  }
  EXPECT_EQ(test::host_release_count(), released_before + 4);
}

TEST(QueryExpr, Depth) {
  const struct {
    std::function<Q()> make;
    std::size_t depth;
  } cases[] = {
      {[] { return eq("a", 1); }, 1},
      {[] { return Q(Q::And{}); }, 1},
      {[] { return Q::negation(Q(Q::Or{})); }, 2},
      {[] { return Q::negation(Q::negation(eq("a", 1))); }, 3},
      {[] {
         std::vector<Q> subs;
         subs.push_back(eq("a", 1));
         subs.push_back(Q::negation(Q::negation(eq("a", 1))));
         subs.push_back(Q::negation(eq("a", 1)));
         return Q(Q::Or{std::move(subs)});
       },
       4},
  };
  for (const auto& c : cases) EXPECT_EQ(c.make().depth(), c.depth) << c.make().debug();
}

TEST(QueryExpr, MovedFromNotIsReportedNotFollowed) {
  Q q = Q::negation(eq("a", 1));
  Q taken = std::move(q);
  EXPECT_EQ(taken.verify(), std::nullopt);
  EXPECT_EQ(q.verify(), "Not without a sub-expression at level 1");  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(fatal_text([&] { (void)q.debug(); }), kMissingValue);
  EXPECT_EQ(fatal_text([&] { (void)q.clone(); }), kMissingValue);
  EXPECT_EQ(fatal_text([&] { (void)q.depth(); }), kMissingValue);
}

TEST(QueryExpr, TreesAtTheDepthLimitWorkAndDeeperOnesAreReported) {
  Q q = eq("a", 1);
  for (std::size_t level = 1; level < kMaxQueryDepth; ++level) {
    if (level % 2) {
      q = Q::negation(std::move(q));
    } else {
      std::vector<Q> subs;
      subs.push_back(eq("b", 2));
      subs.push_back(std::move(q));
      q = Q::And{std::move(subs)};
    }
  }
  EXPECT_EQ(q.depth(), kMaxQueryDepth);
  EXPECT_EQ(q.verify(), std::nullopt);
  const Q copy = q.clone();
  EXPECT_EQ(copy.debug().size(), q.debug().size());

  std::vector<Q> subs;
  subs.push_back(std::move(q));
  const Q deeper = Q::Or{std::move(subs)};
  EXPECT_EQ(deeper.verify(), "expression deeper than " + std::to_string(kMaxQueryDepth) + " levels");
}

/// Builds random trees together with the debug text and depth they must have.
class RandomTrees {
 public:
  explicit RandomTrees(std::uint32_t seed) : rng_(seed) {}

  struct Built {
    Q expr;
    std::string debug;
    std::size_t depth;
    std::size_t values;  // holders made, each releasing one host reference when its last copy goes
  };

  Built make(std::size_t budget) {
    const std::size_t kind = pick(budget == 0 ? 8 : 11);
    const std::string attr = pick_attr();
    const std::string quoted = "\"" + attr + "\"";
    switch (kind) {
      case 0: return comparison<Q::Eq>("Eq", attr);
      case 1: return comparison<Q::Ne>("Ne", attr);
      case 2: return comparison<Q::Gt>("Gt", attr);
      case 3: return comparison<Q::Ge>("Ge", attr);
      case 4: return comparison<Q::Lt>("Lt", attr);
      case 5: return comparison<Q::Le>("Le", attr);
      case 6: {
        auto [lo, lo_text] = value();
        auto [hi, hi_text] = value();
        return {Q::Bt{name(attr), std::move(lo), std::move(hi)}, "Bt(" + quoted + ", " + lo_text + ", " + hi_text + ")", 1, 2};
      }
      case 7: {
        std::vector<PyValue> vs;
        std::string text = "In(" + quoted + ", [";
        const std::size_t n = pick(4);
        for (std::size_t i = 0; i < n; ++i) {
          auto [v, v_text] = value();
          vs.push_back(std::move(v));
          text += (i > 0 ? ", " : "") + v_text;
        }
        return {Q::In{name(attr), std::move(vs)}, text + "])", 1, n};
      }
      case 8: {
        Built sub = make(budget - 1);
        return {Q::negation(std::move(sub.expr)), "Not(" + sub.debug + ")", sub.depth + 1, sub.values};
      }
      default: {
        std::vector<Q> subs;
        std::string text = std::string(kind == 9 ? "And" : "Or") + "([";
        std::size_t depth = 0, values = 0;
        const std::size_t n = pick(4);
        for (std::size_t i = 0; i < n; ++i) {
          Built sub = make((budget - 1) / n);
          subs.push_back(std::move(sub.expr));
          text += (i > 0 ? ", " : "") + sub.debug;
          depth = std::max(depth, sub.depth);
          values += sub.values;
        }
        text += "])";
        Q q = kind == 9 ? Q(Q::And{std::move(subs)}) : Q(Q::Or{std::move(subs)});
        return {std::move(q), std::move(text), depth + 1, values};
      }
    }
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  std::string pick_attr() {
    static const char* const kAttrs[] = {"a", "size", "colour", "x_rather_long_attribute_name"};
    return kAttrs[pick(std::size(kAttrs))];
  }
  std::pair<PyValue, std::string> value() {
    const std::size_t n = pick(64);
    return {hosted_value(n), "PyValue { obj: Py(" + address(test::fake_host_object(n)) + "), primitave: Int(" +
                                 std::to_string(n) + "), hash: " + std::to_string(n) + " }"};
  }
  template <class Alt>
  Built comparison(std::string_view kind, const std::string& attr) {
    auto [v, text] = value();
    return {Alt{name(attr), std::move(v)}, std::string(kind) + "(\"" + attr + "\", " + text + ")", 1, 1};
  }

  std::mt19937 rng_;
};

TEST(QueryExpr, RandomTreesMatchTheirModel) {
  constexpr std::uint32_t kSeeds = 200;
  for (std::uint32_t seed = 1; seed <= kSeeds; ++seed) {
    RandomTrees gen(seed);
    const std::size_t released_before = test::host_release_count();
    std::size_t values = 0;
    {
      RandomTrees::Built b = gen.make(12);
      values = b.values;
      ASSERT_EQ(b.expr.verify(), std::nullopt) << "seed " << seed;
      ASSERT_EQ(b.expr.debug(), b.debug) << "seed " << seed;
      ASSERT_EQ(b.expr.depth(), b.depth) << "seed " << seed;
      Q copy = b.expr.clone();
      ASSERT_EQ(copy.verify(), std::nullopt) << "seed " << seed;
      b.expr = Q(Q::And{});  // drop the original first: the copy keeps every host object
      ASSERT_EQ(test::host_release_count(), released_before) << "seed " << seed;
      ASSERT_EQ(copy.debug(), b.debug) << "seed " << seed;
      ASSERT_EQ(copy.depth(), b.depth) << "seed " << seed;
    }
    ASSERT_EQ(test::host_release_count(), released_before + values) << "seed " << seed;
  }
}

}  // namespace
}  // namespace vostrel
