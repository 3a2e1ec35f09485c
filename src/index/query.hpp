// Queries over an index: the expression trees that host code builds, what evaluates them, and
// the per-attribute value maps they read.
#pragma once

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/hybrid_set.hpp"
#include "index/ranged_b_tree.hpp"
#include "index/value.hpp"

namespace vostrel {

// ===========================================================================================
// Query expressions
// ===========================================================================================

/// Deepest expression tree accepted (a leaf is one level), the interpreter's own default
/// recursion limit. The debug form, the depth, the release and the evaluation of a tree recurse
/// once per level, at a few hundred bytes of stack each (a few kilobytes in instrumented builds),
/// so this many levels fit a thread's default stack with room to spare. Copying does not recurse.
inline constexpr std::size_t kMaxQueryDepth = 1000;

/// A query expression: a tree that owns all of its nodes and payload. Values share their host
/// objects with every other copy of the same PyValue; nodes are never shared. Copies are
/// explicit (`clone()`); a moved-from expression may only be destroyed or assigned to.
class QueryExpr {
 public:
  /// Objects whose attribute equals the value.
  struct Eq {
    AttrName attr;
    PyValue value;
  };
  /// Candidates whose attribute does not equal the value.
  struct Ne {
    AttrName attr;
    PyValue value;
  };
  /// Numeric attribute greater than the value.
  struct Gt {
    AttrName attr;
    PyValue value;
  };
  /// Numeric attribute greater than or equal to the value.
  struct Ge {
    AttrName attr;
    PyValue value;
  };
  /// Numeric attribute less than the value.
  struct Lt {
    AttrName attr;
    PyValue value;
  };
  /// Numeric attribute less than or equal to the value.
  struct Le {
    AttrName attr;
    PyValue value;
  };
  /// Numeric attribute between the bounds, both included.
  struct Bt {
    AttrName attr;
    PyValue lower;
    PyValue upper;
  };
  /// Attribute equal to any of the values, kept in the order given.
  struct In {
    AttrName attr;
    std::vector<PyValue> values;
  };
  /// Candidates not matched by the sub-expression. `expr` is never null outside a moved-from tree.
  struct Not {
    std::unique_ptr<QueryExpr> expr;
  };
  /// Matched by every sub-expression, in the order given.
  struct And {
    std::vector<QueryExpr> exprs;
  };
  /// Matched by at least one sub-expression, in the order given.
  struct Or {
    std::vector<QueryExpr> exprs;
  };

  /// The alternatives, in variant order.
  enum class Kind : std::uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };
  using Node = std::variant<Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or>;

  template <class Alt>
  static constexpr bool kIsAlternative =
      std::is_same_v<Alt, Eq> || std::is_same_v<Alt, Ne> || std::is_same_v<Alt, Gt> ||
      std::is_same_v<Alt, Ge> || std::is_same_v<Alt, Lt> || std::is_same_v<Alt, Le> ||
      std::is_same_v<Alt, Bt> || std::is_same_v<Alt, In> || std::is_same_v<Alt, Not> ||
      std::is_same_v<Alt, And> || std::is_same_v<Alt, Or>;

  /// An expression holding one alternative.
  template <class Alt>
    requires kIsAlternative<std::remove_cvref_t<Alt>>
  QueryExpr(Alt&& alt) : node_(std::forward<Alt>(alt)) {}  // NOLINT(google-explicit-constructor)

  /// `Not` of `sub`.
  [[nodiscard]] static QueryExpr negation(QueryExpr sub);

  QueryExpr(QueryExpr&&) noexcept = default;
  QueryExpr& operator=(QueryExpr&&) noexcept = default;
  QueryExpr(const QueryExpr&) = delete;
  QueryExpr& operator=(const QueryExpr&) = delete;
  ~QueryExpr() = default;

  /// A deep copy: every node, array and name copied; values copied sharing their host objects.
  [[nodiscard]] QueryExpr clone() const;

  [[nodiscard]] const Node& node() const noexcept { return node_; }
  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }

  /// Levels of the tree: 1 for a leaf or an empty And/Or, 1 + the deepest sub-expression otherwise.
  [[nodiscard]] std::size_t depth() const;

  /// Tuple-style debug form: `Eq("age", PyValue { ... })`, `Not(In("tag", [...]))`, `And([])`.
  [[nodiscard]] std::string debug() const;

  /// Why the tree breaks its invariants (a `Not` without sub-expression, more than
  /// kMaxQueryDepth levels), or nothing when it is sound.
  [[nodiscard]] std::optional<std::string> verify() const;

 private:
  void append_debug(std::string& out) const;

  Node node_;
};

/// "Eq", "Ne", ..., "Or": the name an alternative shows in the debug form.
[[nodiscard]] std::string_view kind_name(QueryExpr::Kind kind) noexcept;

// ===========================================================================================
// Per-attribute value map: the ids holding each value (grouped by host hash) and, for numbers,
// the ids in numeric order.
// ===========================================================================================

/// The tree's key for a value: Int and Float have one, Str and Unknown none.
[[nodiscard]] std::optional<NumericValue> numeric_value(const CastValue& v);

/// Fields: `value_sets` holds one entry per value (by host hash) that some object holds or held;
/// an entry is created holding one id and may be left empty by `remove_id` until `check_prune`.
/// `range_tree` holds every (number, id) pair inserted under an Int or Float value and not removed.
struct QueryMap {
  using ValueSets = boost::unordered_flat_map<PyValue, HybridSet, PyValueHash>;

  ValueSets value_sets;
  BitMapBTree range_tree;

  /// Puts id under value; a pair already held changes nothing (neither set nor tree).
  void insert(const PyValue& value, Id id);
  /// Takes id out of value's set (if the value has an entry) and, for numbers, out of the tree.
  /// The entry stays, also when its set is now empty.
  void remove_id(const PyValue& value, Id id);
  /// Drops value's entry when its set is empty; fatal "no entry found for key" when there is none.
  void check_prune(const PyValue& value);
  /// Brings other's values and ids into this map, as if each of other's ids had been inserted
  /// here: values only other holds arrive as copies, shared values gain other's ids, and other's
  /// (number, id) pairs join the tree. An id this map already holds, in a set or the tree, keeps
  /// what it has here, so no set holds an id twice and the tree holds each id once.
  void merge(const QueryMap& other);

  /// The set of value, or null.
  [[nodiscard]] const HybridSet* find(const PyValue& value) const;
  /// Checks every set and the tree; the reason when an invariant is broken.
  [[nodiscard]] std::optional<std::string> verify() const;

 private:
  /// Every id held in some set or in the tree.
  [[nodiscard]] Bitmap held_ids() const;
};

// ===========================================================================================
// Query evaluation
// ===========================================================================================
//
// Both evaluators read an index's attribute table, which the caller keeps locked (for reading,
// or for writing while it narrows the index) for the whole call; they never call the host and
// never change the table. Every result is a new bitmap owned by the caller.

/// The index's attribute table: attribute name to its value map, each map in its own allocation
/// so growth moves pointers only.
using QueryMapTable = boost::unordered_flat_map<AttrName, std::unique_ptr<QueryMap>, std::hash<AttrName>>;

/// The values given for one keyword, one per host hash (the first value given of each hash).
using KeywordValues = boost::unordered_flat_set<PyValue, PyValueHash>;

/// A keyword filter: an object matches when, for every attribute named, it holds one of that
/// attribute's values. Attributes and values come out in no particular order; no result depends
/// on it.
class KeywordQuery {
 public:
  using Attributes = boost::unordered_flat_map<AttrName, KeywordValues, boost::hash<AttrName>>;

  /// No attributes: matches nothing.
  KeywordQuery() = default;
  /// Each attribute with its values, for building a query in one expression.
  KeywordQuery(std::initializer_list<std::pair<AttrName, std::vector<PyValue>>> attributes);

  /// The value set of `name`, added empty when the name is new. An attribute left with no values
  /// matches nothing; naming an attribute again adds to its values.
  KeywordValues& attribute(AttrName name);
  /// Adds one value for `name`; a value whose host hash is already there is not added again.
  void add(AttrName name, PyValue value) { attribute(std::move(name)).insert(std::move(value)); }

  [[nodiscard]] const Attributes& attributes() const noexcept { return attributes_; }
  [[nodiscard]] bool empty() const noexcept { return attributes_.empty(); }
  [[nodiscard]] std::size_t size() const noexcept { return attributes_.size(); }

 private:
  Attributes attributes_;
};

/// The ids that match `expr` given `candidates`. `Eq` gives every id holding its value, among the
/// candidates or not; `Ne`, `Not`, `In` and the comparisons give candidates only; `And` narrows
/// the candidates from left to right and stops once nothing is left (`And()` is the
/// candidates); `Or` unites (`Or()` is empty). Comparisons hold only between numbers: a bound that
/// is not an int or a float, or is NaN, matches nothing, and NaN values never match a comparison.
[[nodiscard]] Bitmap evaluate_query(const QueryMapTable& table, const Bitmap& candidates, const QueryExpr& expr);

/// The ids that hold, for every attribute of `query`, one of its values. Attributes are taken from
/// the fewest holders to the most, and the work stops at the first empty intersection; a query
/// with no attributes, or naming one the table lacks, gives an empty result.
[[nodiscard]] Bitmap filter_index_by_hashes(const QueryMapTable& table, const KeywordQuery& query);

}  // namespace vostrel
