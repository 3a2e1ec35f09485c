// Query expressions: copying, releasing, measuring, checking and printing trees, all by work lists.
#include "index/query_expr.hpp"

#include <algorithm>
#include <array>

#include "index/fatal.hpp"

namespace vostrel {

namespace {

constexpr std::array<std::string_view, std::variant_size_v<QueryExpr::Node>> kKindNames = {
    "Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or", "Has",
};

/// The sub-expression of a `Not`; a moved-from `Not` has none.
const QueryExpr& sub_expression(const QueryExpr::Not& n) {
  if (!n.expr) fatal_missing_value();
  return *n.expr;
}

const std::vector<QueryExpr>* sub_expressions(const QueryExpr::Node& node) noexcept {
  if (const auto* a = std::get_if<QueryExpr::And>(&node)) return &a->exprs;
  if (const auto* o = std::get_if<QueryExpr::Or>(&node)) return &o->exprs;
  return nullptr;
}

/// A copy of a leaf: names copy, values share their host objects.
QueryExpr clone_leaf(const QueryExpr::Node& node) {
  return std::visit(
      [](const auto& alt) -> QueryExpr {
        using E = QueryExpr;
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<Alt, E::Bt>) {
          return E::Bt{alt.attr, alt.lower.clone(), alt.upper.clone()};
        } else if constexpr (std::is_same_v<Alt, E::In>) {
          std::vector<PyValue> values;
          values.reserve(alt.values.size());
          for (const PyValue& v : alt.values) values.push_back(v.clone());
          return E::In{alt.attr, std::move(values)};
        } else if constexpr (std::is_same_v<Alt, E::Has>) {
          return E::Has{alt.attr};
        } else if constexpr (requires { alt.value; }) {
          return Alt{alt.attr, alt.value.clone()};
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

std::size_t QueryExpr::child_count() const noexcept {
  if (const auto* n = std::get_if<Not>(&node_)) return n->expr ? 1 : 0;
  if (const auto* subs = sub_expressions(node_)) return subs->size();
  return 0;
}

const QueryExpr& QueryExpr::child(std::size_t i) const {
  if (const auto* n = std::get_if<Not>(&node_)) {
    if (i != 0) fatal_out_of_range();
    return sub_expression(*n);
  }
  const auto* subs = sub_expressions(node_);
  if (!subs || i >= subs->size()) fatal_out_of_range();
  return (*subs)[i];
}

void QueryExpr::take_children(std::vector<QueryExpr>& out) {
  if (auto* n = std::get_if<Not>(&node_)) {
    if (n->expr) {
      out.push_back(std::move(*n->expr));
      n->expr.reset();  // now a moved-from leaf-less node: releasing it recurses no further
    }
    return;
  }
  std::vector<QueryExpr>* subs = nullptr;
  if (auto* a = std::get_if<And>(&node_)) subs = &a->exprs;
  if (auto* o = std::get_if<Or>(&node_)) subs = &o->exprs;
  if (!subs || subs->empty()) return;
  for (QueryExpr& e : *subs) out.push_back(std::move(e));
  subs->clear();
}

QueryExpr::~QueryExpr() {
  if (child_count() == 0) return;
  // Each node taken off the list gives up its sub-expressions to the list first, so it is
  // released childless. Should the list not grow (memory exhausted), the rest is released by the
  // members' own destructors, recursively.
  try {
    std::vector<QueryExpr> pending;
    take_children(pending);
    while (!pending.empty()) {
      QueryExpr e = std::move(pending.back());
      pending.pop_back();
      e.take_children(pending);
    }
  } catch (...) {
  }
}

QueryExpr& QueryExpr::operator=(QueryExpr&& other) noexcept {
  if (this != &other) {
    QueryExpr old = std::move(*this);  // released without recursion by its destructor
    node_ = std::move(other.node_);
  }
  return *this;
}

QueryExpr QueryExpr::clone() const {
  // Top-down with a work list. Every copied node is first an empty And, a placeholder that owns
  // nothing, and is then filled from its source.
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
        const std::vector<QueryExpr>& subs = *sub_expressions(src->node_);
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
  std::size_t deepest = 0;
  std::vector<std::pair<const QueryExpr*, std::size_t>> pending{{this, 1}};
  while (!pending.empty()) {
    const auto [e, level] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, level);
    for (std::size_t i = 0; i < e->child_count(); ++i) pending.emplace_back(&e->child(i), level + 1);
  }
  return deepest;
}

std::optional<std::string> QueryExpr::verify() const {
  std::vector<std::pair<const QueryExpr*, std::size_t>> pending{{this, 1}};
  while (!pending.empty()) {
    const auto [e, level] = pending.back();
    pending.pop_back();
    if (level > kMaxQueryDepth) return "expression deeper than " + std::to_string(kMaxQueryDepth) + " levels";
    if (const auto* n = std::get_if<Not>(&e->node_); n && !n->expr)
      return "Not without a sub-expression at level " + std::to_string(level);
    for (std::size_t i = 0; i < e->child_count(); ++i) pending.emplace_back(&e->child(i), level + 1);
  }
  return std::nullopt;
}

namespace {

/// The payload of a leaf, as its debug form shows it between the parentheses.
void append_leaf(std::string& out, const QueryExpr::Node& node) {
  std::visit(
      [&out](const auto& alt) {
        using E = QueryExpr;
        using Alt = std::decay_t<decltype(alt)>;
        if constexpr (std::is_same_v<Alt, E::Not> || std::is_same_v<Alt, E::And> || std::is_same_v<Alt, E::Or>) {
          fatal_out_of_range();
        } else {
          out += debug_quoted(alt.attr.view());
          if constexpr (std::is_same_v<Alt, E::Bt>) {
            out += ", " + alt.lower.debug() + ", " + alt.upper.debug();
          } else if constexpr (std::is_same_v<Alt, E::In>) {
            out += ", [";
            for (std::size_t i = 0; i < alt.values.size(); ++i) {
              if (i > 0) out += ", ";
              out += alt.values[i].debug();
            }
            out += ']';
          } else if constexpr (requires { alt.value; }) {
            out += ", " + alt.value.debug();
          }
        }
      },
      node);
}

}  // namespace

std::string QueryExpr::debug() const {
  // Each node opens with its name and "(" (an And or Or also "["), its sub-expressions follow
  // separated by ", ", and it closes with ")" (or "])"). A Not shows its sub-expression directly.
  std::string out;
  struct Frame {
    const QueryExpr* e;
    std::size_t next;
  };
  std::vector<Frame> stack;
  auto open = [&](const QueryExpr* e) {
    out += kind_name(e->kind());
    out += '(';
    if (e->is_leaf()) {
      append_leaf(out, e->node_);
      out += ')';
      return;
    }
    if (e->kind() != Kind::Not) out += '[';
    stack.push_back({e, 0});
  };
  open(this);
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.e->child_count()) {
      out += f.e->kind() == Kind::Not ? ")" : "])";
      stack.pop_back();
      continue;
    }
    if (f.next > 0) out += ", ";
    const QueryExpr* sub = &f.e->child(f.next++);
    open(sub);  // may grow the stack: `f` is not used after this
  }
  return out;
}

}  // namespace vostrel
