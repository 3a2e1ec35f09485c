// Query expression trees: the debug form of every alternative, deep copies that share host
// objects, depth, and a seeded run of random trees against a string model.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <regex>

#include "index/query_expr.hpp"
#include "test_support.hpp"

namespace vostrel {
namespace {

using Q = QueryExpr;

using test::float_value;
using test::int_value;
using test::other_value;
using test::str_value;

AttrName name(std::string_view text) { return AttrName(text); }

/// The debug form with every host object's address replaced by "_".
std::string debug_of(const Q& q) {
  static const std::regex address(R"(Py\(0x[0-9a-f]+\))");
  return std::regex_replace(q.debug(), address, "Py(_)");
}

std::string int_debug(std::int64_t n) {
  return "PyValue { obj: Py(_), primitave: Int(" + std::to_string(n) + "), hash: " +
         std::to_string(test::int_hash(n)) + " }";
}

Q eq(std::string_view attr, std::int64_t n) { return Q::Eq{name(attr), int_value(n)}; }

using test::fatal_text;

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
      {[] { return Q(Q::Bt{name("n"), int_value(1), float_value(0.5)}); },
       "Bt(\"n\", " + int_debug(1) + ", PyValue { obj: Py(_), primitave: Float(0.5), hash: " +
           std::to_string(test::float_value(0.5).hash()) + " })",
       Q::Kind::Bt},
      {[] { return Q(Q::In{name("tag"), {}}); }, "In(\"tag\", [])", Q::Kind::In},
      {[] {
         std::vector<PyValue> vs;
         vs.push_back(PyValue::adopt(test::new_object("a"), ValueKind::Str, 7, 0));
         vs.push_back(other_value(0));
         return Q(Q::In{name("tag"), std::move(vs)});
       },
       "In(\"tag\", [PyValue { obj: Py(_), primitave: Str(\"a\"), hash: 7 }, "
       "PyValue { obj: Py(_), primitave: Unknown, hash: 0 }])",
       Q::Kind::In},
      {[] {
         std::vector<PyValue> vs;
         vs.push_back(PyValue::adopt(test::new_object("a"), ValueKind::Str, 7, 0));
         return Q::negation(Q::In{name("tag"), std::move(vs)});
       },
       "Not(In(\"tag\", [PyValue { obj: Py(_), primitave: Str(\"a\"), hash: 7 }]))", Q::Kind::Not},
      {[] { return Q(Q::Has{name("tag")}); }, "Has(\"tag\")", Q::Kind::Has},
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
  };
  for (const Case& c : cases) {
    const Q q = c.make();
    EXPECT_EQ(debug_of(q), c.debug);
    EXPECT_EQ(q.kind(), c.kind) << c.debug;
    EXPECT_EQ(q.clone().debug(), q.debug());
    EXPECT_EQ(q.verify(), std::nullopt) << c.debug;
  }
}

TEST(QueryExpr, CloneIsDeepAndSharesHostObjects) {
  const long before = test::live_refs();
  {
    std::vector<PyValue> vs;
    vs.push_back(int_value(1));
    vs.push_back(str_value("b"));
    std::vector<Q> subs;
    subs.push_back(Q::negation(Q::In{name("tag"), std::move(vs)}));
    subs.push_back(Q::Bt{name("n"), int_value(3), float_value(4.5)});
    subs.push_back(Q::Has{name("tag")});
    Q original = Q::And{std::move(subs)};
    const auto& sub0 = std::get<Q::And>(original.node()).exprs[0];
    HostObject* first = std::get<Q::In>(std::get<Q::Not>(sub0.node()).expr->node()).values[0].obj();
    const std::string expected = original.debug();

    std::optional<Q> copy = original.clone();
    EXPECT_EQ(copy->debug(), expected);  // the same host objects
    EXPECT_EQ(test::refs(first), 2);
    EXPECT_EQ(test::live_refs(), before + 8);
    const auto& copy_sub0 = std::get<Q::And>(copy->node()).exprs[0];
    EXPECT_NE(std::get<Q::Not>(copy_sub0.node()).expr.get(), std::get<Q::Not>(sub0.node()).expr.get());
    copy.reset();
    EXPECT_EQ(test::live_refs(), before + 4);
    EXPECT_EQ(original.debug(), expected);
  }
  EXPECT_EQ(test::live_refs(), before);
}

TEST(QueryExpr, MovedFromNotIsReportedNotFollowed) {
  Q q = Q::negation(eq("a", 1));
  Q taken = std::move(q);
  EXPECT_EQ(taken.verify(), std::nullopt);
  EXPECT_EQ(q.verify(), "Not without a sub-expression at level 1");  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(q.debug(), "Not()");
  EXPECT_EQ(q.depth(), 1u);
  EXPECT_EQ(fatal_text([&] { (void)q.clone(); }), kMissingValue);
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
    std::size_t values;  // host objects in the tree
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
    PyValue v = int_value(static_cast<std::int64_t>(pick(64)));
    std::string text = v.debug();
    return {std::move(v), std::move(text)};
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
    const long before = test::live_refs();
    {
      RandomTrees::Built b = gen.make(12);
      ASSERT_EQ(b.expr.verify(), std::nullopt) << "seed " << seed;
      ASSERT_EQ(b.expr.debug(), b.debug) << "seed " << seed;
      ASSERT_EQ(b.expr.depth(), b.depth) << "seed " << seed;
      Q copy = b.expr.clone();
      ASSERT_EQ(copy.verify(), std::nullopt) << "seed " << seed;
      ASSERT_EQ(test::live_refs(), before + 2 * static_cast<long>(b.values)) << "seed " << seed;
      b.expr = Q(Q::And{});  // drop the original first: the copy keeps every host object
      ASSERT_EQ(test::live_refs(), before + static_cast<long>(b.values)) << "seed " << seed;
      ASSERT_EQ(copy.debug(), b.debug) << "seed " << seed;
      ASSERT_EQ(copy.depth(), b.depth) << "seed " << seed;
    }
    ASSERT_EQ(test::live_refs(), before) << "seed " << seed;
  }
}

}  // namespace
}  // namespace vostrel
