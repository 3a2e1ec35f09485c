// Query expressions: the trees that host code builds with the constructors of PyQueryExpr.
//
// A tree owns all of its nodes and payload; nodes are never shared. Every walk over a tree (copy,
// debug form, depth, verification, release, evaluation, visiting its values) runs with an explicit
// work list instead of recursion, so the deepest tree construction accepts needs no more stack
// than a flat one: trees may be used on threads with small stacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "index/attr_name.hpp"
#include "index/value.hpp"

namespace vostrel {

/// Deepest expression tree accepted (a leaf is one level), the interpreter's own default
/// recursion limit.
inline constexpr std::size_t kMaxQueryDepth = 1000;

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
  /// Candidates that have the attribute, whatever its value.
  struct Has {
    AttrName attr;
  };

  /// The alternatives, in variant order.
  enum class Kind : std::uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or, Has };
  using Node = std::variant<Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or, Has>;

  template <class Alt>
  static constexpr bool kIsAlternative =
      std::is_same_v<Alt, Eq> || std::is_same_v<Alt, Ne> || std::is_same_v<Alt, Gt> ||
      std::is_same_v<Alt, Ge> || std::is_same_v<Alt, Lt> || std::is_same_v<Alt, Le> ||
      std::is_same_v<Alt, Bt> || std::is_same_v<Alt, In> || std::is_same_v<Alt, Not> ||
      std::is_same_v<Alt, And> || std::is_same_v<Alt, Or> || std::is_same_v<Alt, Has>;

  /// An expression holding one alternative.
  template <class Alt>
    requires kIsAlternative<std::remove_cvref_t<Alt>>
  QueryExpr(Alt&& alt) : node_(std::forward<Alt>(alt)) {}  // NOLINT(google-explicit-constructor)

  /// `Not` of `sub`.
  [[nodiscard]] static QueryExpr negation(QueryExpr sub);

  QueryExpr(QueryExpr&&) noexcept = default;
  QueryExpr& operator=(QueryExpr&& other) noexcept;
  QueryExpr(const QueryExpr&) = delete;
  QueryExpr& operator=(const QueryExpr&) = delete;
  /// Releases the tree level by level, without recursion.
  ~QueryExpr();

  /// A deep copy: every node, array and name copied; values share their host objects, so this
  /// needs the interpreter lock.
  [[nodiscard]] QueryExpr clone() const;

  [[nodiscard]] const Node& node() const noexcept { return node_; }
  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(node_.index()); }
  /// True for the alternatives without sub-expressions.
  [[nodiscard]] bool is_leaf() const noexcept { return kind() != Kind::Not && kind() != Kind::And && kind() != Kind::Or; }

  /// The sub-expressions, in order (none for a leaf; one for `Not`).
  [[nodiscard]] std::size_t child_count() const noexcept;
  [[nodiscard]] const QueryExpr& child(std::size_t i) const;

  /// Levels of the tree: 1 for a leaf or an empty And/Or, 1 + the deepest sub-expression otherwise.
  [[nodiscard]] std::size_t depth() const;

  /// Tuple-style debug form: `Eq("age", PyValue { ... })`, `Not(In("tag", [...]))`, `And([])`.
  /// Needs the interpreter lock (a string value's text is read from its host object).
  [[nodiscard]] std::string debug() const;

  /// Why the tree breaks its invariants (a `Not` without sub-expression, more than
  /// kMaxQueryDepth levels), or nothing when it is sound.
  [[nodiscard]] std::optional<std::string> verify() const;

  /// Calls f(const PyValue&) for every value in the tree, in tree order.
  template <class F>
  void for_each_value(F&& f) const {
    std::vector<const QueryExpr*> pending{this};
    while (!pending.empty()) {
      const QueryExpr* e = pending.back();
      pending.pop_back();
      e->for_each_own_value(f);
      for (std::size_t i = e->child_count(); i-- > 0;) pending.push_back(&e->child(i));
    }
  }

 private:
  template <class F>
  void for_each_own_value(F& f) const {
    std::visit(
        [&f](const auto& alt) {
          using Alt = std::decay_t<decltype(alt)>;
          if constexpr (std::is_same_v<Alt, Bt>) {
            f(alt.lower);
            f(alt.upper);
          } else if constexpr (std::is_same_v<Alt, In>) {
            for (const PyValue& v : alt.values) f(v);
          } else if constexpr (requires { alt.value; }) {
            f(alt.value);
          }
        },
        node_);
  }
  /// Moves this node's sub-expressions into `out`, leaving the node without any.
  void take_children(std::vector<QueryExpr>& out);

  Node node_;
};

/// "Eq", "Ne", ..., "Or", "Has": the name an alternative shows in the debug form.
[[nodiscard]] std::string_view kind_name(QueryExpr::Kind kind) noexcept;

}  // namespace vostrel
