// Evaluating expression trees and keyword filters against an attribute table.
#include "index/query.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>

#include "index/fatal.hpp"
#include "index/memory_reserve.hpp"

namespace vostrel {

KeywordQuery::KeywordQuery(std::initializer_list<std::pair<AttrName, std::vector<std::uint64_t>>> attributes) {
  for (const auto& [name, hashes] : attributes) {
    KeywordValues& set = attribute(name);
    for (const std::uint64_t h : hashes) set.insert(h);
  }
}

KeywordValues& KeywordQuery::attribute(AttrName name) { return attributes_[std::move(name)]; }

namespace {

/// Evaluations that may build this much are checked for room first.
constexpr std::size_t kCheckedEvaluationBytes = std::size_t{1} << 20;

/// The id set of `value` under `attr`, or null.
const HybridSet* find_set(const QueryMapTable& table, const AttrName& attr, const PyValue& value) {
  const QueryMap* map = find_map(table, attr);
  return map ? map->find(value.hash()) : nullptr;
}

/// Adds the ids of `set` to `into`, reading a bitmap set without copying it first.
void unite_set(Bitmap& into, const HybridSet& set) {
  if (set.is_large()) {
    into.or_inplace(set.bitmap());
  } else {
    set.for_each([&into](Id id) { into.add(id); });
  }
}

/// The ids of `set` that `ids` holds, as a new bitmap.
Bitmap intersect_set(const Bitmap& ids, const HybridSet& set) {
  if (set.is_large()) return Bitmap::and_(ids, set.bitmap());
  Bitmap out;
  set.for_each([&](Id id) {
    if (ids.contains(id)) out.add(id);
  });
  return out;
}

/// Keeps in `into` only the ids that `set` holds, reading a bitmap set without copying it.
void intersect_with_set(Bitmap& into, const HybridSet& set) {
  if (set.is_large())
    into.and_inplace(set.bitmap());
  else
    into = intersect_set(into, set);
}

/// Adds `part` to `into`, taking `part` over when `into` is empty.
void unite_into(Bitmap& into, Bitmap part) {
  if (into.is_empty())
    into = std::move(part);
  else
    into.or_inplace(part);
}

/// The tree's key for a comparison bound; none for a value that is not a number or is NaN, since
/// nothing compares with such a bound.
std::optional<NumericValue> bound_value(const PyValue& v) {
  std::optional<NumericValue> n = v.numeric();
  if (n && std::holds_alternative<double>(*n) && std::isnan(std::get<double>(*n))) return std::nullopt;
  return n;
}

// The tree orders NaNs beyond the infinities, so an open side of a comparison stops at the
// infinity of its sign: NaN values compare with nothing and never match.
constexpr double kInfinity = std::numeric_limits<double>::infinity();

/// Candidates whose number under `attr` lies between the bounds; an open side is given as none.
Bitmap query_between(const QueryMapTable& table, const Bitmap& candidates, const AttrName& attr,
                     std::optional<Bound> lower, std::optional<Bound> upper) {
  const QueryMap* map = find_map(table, attr);
  if (!map || candidates.is_empty()) return Bitmap();
  return map->range_tree.query_range(lower.value_or(Bound::included(-kInfinity)),
                                     upper.value_or(Bound::included(kInfinity)), candidates);
}

/// A comparison of `attr` with `v`: `make_bound` turns v's number into the bound it gives,
/// `is_lower` says on which side.
template <class MakeBound>
Bitmap compare(const QueryMapTable& table, const Bitmap& candidates, const AttrName& attr, const PyValue& v,
               bool is_lower, MakeBound make_bound) {
  std::optional<NumericValue> n = bound_value(v);
  if (!n) return Bitmap();
  const Bound b = make_bound(*n);
  return is_lower ? query_between(table, candidates, attr, b, std::nullopt)
                  : query_between(table, candidates, attr, std::nullopt, b);
}

/// The answer of a leaf (an alternative without sub-expressions).
Bitmap evaluate_leaf(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr) {
  using E = QueryExpr;
  return std::visit(
      [&](const auto& alt) -> Bitmap {
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<Alt, E::Eq>) {
          const HybridSet* set = find_set(table, alt.attr, alt.value);
          return set ? set->as_bitmap() : Bitmap();
        } else if constexpr (std::is_same_v<Alt, E::Ne>) {
          const HybridSet* set = find_set(table, alt.attr, alt.value);
          if (!set) return candidates.clone();
          Bitmap out = candidates.clone();
          if (set->is_large()) {
            out.andnot_inplace(set->bitmap());
          } else {
            set->for_each([&out](Id id) { out.remove(id); });
          }
          return out;
        } else if constexpr (std::is_same_v<Alt, E::Gt>) {
          return compare(table, candidates, alt.attr, alt.value, true, Bound::excluded);
        } else if constexpr (std::is_same_v<Alt, E::Ge>) {
          return compare(table, candidates, alt.attr, alt.value, true, Bound::included);
        } else if constexpr (std::is_same_v<Alt, E::Lt>) {
          return compare(table, candidates, alt.attr, alt.value, false, Bound::excluded);
        } else if constexpr (std::is_same_v<Alt, E::Le>) {
          return compare(table, candidates, alt.attr, alt.value, false, Bound::included);
        } else if constexpr (std::is_same_v<Alt, E::Bt>) {
          std::optional<NumericValue> lo = bound_value(alt.lower);
          std::optional<NumericValue> hi = bound_value(alt.upper);
          if (!lo || !hi) return Bitmap();
          return query_between(table, candidates, alt.attr, Bound::included(*lo), Bound::included(*hi));
        } else if constexpr (std::is_same_v<Alt, E::In>) {
          const QueryMap* map = find_map(table, alt.attr);
          Bitmap result;
          if (!map || candidates.is_empty()) return result;
          for (const PyValue& v : alt.values)
            if (const HybridSet* set = map->find(v.hash())) unite_set(result, *set);
          result.and_inplace(candidates);
          return result;
        } else if constexpr (std::is_same_v<Alt, E::Has>) {
          const QueryMap* map = find_map(table, alt.attr);
          return map ? Bitmap::and_(candidates, map->holders) : Bitmap();
        } else {
          fatal_out_of_range();  // inner nodes are evaluated by evaluate_query
        }
      },
      expr.node());
}

/// One inner node under evaluation. Its sub-expressions are evaluated one at a time, each with
/// the candidates this frame gives it, and folded into `result` as they come back.
struct Frame {
  const QueryExpr* expr;
  const Bitmap* candidates;               // the node's own candidates (owned by the frame below)
  Bitmap result;                          // And: the ids still matching; Or: the union so far
  std::vector<const QueryExpr*> pending;  // sub-expressions still to evaluate, in order
  std::size_t next = 0;
};

/// The frame of an inner node: And takes its equalities first, smallest set first, each
/// intersected with the set as it stands in the map rather than with a copy of it; its other
/// parts then see only the ids still in the running result. Each part keeps what it matches of
/// the ids the parts before it kept, so the parts may go in any order.
Frame start(const QueryMapTable& table, const QueryExpr& expr, const Bitmap& candidates) {
  using E = QueryExpr;
  Frame f{&expr, &candidates, Bitmap(), {}};
  if (const auto* n = std::get_if<E::Not>(&expr.node())) {
    f.pending.push_back(&expr.child(0));
    (void)n;
  } else if (const auto* o = std::get_if<E::Or>(&expr.node())) {
    for (const QueryExpr& sub : o->exprs) f.pending.push_back(&sub);
  } else {
    const auto& a = std::get<E::And>(expr.node());
    std::vector<const HybridSet*> sets;
    for (const QueryExpr& sub : a.exprs) {
      if (const auto* eq = std::get_if<E::Eq>(&sub.node())) {
        const HybridSet* set = find_set(table, eq->attr, eq->value);
        if (!set) {
          f.pending.clear();
          return f;  // nothing holds the value: the result is empty
        }
        sets.push_back(set);
      } else {
        f.pending.push_back(&sub);
      }
    }
    std::stable_sort(sets.begin(), sets.end(),
                     [](const HybridSet* x, const HybridSet* y) { return x->cardinality() < y->cardinality(); });
    f.result = sets.empty() ? candidates.clone() : intersect_set(candidates, *sets.front());
    for (std::size_t i = 1; i < sets.size() && !f.result.is_empty(); ++i) intersect_with_set(f.result, *sets[i]);
  }
  return f;
}

/// The next sub-expression to evaluate and its candidates, or null when the node is done.
const QueryExpr* next_part(Frame& f, const Bitmap*& candidates) {
  if (f.next == f.pending.size()) return nullptr;
  if (f.expr->kind() == QueryExpr::Kind::And) {
    if (f.result.is_empty()) return nullptr;  // nothing left to narrow
    candidates = &f.result;
  } else {
    candidates = f.candidates;
  }
  return f.pending[f.next++];
}

/// Folds the answer of a sub-expression into its frame.
void absorb(Frame& f, Bitmap part) {
  switch (f.expr->kind()) {
    case QueryExpr::Kind::Not: f.result = Bitmap::andnot(*f.candidates, part); break;
    case QueryExpr::Kind::And: f.result.and_inplace(part); break;
    default: unite_into(f.result, std::move(part));
  }
}

}  // namespace

Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr) {
  // A large evaluation first checks that the bitmaps it may build (a few the size of the
  // candidates) fit, so that running out of memory fails it at once rather than inside CRoaring,
  // whose older releases do not check their allocations. Small ones are left unchecked: the
  // check costs a system call.
  memory::expect_reserve();
  if (const std::size_t estimate = 4 * candidates.size_in_bytes(); estimate >= kCheckedEvaluationBytes)
    memory::expect_headroom(estimate);
  if (expr.is_leaf()) return evaluate_leaf(table, candidates, expr);
  // A deque keeps every frame in place as frames are added, so a frame's candidates may point
  // at the result of the frame below it.
  std::deque<Frame> stack;
  stack.push_back(start(table, expr, candidates));
  for (;;) {
    Frame& f = stack.back();
    const Bitmap* part_candidates = nullptr;
    const QueryExpr* part = next_part(f, part_candidates);
    if (!part) {
      Bitmap done = std::move(f.result);
      stack.pop_back();
      if (stack.empty()) return done;
      absorb(stack.back(), std::move(done));
    } else if (part->is_leaf()) {
      absorb(f, evaluate_leaf(table, *part_candidates, *part));
    } else {
      stack.push_back(start(table, *part, *part_candidates));
    }
  }
}

Bitmap filter_index_by_hashes(const QueryMapTable& table, const KeywordQuery& query) {
  memory::expect_reserve();
  struct Part {
    const QueryMap* map;  // null when the table lacks the attribute
    const KeywordValues* values;
    std::uint64_t weight;  // ids under the attribute's values: how many holders the part admits
  };
  std::vector<Part> parts;
  parts.reserve(query.size());
  for (const auto& [name, values] : query.attributes()) {
    const QueryMap* map = find_map(table, name);
    std::uint64_t weight = 0;
    if (map) {
      for (const std::uint64_t h : values)
        if (const HybridSet* set = map->find(h)) weight += set->cardinality();
    }
    parts.push_back(Part{map, &values, weight});
  }
  std::stable_sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.weight < b.weight; });

  // The smallest part starts the result; every later part that asks for one value is
  // intersected with that value's set as it stands in the map, without copying it.
  auto single_set = [](const Part& p) -> const HybridSet* {
    return p.map && p.values->size() == 1 ? p.map->find(*p.values->begin()) : nullptr;
  };
  auto united = [](const Part& p) {
    Bitmap out;
    if (p.map)
      for (const std::uint64_t h : *p.values)
        if (const HybridSet* set = p.map->find(h)) unite_set(out, *set);
    return out;
  };
  Bitmap result;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i == 0) {
      result = united(parts[i]);
    } else if (result.is_empty()) {
      break;
    } else if (const HybridSet* set = single_set(parts[i])) {
      intersect_with_set(result, *set);
    } else {
      result.and_inplace(united(parts[i]));
    }
  }
  return result;
}

}  // namespace vostrel
