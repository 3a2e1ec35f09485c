// The ranged bitmap B-tree's template bodies: insertion (planned, then applied), removal, the
// bulk operations and the verifier. Include this header only where a node size is
// instantiated: ranged_b_tree.cpp for the designed size, tests for tiny ones.
#pragma once

#include <algorithm>
#include <bitset>
#include <iterator>

#include "index/ranged_b_tree.hpp"
#include "index/ranged_b_tree_node_impl.hpp"
#include "index/ranged_b_tree_verify.hpp"

namespace vostrel {

namespace detail {
/// The deepest path an insertion plans for. A root grows a level only when it is full, so a
/// tree this deep would need more pairs than there are ids.
inline constexpr std::size_t kMaxTreeHeight = 40;
/// Where a split leaves a node's run: in the middle, or at the end away from where keys arrive.
enum class RunPlace : std::uint8_t { kMiddle, kLow, kHigh };
}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Insertion

template <std::size_t S>
struct BasicBitMapBTree<S>::InsertPlan {
  /// The split of one full node on the path, with everything it needs made in advance.
  struct Split {
    std::size_t s = 0;                   // the node keeps positions [0, s)
    NodePtr right;                       // the new node for positions [s, len)
    detail::RunPlace left_place = detail::RunPlace::kMiddle;
    bool key_goes_right = false;
    Bitmap left_bitmap, right_bitmap;    // the halves' slot bitmaps, when the parent keeps them
  };
  /// One internal node on the path, the position of the child the key goes to, and the
  /// number of that child's split in `splits` plus one (0 when the child has room).
  struct Step {
    Node* node;
    std::size_t c;
    std::size_t child_split;
  };

  std::array<Step, detail::kMaxTreeHeight> steps;  // the first `depth` are set
  std::size_t depth = 0;
  std::size_t leaf_position = 0;         // where the key goes in the leaf before any split
  NodePtr new_root;                      // when the root is full: the root above it
  std::vector<Split> splits;             // the root's first when it grows, then top down
};

namespace detail {
/// A node whose keys or separators hold at most this many values, when a key extends its
/// value's run at the run's end, splits between two values. Measured on ids handed out in
/// ascending order under random values: with runs longer than a node, leaves end 82% full
/// instead of 53%; with runs of about half a node, 66% as with even splits, where splitting
/// between values in nodes of more values would leave them 55% full.
inline constexpr std::size_t kMaxValuesToSplitBetween = 3;

/// Where full node x splits so that the side keys arrive at keeps filling: positions [0, s)
/// stay, [s, len) move. `pos` is where the new entry lands (a leaf's insertion point, or the
/// slot after an internal node's chosen child). A key at either end leaves the other side
/// full. A key that extends its value's run of ids at the run's end (ids handed out in
/// ascending order) in a node of few values splits at the boundary between two values nearest
/// the middle, so a value's finished ids stay behind in nodes that the value filled. Any other
/// key splits x in halves.
template <class Node>
std::size_t split_point(const Node& x, std::size_t pos, bool at_start, bool at_end, bool run_end,
                        RunPlace& left_place, RunPlace& right_place) {
  const std::size_t len = x.len;
  left_place = right_place = RunPlace::kMiddle;
  if (at_end) {
    right_place = RunPlace::kLow;
    return len - 1;
  }
  if (at_start) {
    left_place = RunPlace::kHigh;
    return 1;
  }
  if (!run_end) return len / 2;
  std::size_t best = 0, values = 1;
  auto distance = [&](std::size_t i) { return i > len / 2 ? i - len / 2 : len / 2 - i; };
  for (std::size_t i = 1; i < len; ++i)
    if (key_prefix(x.key_at(i - 1)) != key_prefix(x.key_at(i))) {
      ++values;
      if (best == 0 || distance(i) < distance(best)) best = i;
    }
  if (best == 0 || values > kMaxValuesToSplitBetween) return len / 2;
  // The run ends where the key lands: that half grows at its end.
  if (best == pos) left_place = RunPlace::kLow;
  return best;
}
}  // namespace detail

template <std::size_t S>
typename BasicBitMapBTree<S>::InsertPlan BasicBitMapBTree<S>::plan_insert(Key128 key) const {
  InsertPlan plan;
  // The path, changing nothing.
  Node* node = root_.get();
  std::size_t full = root_->is_full() ? 1 : 0;
  while (!node->is_leaf()) {
    if (plan.depth == detail::kMaxTreeHeight) fatal_out_of_range();
    const std::size_t c = node->child_for(key);
    plan.steps[plan.depth++] = {node, c, 0};
    node = &node->child_at(c);
    full += node->is_full() ? 1 : 0;
  }
  const SearchResult at = node->search(key);
  if (at.found) fatal("Duplicate ID and key insert");
  plan.leaf_position = at.index;
  if (full == 0) {
    for (std::size_t d = 0; d < plan.depth; ++d) {
      Node& parent = *plan.steps[d].node;
      if (parent.has_bitmaps())
        parent.child_bitmap(parent.offset + plan.steps[d].c, parent.child_at(plan.steps[d].c)).make_record_or_throw();
    }
    return plan;
  }

  // Every full node on the path splits; the halves and their bitmaps are made now.
  const std::size_t p = at.index;
  const Key128 prefix = key_prefix(key);
  const bool run_end = p > 0 && key_prefix(node->key_at(p - 1)) == prefix &&
                       (p == node->len || key_prefix(node->key_at(p)) != prefix);
  plan.splits.reserve(full);
  // Splits node x, found at `level_index` of the path (the leaf below the last step when it
  // equals depth), whose parent keeps `old_bitmap` for it (null for a new root, which makes
  // the left half's bitmap afresh).
  auto plan_split = [&](const Node& x, std::size_t level_index, const Bitmap* old_bitmap, bool parent_has_bitmaps) {
    typename InsertPlan::Split& sp = plan.splits.emplace_back();
    const std::size_t c = level_index < plan.depth ? plan.steps[level_index].c : 0;
    const std::size_t pos = x.is_leaf() ? p : c + 1;
    const bool at_start = x.is_leaf() ? p == 0 : c == 0;
    const bool at_end = x.is_leaf() ? p == x.len : c + 1 == x.len;
    detail::RunPlace right_place;
    sp.s = detail::split_point(x, pos, at_start, at_end, run_end, sp.left_place, right_place);
    const std::size_t moved = x.len - sp.s;
    const std::size_t right_offset = right_place == detail::RunPlace::kLow ? 1
                                     : moved * 2 <= S                     ? Geometry::kSplitRightOffset
                                                                          : Geometry::recenter_target(moved);
    if (!x.keys.has(x.offset + sp.s)) fatal("invalid offset");
    // A leaf keeps the keys below the separator; an internal node the children before s.
    sp.key_goes_right = x.is_leaf() ? pos > sp.s : pos - 1 >= sp.s;
    sp.right = Node::make(x.level, right_offset);
    if (!parent_has_bitmaps) return;
    sp.right_bitmap = x.ids_of(sp.s, x.len);
    sp.left_bitmap = old_bitmap ? Bitmap::andnot_or_throw(*old_bitmap, sp.right_bitmap) : x.ids_of(0, sp.s);
    Bitmap& gains = sp.key_goes_right ? sp.right_bitmap : sp.left_bitmap;
    gains.make_record_or_throw();
    gains.add(key_id(key));
  };

  if (root_->is_full()) {
    const Node& old = *root_;
    // An empty first slot in the old root is one failure, named for the kind of node.
    if (!old.keys.has(old.offset)) fatal(old.is_leaf() ? "invalid offset" : "incorrect offset");
    plan.new_root = Node::make(old.level + 1, Geometry::kNewRootOffset);
    plan_split(old, 0, nullptr, plan.new_root->has_bitmaps());
  }
  for (std::size_t d = 0; d < plan.depth; ++d) {
    typename InsertPlan::Step& step = plan.steps[d];
    Node& parent = *step.node;
    Node& x = parent.child_at(step.c);
    Bitmap* old_bitmap = nullptr;
    if (parent.has_bitmaps()) {
      old_bitmap = parent.bitmaps().find(parent.offset + step.c);
      if (!old_bitmap && x.is_full()) fatal("Bitmap must be initialized before split");
      if (!old_bitmap) old_bitmap = &parent.child_bitmap(parent.offset + step.c, x);
    }
    if (!x.is_full()) {
      if (old_bitmap) old_bitmap->make_record_or_throw();
      continue;
    }
    plan_split(x, d + 1, old_bitmap, parent.has_bitmaps());
    step.child_split = plan.splits.size();
  }
  return plan;
}

template <std::size_t S>
void BasicBitMapBTree<S>::apply_insert(Key128 key, InsertPlan& plan) {
  const Id id = key_id(key);
  // Splits the full child at position c of `parent` as planned; returns the half the key goes to.
  auto split_child = [&](Node& parent, std::size_t c, typename InsertPlan::Split& sp) -> Node& {
    Node& left = parent.child_at(c);
    const Key128 separator = left.split(sp.s, *sp.right);
    switch (sp.left_place) {
      case detail::RunPlace::kMiddle: left.recenter(); break;
      case detail::RunPlace::kLow: left.move_run(1); break;
      case detail::RunPlace::kHigh: left.move_run(S - 1 - left.len); break;
    }
    Node& right = *sp.right;
    parent.open_slot_after(c);
    const std::size_t slot = parent.offset + c + 1;
    parent.keys.put(slot, separator);
    parent.children()[slot] = std::move(sp.right);
    if (parent.has_bitmaps()) {
      parent.bitmaps().put(slot - 1, std::move(sp.left_bitmap));
      parent.bitmaps().put(slot, std::move(sp.right_bitmap));
    }
    if (parent.offset == 0 || parent.offset + parent.len == S) parent.recenter();
    return sp.key_goes_right ? right : left;
  };

  // `node` is the planned path's node at the current depth, or the right half it lost its
  // positions from `shift` on to.
  Node* node = root_.get();
  std::size_t shift = 0;
  if (plan.new_root) {
    Node& top = *plan.new_root;
    top.keys.put(top.offset, root_->key_at(0));
    if (top.has_bitmaps()) top.bitmaps().put(top.offset, Bitmap());
    top.children()[top.offset] = std::move(root_);
    top.len = 1;
    root_ = std::move(plan.new_root);
    typename InsertPlan::Split& sp = plan.splits.front();
    node = &split_child(top, 0, sp);
    if (sp.key_goes_right) shift = sp.s;
  }
  for (std::size_t d = 0; d < plan.depth; ++d) {
    const typename InsertPlan::Step& step = plan.steps[d];
    const std::size_t c = step.c - shift;
    shift = 0;
    if (step.child_split) {
      typename InsertPlan::Split& sp = plan.splits[step.child_split - 1];
      node = &split_child(*node, c, sp);
      if (sp.key_goes_right) shift = sp.s;
      continue;
    }
    Node& below = node->child_at(c);
    if (node->has_bitmaps()) node->child_bitmap(node->offset + c, below).add(id);
    node = &below;
  }
  node->insert_at(plan.leaf_position - shift, key);
  ++size_;
}

template <std::size_t S>
void BasicBitMapBTree<S>::insert_key(Key128 key) {
  InsertPlan plan = plan_insert(key);
  apply_insert(key, plan);
}

// ---------------------------------------------------------------------------------------------
// Removal

template <std::size_t S>
bool BasicBitMapBTree<S>::remove_key(Key128 key) {
  std::array<Node*, detail::kMaxTreeHeight> path;
  std::array<std::size_t, detail::kMaxTreeHeight> at;
  std::size_t depth = 0;
  Node* node = root_.get();
  while (!node->is_leaf()) {
    if (depth == detail::kMaxTreeHeight) fatal_out_of_range();
    path[depth] = node;
    at[depth] = node->child_for(key);
    node = &node->child_at(at[depth++]);
  }
  const SearchResult r = node->search(key);
  if (!r.found) return false;
  node->close_slot(node->offset + r.index);
  --size_;
  // CRoaring may allocate inside a remove (a run split in two); it reports no failure.
  for (std::size_t d = 0; d < depth; ++d)
    if (path[d]->has_bitmaps()) path[d]->bitmaps().get(path[d]->offset + at[d]).remove(key_id(key));
  if (node->len > 0) return true;
  // The emptied leaf and the ancestors it leaves empty go; the lowest ancestor with another
  // child keeps that, and a tree left with no key at all keeps one empty leaf as its root.
  for (std::size_t d = depth; d-- > 0;) {
    if (path[d]->len > 1) {
      path[d]->close_slot(path[d]->offset + at[d]);
      break;
    }
  }
  collapse_root();
  return true;
}

template <std::size_t S>
void BasicBitMapBTree<S>::collapse_root() noexcept {
  while (!root_->is_leaf() && root_->len == 1) {
    NodePtr only = std::move(root_->children()[root_->offset]);
    root_ = std::move(only);
  }
}

template <std::size_t S>
Key128* BasicBitMapBTree<S>::remove_sorted(Node& node, Key128* first, Key128* last) {
  Key128* found = first;
  if (node.is_leaf()) {
    // One merge pass: kept keys close up from the start of the run, removed ones gather at the
    // front of the batch.
    std::size_t kept = 0;
    const Key128* k = first;
    for (std::size_t i = 0; i < node.len; ++i) {
      const Key128 key = node.key_at(i);
      while (k != last && *k < key) ++k;
      if (k != last && *k == key) {
        *found++ = key;
        ++k;
      } else {
        node.keys.put(node.offset + kept++, key);
      }
    }
    for (std::size_t i = kept; i < node.len; ++i) node.keys.clear(node.offset + i);
    node.len = kept;
    return found;
  }
  std::bitset<S> visited;
  Key128* lo = first;
  for (std::size_t i = 0; i < node.len && lo != last; ++i) {
    Key128* hi = i + 1 < node.len ? std::lower_bound(lo, last, node.key_at(i + 1)) : last;
    if (lo == hi) continue;
    Key128* end = remove_sorted(node.child_at(i), lo, hi);
    found = std::copy(lo, end, found);
    const std::size_t removed = static_cast<std::size_t>(end - lo);
    if (node.has_bitmaps() && removed > 0) {
      // CRoaring may allocate inside a remove (a run split in two); it reports no failure.
      Bitmap& b = node.bitmaps().get(node.offset + i);
      std::array<Id, Bitmap::kBatchIds> ids;
      for (const Key128* k = found - removed; k != found;) {
        std::size_t n = 0;
        for (; n < ids.size() && k != found; ++k) ids[n++] = key_id(*k);
        b.remove_many(std::span<const Id>(ids.data(), n));
      }
    }
    visited[i] = true;
    lo = hi;
  }
  // Children left without keys go, but one stays when none holds any, as the node's own
  // parent (or the root's collapse) then takes the whole empty subtree away.
  std::size_t write = 0;
  const std::size_t n = node.len;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t slot = node.offset + i;
    const bool empty = visited[i] && node.child_at(i).holds_nothing();
    if (empty && (write > 0 || i + 1 < n)) {
      node.keys.clear(slot);
      node.children()[slot].reset();
      if (node.has_bitmaps()) node.bitmaps().clear(slot);
      continue;
    }
    if (write != i) {
      const std::size_t to = node.offset + write;
      node.keys.shift(slot, slot + 1, static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(slot));
      node.children()[to] = std::move(node.children()[slot]);
      if (node.has_bitmaps())
        node.bitmaps().shift(slot, slot + 1, static_cast<std::ptrdiff_t>(to) - static_cast<std::ptrdiff_t>(slot));
    }
    ++write;
  }
  node.len = write;
  return found;
}

// ---------------------------------------------------------------------------------------------
// Bulk operations

template <std::size_t S>
typename BasicBitMapBTree<S>::NodePtr BasicBitMapBTree<S>::build(std::span<const Key128> sorted) {
  // Nodes of one level, left to right, each with the index of its first key in `sorted`.
  std::vector<NodePtr> nodes;
  std::vector<std::size_t> starts;
  auto groups = [](std::size_t n) { return std::max<std::size_t>(1, (n + Geometry::kBuildLen - 1) / Geometry::kBuildLen); };
  const std::size_t leaves = groups(sorted.size());
  nodes.reserve(leaves);
  starts.reserve(leaves + 1);
  for (std::size_t g = 0, at = 0; g < leaves; ++g) {
    const std::size_t len = sorted.size() / leaves + (g < sorted.size() % leaves ? 1 : 0);
    NodePtr leaf = Node::make(0, Geometry::recenter_target(len));
    for (std::size_t i = 0; i < len; ++i) leaf->keys.put(leaf->offset + i, sorted[at + i]);
    leaf->len = len;
    starts.push_back(at);
    nodes.push_back(std::move(leaf));
    at += len;
  }
  starts.push_back(sorted.size());

  std::vector<Id> ids, space;
  for (std::size_t level = 1; nodes.size() > 1; ++level) {
    const std::size_t parents = groups(nodes.size());
    std::vector<NodePtr> above;
    std::vector<std::size_t> above_starts;
    above.reserve(parents);
    above_starts.reserve(parents + 1);
    for (std::size_t g = 0, at = 0; g < parents; ++g) {
      const std::size_t len = nodes.size() / parents + (g < nodes.size() % parents ? 1 : 0);
      NodePtr parent = Node::make(level, Geometry::recenter_target(len));
      for (std::size_t i = 0; i < len; ++i) {
        const std::size_t slot = parent->offset + i;
        const std::size_t child = at + i;
        parent->keys.put(slot, sorted[starts[child]]);
        if (parent->has_bitmaps()) {
          Bitmap b;
          if (nodes[child]->has_bitmaps()) {
            b = nodes[child]->get_bitmap();
          } else {
            ids.clear();
            for (std::size_t k = starts[child]; k < starts[child + 1]; ++k) ids.push_back(key_id(sorted[k]));
            detail::sort_ids(ids, space);
            b = Bitmap::of_sorted_or_throw(ids);
          }
          parent->bitmaps().put(slot, std::move(b));
        }
        parent->children()[slot] = std::move(nodes[child]);
      }
      parent->len = len;
      above_starts.push_back(starts[at]);
      above.push_back(std::move(parent));
      at += len;
    }
    above_starts.push_back(sorted.size());
    nodes = std::move(above);
    starts = std::move(above_starts);
  }
  return std::move(nodes.front());
}

template <std::size_t S>
void BasicBitMapBTree<S>::insert_many(std::vector<Key128> keys) {
  if (keys.empty()) return;
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) fatal("Duplicate ID and key insert");
  // Rebuilding costs about a bulk build of every key; inserting one by one about this many
  // bulk-built keys per key.
  constexpr std::size_t kInsertCostInBuiltKeys = 3;
  if (keys.size() * kInsertCostInBuiltKeys >= size_) {
    std::vector<Key128> all;
    if (size_ == 0) {
      all = std::move(keys);
    } else {
      std::vector<Key128> held;
      held.reserve(size_);
      for_each_key([&held](Key128 k) { held.push_back(k); });
      all.resize(held.size() + keys.size());
      std::merge(held.begin(), held.end(), keys.begin(), keys.end(), all.begin());
      if (std::adjacent_find(all.begin(), all.end()) != all.end()) fatal("Duplicate ID and key insert");
    }
    NodePtr root = build(all);
    root_ = std::move(root);
    size_ = all.size();
    return;
  }
  // One by one, in order, so that neighbours share their path; a failure takes back what the
  // batch added (removal allocates nothing) and leaves the tree as it was.
  std::size_t done = 0;
  try {
    for (; done < keys.size(); ++done) insert_key(keys[done]);
  } catch (...) {
    while (done > 0) remove_key(keys[--done]);
    throw;
  }
}

template <std::size_t S>
std::size_t BasicBitMapBTree<S>::remove_many(std::span<Key128> keys) {
  std::sort(keys.begin(), keys.end());
  Key128* const last = keys.data() + (std::unique(keys.begin(), keys.end()) - keys.begin());
  Key128* end = remove_sorted(*root_, keys.data(), last);
  const auto removed = static_cast<std::size_t>(end - keys.data());
  size_ -= removed;
  collapse_root();
  return removed;
}

template <std::size_t S>
std::optional<std::string> BasicBitMapBTree<S>::verify() const {
  if (!root_) return "tree without a root";
  return detail::TreeVerifier<S>().run(*root_, size_);
}

}  // namespace vostrel
