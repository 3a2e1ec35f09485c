// Evaluation of expression trees and keyword filters against an attribute table: the edge cases
// of every alternative, and seeded random objects, trees and filters against a brute-force model.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>

#include "index/query.hpp"
#include "test_support.hpp"

namespace vostrel {
namespace {

using Q = QueryExpr;
using Ids = std::vector<Id>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PyValue py_int(std::int64_t n) { return test::int_value(n); }
PyValue py_float(double x) { return test::float_value(x); }
PyValue py_str(const std::string& s) { return test::str_value(s); }
PyValue py_bool(bool b) { return test::other_value(b ? 1 : 0); }  // equal to 0 or 1, but no number
PyValue py_none() { return test::other_value(0x5a5a5a5a); }

Q eq(std::string_view a, PyValue v) { return Q::Eq{AttrName(a), std::move(v)}; }
Q ne(std::string_view a, PyValue v) { return Q::Ne{AttrName(a), std::move(v)}; }
Q gt(std::string_view a, PyValue v) { return Q::Gt{AttrName(a), std::move(v)}; }
Q ge(std::string_view a, PyValue v) { return Q::Ge{AttrName(a), std::move(v)}; }
Q lt(std::string_view a, PyValue v) { return Q::Lt{AttrName(a), std::move(v)}; }
Q le(std::string_view a, PyValue v) { return Q::Le{AttrName(a), std::move(v)}; }
Q bt(std::string_view a, PyValue lo, PyValue hi) { return Q::Bt{AttrName(a), std::move(lo), std::move(hi)}; }
Q in(std::string_view a, std::vector<PyValue> vs) { return Q::In{AttrName(a), std::move(vs)}; }
template <class... V>
std::vector<PyValue> values(V... vs) {
  std::vector<PyValue> out;
  (out.push_back(std::move(vs)), ...);
  return out;
}
Q has(std::string_view a) { return Q::Has{AttrName(a)}; }
std::uint64_t h(const PyValue& v) { return v.hash(); }
Q not_(Q e) { return Q::negation(std::move(e)); }
template <class... E>
Q and_(E... es) {
  std::vector<Q> v;
  (v.push_back(std::move(es)), ...);
  return Q::And{std::move(v)};
}
template <class... E>
Q or_(E... es) {
  std::vector<Q> v;
  (v.push_back(std::move(es)), ...);
  return Q::Or{std::move(v)};
}
/// A `Not` without its sub-expression: evaluating it is fatal, so it shows what was evaluated.
Q broken() { return Q::Not{nullptr}; }

Bitmap bits(const Ids& ids) { return Bitmap::of(std::span<const Id>(ids)); }

/// Indexes `value` under `name` for `id`, making the attribute's map when it is new.
void index_value(QueryMapTable& table, std::string_view name, const PyValue& value, Id id) {
  auto& map = table[AttrName(name)];
  if (!map) map = std::make_unique<QueryMap>();
  map->insert(value, id);
}

/// Ten objects with the attribute values below, indexed as adding would.
class Evaluation : public ::testing::Test {
 protected:
  void SetUp() override {
    put(1, {{"age", py_int(30)}, {"colour", py_str("red")}, {"tag", py_str("x")}, {"a", py_int(1)}, {"b", py_int(2)}});
    put(2, {{"age", py_float(30.0)}, {"colour", py_str("blue")}, {"tag", py_str("y")}, {"a", py_int(1)}, {"b", py_int(3)}});
    put(3, {{"age", py_int(10)}, {"colour", py_str("red")}, {"tag", py_str("x")}, {"a", py_int(2)}});
    put(4, {{"age", py_int(20)}, {"colour", py_str("red")}, {"size", py_int(1)}, {"flag", py_bool(true)}});
    put(5, {{"age", py_float(25.5)}, {"size", py_int(2)}});
    put(6, {{"age", py_str("old")}, {"size", py_float(1.0)}, {"flag", py_int(1)}});
    put(7, {{"age", py_float(kNaN)}, {"size", py_int(5)}});
    put(8, {{"age", py_float(-kNaN)}});
    put(9, {{"age", py_float(kInf)}});
    put(10, {{"age", py_float(-kInf)}});
    ASSERT_EQ(verify_table(table), std::nullopt);
  }
  void put(Id id, std::initializer_list<std::pair<const char*, PyValue>> attrs) {
    for (const auto& [name, value] : attrs) index_value(table, name, value, id);
    all.add(id);
  }

  QueryMapTable table;
  Bitmap all;
};

struct EvalCase {
  const char* label;
  std::function<Q()> expr;
  std::optional<Ids> candidates;  // all ten objects when absent
  Ids expected;
};

TEST_F(Evaluation, EveryAlternativeAndItsEdges) {
  const Ids every{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  const EvalCase cases[] = {
      {"eq", [] { return eq("colour", py_str("red")); }, {}, {1, 3, 4}},
      {"eq missing attribute", [] { return eq("nosuch", py_str("red")); }, {}, {}},
      {"eq missing value", [] { return eq("colour", py_str("green")); }, {}, {}},
      {"eq is not limited to the candidates", [] { return eq("colour", py_str("red")); }, Ids{1}, {1, 3, 4}},
      {"eq with no candidates", [] { return eq("colour", py_str("red")); }, Ids{}, {1, 3, 4}},
      {"or passes eq on unlimited", [] { return or_(eq("colour", py_str("red"))); }, Ids{}, {1, 3, 4}},
      {"and limits eq", [] { return and_(eq("colour", py_str("red"))); }, Ids{1, 2}, {1}},
      {"ne", [] { return ne("colour", py_str("red")); }, {}, {2, 5, 6, 7, 8, 9, 10}},
      {"ne missing attribute", [] { return ne("nosuch", py_str("red")); }, {}, every},
      {"ne missing value", [] { return ne("colour", py_str("green")); }, Ids{2, 3}, {2, 3}},
      {"ne is limited", [] { return ne("colour", py_str("red")); }, Ids{1, 2}, {2}},
      {"gt with a string bound", [] { return gt("colour", py_str("x")); }, {}, {}},
      {"lt with None", [] { return lt("age", py_none()); }, {}, {}},
      {"bt with a string bound", [] { return bt("age", py_int(1), py_str("z")); }, {}, {}},
      {"ge int", [] { return ge("age", py_int(30)); }, {}, {1, 2, 9}},
      {"ge float", [] { return ge("age", py_float(30.0)); }, {}, {1, 2, 9}},
      {"gt excludes 30 and 30.0", [] { return gt("age", py_int(30)); }, {}, {9}},
      {"lt", [] { return lt("age", py_int(20)); }, {}, {3, 10}},
      {"le", [] { return le("age", py_int(20)); }, {}, {3, 4, 10}},
      {"bt includes both bounds", [] { return bt("age", py_int(10), py_int(20)); }, {}, {3, 4}},
      {"bt reversed", [] { return bt("age", py_int(20), py_int(10)); }, {}, {}},
      {"bt over a float", [] { return bt("age", py_float(25.5), py_float(25.5)); }, {}, {5}},
      {"ranges are limited", [] { return ge("age", py_int(0)); }, Ids{1, 3, 6, 8}, {1, 3}},
      {"range on a missing attribute", [] { return ge("nosuch", py_int(0)); }, {}, {}},
      {"range on strings only", [] { return ge("tag", py_int(0)); }, {}, {}},
      {"NaN values never compare", [] { return bt("age", py_float(-kInf), py_float(kInf)); }, {}, {1, 2, 3, 4, 5, 9, 10}},
      {"open upper side skips NaN", [] { return gt("age", py_int(25)); }, {}, {1, 2, 5, 9}},
      {"open lower side skips -NaN", [] { return lt("age", py_int(25)); }, {}, {3, 4, 10}},
      {"NaN bound", [] { return ge("age", py_float(kNaN)); }, {}, {}},
      {"NaN in bt", [] { return bt("age", py_float(kNaN), py_float(kInf)); }, {}, {}},
      {"in empty", [] { return in("tag", {}); }, {}, {}},
      {"in unites", [] { return in("tag", values(py_str("x"), py_str("y"))); }, {}, {1, 2, 3}},
      {"in skips missing values", [] { return in("tag", values(py_str("x"), py_str("w"))); }, {}, {1, 3}},
      {"in is limited", [] { return in("tag", values(py_str("x"), py_str("y"))); }, Ids{2, 3, 4}, {2, 3}},
      {"in missing attribute", [] { return in("nosuch", values(py_str("x"))); }, {}, {}},
      {"not", [] { return not_(eq("colour", py_str("red"))); }, Ids{2, 3}, {2}},
      {"has", [] { return has("size"); }, {}, {4, 5, 6, 7}},
      {"has is limited", [] { return has("tag"); }, Ids{2, 3, 4}, {2, 3}},
      {"has missing attribute", [] { return has("nosuch"); }, {}, {}},
      {"not has", [] { return not_(has("flag")); }, Ids{4, 5, 6}, {5}},
      {"and()", [] { return and_(); }, {}, every},
      {"and() with no candidates", [] { return and_(); }, Ids{}, {}},
      {"or()", [] { return or_(); }, {}, {}},
      {"not(or())", [] { return not_(or_()); }, {}, every},
      {"a = 1 and b != 2",
       [] { return and_(eq("a", py_int(1)), not_(eq("b", py_int(2)))); }, {}, {2}},
      {"or of eq and a limited range",
       [] { return or_(eq("colour", py_str("red")), gt("age", py_int(25))); }, Ids{2}, {1, 2, 3, 4}},
      {"and narrows the candidates of ne",
       [] { return and_(eq("colour", py_str("red")), ne("tag", py_str("x"))); }, {}, {4}},
      {"1, 1.0 and True share a set", [] { return eq("flag", py_int(1)); }, {}, {4, 6}},
      {"True is no number", [] { return ge("flag", py_int(1)); }, {}, {6}},
      {"1.0 is a number", [] { return gt("size", py_int(0)); }, {}, {4, 5, 6, 7}},
      {"and stops at empty", [] { return and_(eq("colour", py_str("green")), broken()); }, {}, {}},
      {"and with no candidates evaluates nothing", [] { return and_(broken()); }, Ids{}, {}},
  };
  for (const EvalCase& c : cases) {
    const Bitmap candidates = c.candidates ? bits(*c.candidates) : all.clone();
    const Q expr = c.expr();
    EXPECT_EQ(evaluate_query(table, candidates, expr).to_vector(), c.expected) << c.label;
  }
}

TEST_F(Evaluation, EveryEvaluatedSubExpressionIsRead) {
  EXPECT_THROW((void)evaluate_query(table, all, and_(eq("colour", py_str("red")), broken())), FatalError);
  EXPECT_THROW((void)evaluate_query(table, all, or_(eq("colour", py_str("green")), broken())), FatalError);
}

TEST_F(Evaluation, TreesOfTheDeepestAcceptedDepth) {
  // kMaxQueryDepth - 1 negations over a leaf: an odd count, so the complement within the candidates.
  Q negations = eq("colour", py_str("red"));
  for (std::size_t i = 1; i < kMaxQueryDepth; ++i) negations = not_(std::move(negations));
  ASSERT_EQ(negations.verify(), std::nullopt);
  EXPECT_EQ(evaluate_query(table, bits({1, 2, 3}), negations).to_vector(), Ids{2});

  Q nested = ge("age", py_int(20));
  for (std::size_t i = 1; i < kMaxQueryDepth; ++i) nested = i % 2 ? and_(std::move(nested)) : or_(std::move(nested));
  ASSERT_EQ(nested.verify(), std::nullopt);
  EXPECT_EQ(evaluate_query(table, all, nested).to_vector(), (Ids{1, 2, 4, 5, 9}));
}

struct FilterCase {
  const char* label;
  std::function<KeywordQuery()> query;
  Ids expected;
};

TEST_F(Evaluation, KeywordFilters) {
  const FilterCase cases[] = {
      {"no keywords", [] { return KeywordQuery(); }, {}},
      {"one value", [] { return KeywordQuery{{AttrName("colour"), {h(py_str("red"))}}}; }, {1, 3, 4}},
      {"two values", [] { return KeywordQuery{{AttrName("colour"), {h(py_str("red")), h(py_str("blue"))}}}; }, {1, 2, 3, 4}},
      {"two attributes",
       [] { return KeywordQuery{{AttrName("colour"), {h(py_str("red"))}}, {AttrName("tag"), {h(py_str("x"))}}}; }, {1, 3}},
      {"red of size 1 or 2",
       [] { return KeywordQuery{{AttrName("colour"), {h(py_str("red"))}}, {AttrName("size"), {h(py_int(1)), h(py_int(2))}}}; },
       {4}},
      {"missing attribute beside a common one",
       [] { return KeywordQuery{{AttrName("colour"), {h(py_str("red"))}}, {AttrName("nosuch"), {h(py_int(1))}}}; }, {}},
      {"missing value", [] { return KeywordQuery{{AttrName("colour"), {h(py_str("green"))}}}; }, {}},
      {"no values", [] { return KeywordQuery{{AttrName("size"), {}}}; }, {}},
      {"no values beside a match",
       [] { return KeywordQuery{{AttrName("size"), {}}, {AttrName("colour"), {h(py_str("red"))}}}; }, {}},
      {"1 and 1.0 are one value", [] { return KeywordQuery{{AttrName("size"), {h(py_int(1)), h(py_float(1.0))}}}; }, {4, 6}},
      {"1 matches True", [] { return KeywordQuery{{AttrName("flag"), {h(py_int(1))}}}; }, {4, 6}},
      {"keywords are not limited to anything",
       [] { return KeywordQuery{{AttrName("age"), {h(py_str("old"))}}, {AttrName("flag"), {h(py_bool(true))}}}; }, {6}},
  };
  for (const FilterCase& c : cases)
    EXPECT_EQ(filter_index_by_hashes(table, c.query()).to_vector(), c.expected) << c.label;
}

// ---------------------------------------------------------------------------------------------
// Randomised: objects with a few attributes, indexed and reassigned, against a brute-force model.

/// Host comparison of two numbers, exact between integers and doubles; NaN is unordered.
std::partial_ordering compare_numbers(const PyValue& a, const PyValue& b) {
  if (a.kind() == ValueKind::Int && b.kind() == ValueKind::Int) return a.as_int() <=> b.as_int();
  if (a.kind() == ValueKind::Float && b.kind() == ValueKind::Float) return a.as_float() <=> b.as_float();
  const bool flipped = a.kind() == ValueKind::Float;
  const std::int64_t i = flipped ? b.as_int() : a.as_int();
  const double d = flipped ? a.as_float() : b.as_float();  std::partial_ordering r = std::partial_ordering::unordered;
  if (std::isnan(d)) {
    r = std::partial_ordering::unordered;
  } else if (d >= 0x1p63) {
    r = std::partial_ordering::less;
  } else if (d < -0x1p63) {
    r = std::partial_ordering::greater;
  } else {
    const double whole = std::trunc(d);
    const auto t = static_cast<std::int64_t>(whole);
    if (i != t) {
      r = i <=> t;
    } else {
      r = 0.0 <=> d - whole;
    }
  }
  if (!flipped) return r;
  return r == std::partial_ordering::less ? std::partial_ordering::greater
         : r == std::partial_ordering::greater ? std::partial_ordering::less
                                                : r;
}

using Record = std::map<std::string, const PyValue*>;
using IdSet = std::set<Id>;

struct Model {
  std::map<Id, Record> objects;

  /// Ids whose `attr` satisfies `pred`, among `within` (all objects when null).
  template <class Pred>
  IdSet where(const std::string& attr, const IdSet* within, Pred pred) const {
    IdSet out;
    for (const auto& [id, rec] : objects) {
      if (within && !within->contains(id)) continue;
      auto it = rec.find(attr);
      if (it != rec.end() && pred(*it->second)) out.insert(id);
    }
    return out;
  }
  /// Ids whose number under `attr` relates to `bound` as `ok` says; none for a bound that is no number.
  template <class Ok>
  IdSet compared(const std::string& attr, const IdSet& c, const PyValue& bound, Ok ok) const {
    if (!bound.is_numeric()) return {};
    return where(attr, &c, [&](const PyValue& v) { return v.is_numeric() && ok(compare_numbers(v, bound)); });
  }

  IdSet eval(const Q& e, const IdSet& c) const {
    return std::visit(
        [&](const auto& alt) -> IdSet {
          using Alt = std::decay_t<decltype(alt)>;
          if constexpr (std::is_same_v<Alt, Q::Eq>) {
            return where(std::string(alt.attr.view()), nullptr, [&](const PyValue& v) { return v == alt.value; });
          } else if constexpr (std::is_same_v<Alt, Q::Ne>) {
            return where_not(c, where(std::string(alt.attr.view()), &c, [&](const PyValue& v) { return v == alt.value; }));
          } else if constexpr (std::is_same_v<Alt, Q::Gt>) {
            return compared(std::string(alt.attr.view()), c, alt.value, [](auto o) { return o > 0; });
          } else if constexpr (std::is_same_v<Alt, Q::Ge>) {
            return compared(std::string(alt.attr.view()), c, alt.value, [](auto o) { return o >= 0; });
          } else if constexpr (std::is_same_v<Alt, Q::Lt>) {
            return compared(std::string(alt.attr.view()), c, alt.value, [](auto o) { return o < 0; });
          } else if constexpr (std::is_same_v<Alt, Q::Le>) {
            return compared(std::string(alt.attr.view()), c, alt.value, [](auto o) { return o <= 0; });
          } else if constexpr (std::is_same_v<Alt, Q::Bt>) {
            const std::string attr(alt.attr.view());
            IdSet lo = compared(attr, c, alt.lower, [](auto o) { return o >= 0; });
            IdSet hi = compared(attr, c, alt.upper, [](auto o) { return o <= 0; });
            return intersect(lo, hi);
          } else if constexpr (std::is_same_v<Alt, Q::In>) {
            return where(std::string(alt.attr.view()), &c, [&](const PyValue& v) {
              return std::find(alt.values.begin(), alt.values.end(), v) != alt.values.end();
            });
          } else if constexpr (std::is_same_v<Alt, Q::Not>) {
            return where_not(c, eval(*alt.expr, c));
          } else if constexpr (std::is_same_v<Alt, Q::Has>) {
            return where(std::string(alt.attr.view()), &c, [](const PyValue&) { return true; });
          } else if constexpr (std::is_same_v<Alt, Q::And>) {
            // Each part against the same candidates: narrowing from left to right must agree.
            IdSet out = c;
            for (const Q& sub : alt.exprs) out = intersect(out, eval(sub, c));
            return out;
          } else {
            IdSet out;
            for (const Q& sub : alt.exprs) out.merge(eval(sub, c));
            return out;
          }
        },
        e.node());
  }

  IdSet filter(const KeywordQuery& q) const {
    if (q.empty()) return {};
    std::optional<IdSet> out;
    for (const auto& [name, values] : q.attributes()) {
      IdSet part = where(std::string(name.view()), nullptr, [&](const PyValue& v) { return values.contains(v.hash()); });
      out = out ? intersect(*out, part) : part;
    }
    return *out;
  }

  static IdSet intersect(const IdSet& a, const IdSet& b) {
    IdSet out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
    return out;
  }
  static IdSet where_not(const IdSet& c, const IdSet& drop) {
    IdSet out;
    std::set_difference(c.begin(), c.end(), drop.begin(), drop.end(), std::inserter(out, out.end()));
    return out;
  }
};

constexpr std::size_t kRandomObjects = 90;
constexpr int kRandomRounds = 6;
constexpr int kQueriesPerRound = 150;
constexpr std::size_t kMaxRandomDepth = 4;
const char* const kAttrs[] = {"a", "b", "c", "d", "missing"};

/// Ints, floats (also equal to ints, infinite and NaN), strings and values of unknown kind, with
/// hash collisions among them (1, 1.0, True; -1, -2).
std::vector<PyValue> value_pool() {
  std::vector<PyValue> pool;
  for (std::int64_t n = -3; n <= 6; ++n) pool.push_back(py_int(n));
  for (double x : {-2.5, -0.0, 0.5, 1.0, 2.0, 3.5, 1e300, kInf, -kInf, kNaN, -kNaN}) pool.push_back(py_float(x));
  for (const char* s : {"s0", "s1", "s2"}) pool.push_back(py_str(s));
  pool.push_back(py_bool(true));
  pool.push_back(py_bool(false));
  pool.push_back(py_none());
  return pool;
}

class RandomRun {
 public:
  explicit RandomRun(std::uint32_t seed) : rng_(seed), pool_(value_pool()) {}

  void add_objects() {
    for (std::size_t i = 0; i < kRandomObjects; ++i) {
      const Id id = static_cast<Id>(1 + i * 7 + (i % 3) * 70000);  // no object has id 0
      Record& rec = model_.objects[id];
      for (std::size_t a = 0; a + 1 < std::size(kAttrs); ++a) {
        if (chance(0.2)) continue;
        const PyValue& v = pick();
        rec.emplace(kAttrs[a], &v);
        index_value(table_, kAttrs[a], v, id);
      }
      all_.add(id);
    }
    check_table();
  }

  /// Moves some objects to new values as an attribute update does.
  void reassign(std::size_t count) {
    std::vector<Id> ids;
    for (const auto& [id, rec] : model_.objects) ids.push_back(id);
    for (std::size_t k = 0; k < count; ++k) {
      const Id id = ids[std::uniform_int_distribution<std::size_t>(0, ids.size() - 1)(rng_)];
      Record& rec = model_.objects[id];
      if (rec.empty()) continue;
      auto it = std::next(rec.begin(), std::uniform_int_distribution<std::size_t>(0, rec.size() - 1)(rng_));
      const PyValue& value = pick();
      table_.at(AttrName(it->first))->move(*it->second, value, id);
      it->second = &value;
      check_table();
    }
  }

  void run_queries(int round) {
    for (int k = 0; k < kQueriesPerRound; ++k) {
      const Q expr = random_expr(kMaxRandomDepth);
      ASSERT_EQ(expr.verify(), std::nullopt);
      const IdSet c = random_candidates();
      const Ids c_ids(c.begin(), c.end());
      const Ids got = evaluate_query(table_, bits(c_ids), expr).to_vector();
      const IdSet want = model_.eval(expr, c);
      ASSERT_EQ(got, Ids(want.begin(), want.end())) << "round " << round << " query " << k << ": " << expr.debug();

      const KeywordQuery q = random_keywords();
      const Ids got_kw = filter_index_by_hashes(table_, q).to_vector();
      const IdSet want_kw = model_.filter(q);
      ASSERT_EQ(got_kw, Ids(want_kw.begin(), want_kw.end())) << "round " << round << " keyword query " << k;
    }
  }

 private:
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  const PyValue& pick() { return pool_[below(pool_.size())]; }
  std::string_view attr() { return kAttrs[below(std::size(kAttrs))]; }

  void check_table() {
    if (auto reason = verify_table(table_)) FAIL() << *reason;
  }

  Q random_expr(std::size_t depth) {
    if (depth == 1 || chance(0.4)) {
      switch (below(9)) {
        case 7: return has(attr());
        case 0: return eq(attr(), pick().clone());
        case 1: return ne(attr(), pick().clone());
        case 2: return gt(attr(), pick().clone());
        case 3: return ge(attr(), pick().clone());
        case 4: return lt(attr(), pick().clone());
        case 5: return le(attr(), pick().clone());
        case 6: return bt(attr(), pick().clone(), pick().clone());
        default: {
          std::vector<PyValue> vs;
          for (std::size_t n = below(4); n > 0; --n) vs.push_back(pick().clone());
          return in(attr(), std::move(vs));
        }
      }
    }
    if (chance(0.25)) return not_(random_expr(depth - 1));
    std::vector<Q> subs;
    for (std::size_t n = below(4); n > 0; --n) subs.push_back(random_expr(depth - 1));
    if (chance(0.5)) return Q::And{std::move(subs)};
    return Q::Or{std::move(subs)};
  }

  IdSet random_candidates() {
    IdSet c;
    switch (below(4)) {
      case 0:
        for (const auto& [id, rec] : model_.objects) c.insert(id);
        return c;
      case 1:
        return c;
      default: {
        const double p = std::uniform_real_distribution<double>(0.05, 0.9)(rng_);
        for (const auto& [id, rec] : model_.objects)
          if (chance(p)) c.insert(id);
        if (chance(0.3)) c.insert(3);  // an id that no object has
        return c;
      }
    }
  }

  KeywordQuery random_keywords() {
    KeywordQuery q;
    for (std::size_t n = below(4); n > 0; --n) {
      KeywordValues& values = q.attribute(AttrName(attr()));
      for (std::size_t m = below(4); m > 0; --m) values.insert(pick().hash());
    }
    return q;
  }

  std::mt19937 rng_;
  std::vector<PyValue> pool_;
  QueryMapTable table_;
  Bitmap all_;
  Model model_;
};

TEST(EvaluationRandomised, AgainstModel) {
  for (std::uint32_t seed : {20260611u, 7u, 424242u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomRun run(seed);
    run.add_objects();
    if (::testing::Test::HasFatalFailure()) return;
    for (int round = 0; round < kRandomRounds; ++round) {
      run.run_queries(round);
      if (::testing::Test::HasFatalFailure()) return;
      run.reassign(25);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vostrel
