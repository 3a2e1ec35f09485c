// Queries over an index: copying, measuring and printing expression trees, the value maps, and
// evaluating expressions and keyword filters against an attribute table.
#include "index/query.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "index/fatal.hpp"

namespace vostrel {

// ===========================================================================================
// Query expressions
// ===========================================================================================

namespace {

constexpr std::array<std::string_view, std::variant_size_v<QueryExpr::Node>> kKindNames = {
    "Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or",
};

template <class Alt>
constexpr bool kIsComparison =
    std::is_same_v<Alt, QueryExpr::Eq> || std::is_same_v<Alt, QueryExpr::Ne> ||
    std::is_same_v<Alt, QueryExpr::Gt> || std::is_same_v<Alt, QueryExpr::Ge> ||
    std::is_same_v<Alt, QueryExpr::Lt> || std::is_same_v<Alt, QueryExpr::Le>;

template <class Alt>
constexpr bool kIsCombination = std::is_same_v<Alt, QueryExpr::And> || std::is_same_v<Alt, QueryExpr::Or>;

/// The sub-expression of a `Not`; a moved-from `Not` has none.
const QueryExpr& sub_expression(const QueryExpr::Not& n) {
  if (!n.expr) fatal_missing_value();
  return *n.expr;
}

/// A copy of a leaf: names and values copy, values sharing their host objects.
QueryExpr clone_leaf(const QueryExpr::Node& node) {
  return std::visit(
      [](const auto& alt) -> QueryExpr {
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (kIsComparison<Alt> || std::is_same_v<Alt, QueryExpr::Bt> ||
                      std::is_same_v<Alt, QueryExpr::In>) {
          return Alt(alt);
        } else {
          fatal_out_of_range();  // inner nodes are copied by QueryExpr::clone
        }
      },
      node);
}

}  // namespace

std::string_view kind_name(QueryExpr::Kind kind) noexcept {
  return kKindNames[static_cast<std::size_t>(kind)];
}

QueryExpr QueryExpr::negation(QueryExpr sub) { return Not{std::make_unique<QueryExpr>(std::move(sub))}; }

QueryExpr QueryExpr::clone() const {
  // Top-down with a work list instead of recursion, so that copying, the most frequent walk,
  // needs the same stack whatever the depth. Every copied node is first an empty And, a
  // placeholder that owns nothing, and is then filled from its source.
  QueryExpr root = And{};
  std::vector<std::pair<const QueryExpr*, QueryExpr*>> pending{{this, &root}};
  while (!pending.empty()) {
    const auto [src, dst] = pending.back();
    pending.pop_back();
    switch (src->kind()) {
      case Kind::Not: {
        const QueryExpr& sub = sub_expression(std::get<Not>(src->node_));
        auto& copy = dst->node_.emplace<Not>(Not{std::make_unique<QueryExpr>(And{})});
        pending.emplace_back(&sub, copy.expr.get());
        break;
      }
      case Kind::And:
      case Kind::Or: {
        const std::vector<QueryExpr>& subs = src->kind() == Kind::And ? std::get<And>(src->node_).exprs
                                                                      : std::get<Or>(src->node_).exprs;
        std::vector<QueryExpr> copies;
        copies.reserve(subs.size());
        for (std::size_t i = 0; i < subs.size(); ++i) copies.emplace_back(And{});
        std::vector<QueryExpr>& placed = src->kind() == Kind::And
                                             ? dst->node_.emplace<And>(And{std::move(copies)}).exprs
                                             : dst->node_.emplace<Or>(Or{std::move(copies)}).exprs;
        for (std::size_t i = 0; i < subs.size(); ++i) pending.emplace_back(&subs[i], &placed[i]);
        break;
      }
      default: *dst = clone_leaf(src->node_);
    }
  }
  return root;
}

std::size_t QueryExpr::depth() const {
  return std::visit(
      [](const auto& alt) -> std::size_t {
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<Alt, Not>) {
          return 1 + sub_expression(alt).depth();
        } else if constexpr (kIsCombination<Alt>) {
          std::size_t deepest = 0;
          for (const QueryExpr& e : alt.exprs) deepest = std::max(deepest, e.depth());
          return 1 + deepest;
        } else {
          return 1;
        }
      },
      node_);
}

std::string QueryExpr::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

void QueryExpr::append_debug(std::string& out) const {
  out += kind_name(kind());
  out += '(';
  std::visit(
      [&out](const auto& alt) {
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (kIsComparison<Alt>) {
          out += debug_quoted(alt.attr.view());
          out += ", ";
          out += alt.value.debug();
        } else if constexpr (std::is_same_v<Alt, Bt>) {
          out += debug_quoted(alt.attr.view());
          out += ", ";
          out += alt.lower.debug();
          out += ", ";
          out += alt.upper.debug();
        } else if constexpr (std::is_same_v<Alt, In>) {
          out += debug_quoted(alt.attr.view());
          out += ", [";
          for (std::size_t i = 0; i < alt.values.size(); ++i) {
            if (i > 0) out += ", ";
            out += alt.values[i].debug();
          }
          out += ']';
        } else if constexpr (std::is_same_v<Alt, Not>) {
          sub_expression(alt).append_debug(out);
        } else {
          static_assert(kIsCombination<Alt>);
          out += '[';
          for (std::size_t i = 0; i < alt.exprs.size(); ++i) {
            if (i > 0) out += ", ";
            alt.exprs[i].append_debug(out);
          }
          out += ']';
        }
      },
      node_);
  out += ')';
}

namespace {

/// First broken invariant below `e`, which sits at `level` (the root is level 1).
std::optional<std::string> verify_node(const QueryExpr& e, std::size_t level) {
  if (level > kMaxQueryDepth)
    return "expression deeper than " + std::to_string(kMaxQueryDepth) + " levels";
  if (const auto* n = std::get_if<QueryExpr::Not>(&e.node())) {
    if (!n->expr) return "Not without a sub-expression at level " + std::to_string(level);
    return verify_node(*n->expr, level + 1);
  }
  const std::vector<QueryExpr>* subs = nullptr;
  if (const auto* a = std::get_if<QueryExpr::And>(&e.node())) subs = &a->exprs;
  if (const auto* o = std::get_if<QueryExpr::Or>(&e.node())) subs = &o->exprs;
  if (subs) {
    for (const QueryExpr& sub : *subs)
      if (auto reason = verify_node(sub, level + 1)) return reason;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> QueryExpr::verify() const { return verify_node(*this, 1); }


// ===========================================================================================
// Per-attribute value map
// ===========================================================================================

std::optional<NumericValue> numeric_value(const CastValue& v) {
  switch (v.kind()) {
    case CastValue::Kind::Int:
      return NumericValue(v.as_int());
    case CastValue::Kind::Float:
      return NumericValue(v.as_float());
    default:
      return std::nullopt;
  }
}

void QueryMap::insert(const PyValue& value, Id id) {
  auto it = value_sets.find(value);
  if (it != value_sets.end()) {
    if (!it->second.add(id)) return;
  } else {
    value_sets.emplace(value, HybridSet::from_id(id));
  }
  if (auto n = numeric_value(value.primitave())) range_tree.insert(*n, id);
}

void QueryMap::remove_id(const PyValue& value, Id id) {
  if (auto it = value_sets.find(value); it != value_sets.end()) it->second.remove(id);
  if (auto n = numeric_value(value.primitave())) range_tree.remove(*n, id);
}

void QueryMap::check_prune(const PyValue& value) {
  auto it = value_sets.find(value);
  if (it == value_sets.end()) fatal("no entry found for key");
  if (it->second.is_empty()) value_sets.erase(it);
}

Bitmap QueryMap::held_ids() const {
  std::vector<const Bitmap*> large;
  std::vector<Id> small;
  for (const auto& [value, set] : value_sets) {
    if (set.is_large())
      large.push_back(&set.bitmap());
    else
      set.for_each([&small](Id id) { small.push_back(id); });
  }
  Bitmap held = Bitmap::or_many(large);
  held.add_many(small);
  held.or_inplace(range_tree.ids());
  return held;
}

void QueryMap::merge(const QueryMap& other) {
  if (this == &other) return;
  // Each id is indexed under one value: one this map holds keeps its place, and of the others
  // every id arrives once, in sets and tree alike, so no set or tree gains an id it holds.
  const Bitmap held = held_ids();
  Bitmap arrived;
  for (const auto& [value, theirs] : other.value_sets) {
    std::vector<Id> incoming;
    theirs.for_each([&](Id id) {
      if (held.contains(id) || arrived.contains(id)) return;
      arrived.add(id);
      incoming.push_back(id);
    });
    if (incoming.empty()) continue;
    auto it = value_sets.find(value);
    if (it == value_sets.end()) it = value_sets.emplace(value, HybridSet::from_id(incoming.front())).first;
    for (Id id : incoming) it->second.add(id);
  }
  Bitmap placed;
  std::vector<Key128> keys;
  other.range_tree.for_each_key([&](Key128 key) {
    const Id id = key_id(key);
    if (held.contains(id) || placed.contains(id)) return;
    placed.add(id);
    keys.push_back(key);
  });
  range_tree.insert_many(std::move(keys));
}

const HybridSet* QueryMap::find(const PyValue& value) const {
  auto it = value_sets.find(value);
  return it == value_sets.end() ? nullptr : &it->second;
}

std::optional<std::string> QueryMap::verify() const {
  for (const auto& [value, set] : value_sets) {
    if (set.kind() == HybridSet::Kind::Empty) return "value set in the moved-out state";
    if (auto reason = set.verify()) return "value set: " + *reason;
  }
  if (auto reason = range_tree.verify()) return "range tree: " + *reason;
  return std::nullopt;
}

// ===========================================================================================
// Query evaluation
// ===========================================================================================

KeywordQuery::KeywordQuery(std::initializer_list<std::pair<AttrName, std::vector<PyValue>>> attributes) {
  for (const auto& [name, values] : attributes) {
    KeywordValues& set = attribute(name);
    for (const PyValue& v : values) set.insert(v);
  }
}

KeywordValues& KeywordQuery::attribute(AttrName name) { return attributes_[std::move(name)]; }

namespace {

/// The value map of `attr`, or null when the table lacks the attribute.
const QueryMap* find_map(const QueryMapTable& table, const AttrName& attr) {
  auto it = table.find(attr);
  return it == table.end() ? nullptr : it->second.get();
}

/// The id set of `value` under `attr`, or null.
const HybridSet* find_set(const QueryMapTable& table, const AttrName& attr, const PyValue& value) {
  const QueryMap* map = find_map(table, attr);
  return map ? map->find(value) : nullptr;
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
  if (into.is_empty()) {
    into = std::move(part);
  } else {
    into.or_inplace(part);
  }
}

/// The tree's key for a comparison bound; none for a value that is not a number or is NaN, since
/// nothing compares with such a bound.
std::optional<NumericValue> bound_value(const PyValue& v) {
  std::optional<NumericValue> n = numeric_value(v.primitave());
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

Bitmap evaluate(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr) {
  using E = QueryExpr;
  return std::visit(
      [&](const auto& alt) -> Bitmap {
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<Alt, E::Eq>) {
          const HybridSet* set = find_set(table, alt.attr, alt.value);
          return set ? set->as_bitmap() : Bitmap();
        } else if constexpr (std::is_same_v<Alt, E::Ne>) {
          const HybridSet* set = find_set(table, alt.attr, alt.value);
          return set ? Bitmap::andnot(candidates, set->as_bitmap()) : candidates.clone();
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
            if (const HybridSet* set = map->find(v)) unite_set(result, *set);
          result.and_inplace(candidates);
          return result;
        } else if constexpr (std::is_same_v<Alt, E::Not>) {
          return Bitmap::andnot(candidates, evaluate(table, candidates, sub_expression(alt)));
        } else if constexpr (std::is_same_v<Alt, E::And>) {
          // Each part keeps what it matches of the ids the parts before it kept, so the parts
          // may go in any order. Equalities go first, smallest set first, each intersected
          // with the set as it stands in the map rather than with a copy of it; the other
          // parts then see only the ids still in the running result.
          std::vector<const HybridSet*> sets;
          std::vector<const QueryExpr*> others;
          for (const QueryExpr& sub : alt.exprs) {
            if (const auto* eq = std::get_if<E::Eq>(&sub.node())) {
              const HybridSet* set = find_set(table, eq->attr, eq->value);
              if (!set) return Bitmap();
              sets.push_back(set);
            } else {
              others.push_back(&sub);
            }
          }
          std::stable_sort(sets.begin(), sets.end(), [](const HybridSet* a, const HybridSet* b) {
            return a->cardinality() < b->cardinality();
          });
          Bitmap result = sets.empty() ? candidates.clone() : intersect_set(candidates, *sets.front());
          for (std::size_t i = 1; i < sets.size() && !result.is_empty(); ++i) intersect_with_set(result, *sets[i]);
          for (const QueryExpr* sub : others) {
            if (result.is_empty()) break;
            Bitmap part = evaluate(table, result, *sub);
            result.and_inplace(part);
          }
          return result;
        } else {
          static_assert(std::is_same_v<Alt, E::Or>);
          Bitmap result;
          for (const QueryExpr& sub : alt.exprs) unite_into(result, evaluate(table, candidates, sub));
          return result;
        }
      },
      expr.node());
}

}  // namespace

Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr) {
  return evaluate(table, candidates, expr);
}

Bitmap filter_index_by_hashes(const QueryMapTable& table, const KeywordQuery& query) {
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
      for (const PyValue& v : values)
        if (const HybridSet* set = map->find(v)) weight += set->cardinality();
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
      for (const PyValue& v : *p.values)
        if (const HybridSet* set = p.map->find(v)) unite_set(out, *set);
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
