// Queries over an index: copying, measuring and printing expression trees; the value maps.
#include "index/query.hpp"

#include <algorithm>
#include <array>

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
    if (it->second.contains(id)) return;
    it->second.add(id);
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
  other.range_tree.for_each_key([&](const CompositeKey128& key) {
    const Id id = key.id();
    if (held.contains(id) || placed.contains(id)) return;
    placed.add(id);
    range_tree.insert(key.value, id);
  });
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

}  // namespace vostrel
