// The ranged bitmap B-tree: (numeric value, object id) pairs in value order, where the nodes
// two levels or more above the leaves keep a bitmap of the ids below each child, so that range
// queries answer whole children from their bitmaps and descend only along the two boundary
// paths.
//
// Design
//  - A pair is one 128-bit key: a 96-bit prefix that orders numeric values (integers and
//    doubles together, exactly) above the 32-bit object id (numeric_key.hpp). Slots hold the
//    key alone; the prefix encodes all the order a query needs.
//  - Every node is one heap allocation of `kSlots` fixed slots: a leaf holds keys; an internal
//    node also holds a child per slot, and from level 2 on a bitmap per slot. A node just above
//    the leaves keeps no bitmaps: a leaf between the boundary paths of a range query is read
//    from its keys, which costs about what its bitmap would and saves a bitmap per leaf on
//    every write.
//  - The occupied slots form one run [offset, offset + len) kept away from the array's ends, so
//    an insertion shifts whichever side of the insertion point is shorter.
//  - An insertion first walks its path without changing anything, decides every split the path
//    needs and makes every node and bitmap they need; only then does it change the tree, so a
//    failed allocation leaves the tree as it was. Splits favour the side where keys arrive: a
//    key that lands at a node's end (or start), or that extends its value's run of ids, splits
//    the node at its insertion point, so ascending ids leave full nodes behind.
//  - Bitmaps are kept incrementally: one `add` per bitmap level on insertion, one `remove` per
//    bitmap level on removal.
//  - A batch of keys into an empty tree (or one large beside the tree) is sorted once and the
//    tree built bottom up, nodes three quarters full, each child bitmap made in one call.
//  - Removal never rebalances, but a subtree left without keys is freed and its slot closed,
//    and a root left with one child gives way to it: a tree holds no empty leaf but an empty
//    root, and its size follows the keys it holds.
//  - Each object id is held under at most one value at a time (the per-attribute value map
//    guarantees it): the slot bitmaps track ids, not pairs.
//  - The tree has no lock of its own; callers serialise writers and may run readers together.
//
// Template bodies live in ranged_b_tree_impl.hpp, included where a node size is instantiated:
// ranged_b_tree.cpp for the designed size, tests for tiny ones.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/bitmap.hpp"
#include "index/fatal.hpp"
#include "index/numeric_key.hpp"
#include "index/range_parts.hpp"
#include "index/slot_array.hpp"

namespace vostrel {

/// The sizes and positions of a node of `Slots` slots, derived from the slot count.
template <std::size_t Slots>
struct NodeGeometry {
  static constexpr std::size_t kSlots = Slots;
  // A node whose run touches an end of the array is split rather than recentred once fewer
  // than a tenth of its slots would stay free: recentring then buys too few insertions.
  static constexpr std::size_t kSpareSlots = (kSlots + 9) / 10;
  static constexpr std::size_t kFullLen = kSlots - 1 - kSpareSlots;
  // A new leaf root starts in the middle so that both sides have room.
  static constexpr std::size_t kNewLeafOffset = kSlots / 2;
  // The right half of an even split is about half a node; starting it a quarter in centres it.
  static constexpr std::size_t kSplitRightOffset = kSlots / 4;
  // A new root's two slots sit in the middle, leaving a free slot after them.
  static constexpr std::size_t kNewRootOffset = std::min(kSlots / 2, kSlots - 3);
  // A bulk build fills nodes to three quarters, leaving room to grow before they split.
  static constexpr std::size_t kBuildLen = std::min(kFullLen, std::max<std::size_t>(2, kSlots * 3 / 4));
  // Nodes from this level up keep a bitmap per child; level 1 reads its leaves instead.
  static constexpr std::size_t kFirstBitmapLevel = 2;
  // Recentring leaves equal room (within one slot) on both sides of the run.
  static constexpr std::size_t recenter_target(std::size_t len) noexcept { return (kSlots - len) / 2; }

  static_assert(kFullLen >= 3, "each half of a split must keep two slots, or the height grows linearly");
  static_assert(kFullLen < kSlots - 1, "a node holding kSlots - 1 entries must count as full");
  static_assert(kSplitRightOffset >= 1 && kSplitRightOffset + (kSlots - kSlots / 2) < kSlots,
                "a new right half must not touch either end of its array");
  static_assert(kNewRootOffset + 2 < kSlots, "a new root must not touch the end of its array");
};

/// Where a binary search ended: the position of an equal key, or the insertion point.
struct SearchResult {
  bool found = false;
  std::size_t index = 0;
};

/// A node of the tree: one allocation holding the common fields and keys, then (internal nodes
/// only) the children, then (levels from kFirstBitmapLevel on) the child bitmaps.
///   level     0 for a leaf; a child's level is one below its parent's, so all leaves lie at
///             one depth.
///   keys      slot i holds a key exactly when offset <= i < offset + len. In a leaf the keys
///             strictly ascend along the run. In an internal node they are the separators:
///             the first occupied slot's key was its child's first key when the slot was made;
///             that child also takes every key below the second slot's key, so the first key is
///             only a label that searches never need. From the second slot on the keys strictly
///             ascend, and each such slot's child holds only keys >= its key and < the next one.
///   children  internal nodes: present exactly on the occupied slots.
///   bitmaps   levels >= kFirstBitmapLevel: present exactly on the occupied slots; bitmaps[i]
///             holds exactly the ids stored below children[i].
///   len       number of occupied slots; at most kSlots - 1 after every operation. A leaf other
///             than the root holds a key; an internal node holds a slot, the root two.
///   offset    first occupied slot; offset + len stays below kSlots, so a right shift has room.
template <std::size_t Slots>
class BasicBitMapBTreeNode {
 public:
  using Geometry = NodeGeometry<Slots>;
  struct Deleter {
    void operator()(BasicBitMapBTreeNode* node) const noexcept;
  };
  using Ptr = std::unique_ptr<BasicBitMapBTreeNode, Deleter>;
  using Children = std::array<Ptr, Slots>;
  using Bitmaps = SlotArray<Bitmap, Slots>;

  /// A node at `level` with every slot empty and its run starting at `offset`; throws
  /// std::bad_alloc when memory is exhausted.
  [[nodiscard]] static Ptr make(std::size_t level, std::size_t offset);

  BasicBitMapBTreeNode(const BasicBitMapBTreeNode&) = delete;
  BasicBitMapBTreeNode& operator=(const BasicBitMapBTreeNode&) = delete;

  const std::size_t level;
  std::size_t len = 0;
  std::size_t offset;
  SlotArray<Key128, Slots> keys;

  [[nodiscard]] bool is_leaf() const noexcept { return level == 0; }
  [[nodiscard]] bool has_bitmaps() const noexcept { return level >= Geometry::kFirstBitmapLevel; }
  /// No room for an insertion without a split.
  [[nodiscard]] bool is_full() const noexcept {
    return len > Geometry::kFullLen && (offset == 0 || offset + len >= Slots);
  }
  /// The key at position i of the run.
  [[nodiscard]] Key128 key_at(std::size_t i) const { return keys.get(offset + i); }
  [[nodiscard]] SearchResult search(Key128 key) const;
  /// The child position (relative to offset) whose subtree holds `key` if the tree does.
  [[nodiscard]] std::size_t child_for(Key128 key) const {
    const SearchResult r = search(key);
    return r.found || r.index == 0 ? r.index : r.index - 1;
  }

  /// The children of an internal node ("Missing child" for a leaf, which has none).
  [[nodiscard]] Children& children();
  [[nodiscard]] const Children& children() const;
  /// The child at array slot i, or null when the slot is empty.
  [[nodiscard]] BasicBitMapBTreeNode* child(std::size_t i) const;
  /// The child at position i of the run, which must be there ("Missing child").
  [[nodiscard]] BasicBitMapBTreeNode& child_at(std::size_t i) const;
  /// The child bitmaps of a node at a bitmap level.
  [[nodiscard]] Bitmaps& bitmaps();
  [[nodiscard]] const Bitmaps& bitmaps() const;
  /// The bitmap of the slot whose child is `below`, which must be there.
  [[nodiscard]] Bitmap& child_bitmap(std::size_t slot, const BasicBitMapBTreeNode& below);

  /// Leaf: stores `key` at its place; the leaf must not be full.
  void insert_non_full(Key128 key) { insert_at(search(key).index, key); }
  /// Leaf: stores `key` at position p of the run, its place; the leaf must not be full.
  void insert_at(std::size_t p, Key128 key);
  /// Moves slots [first, end) `distance` slots to the right, last first; offset follows when
  /// it was `first`.
  void shift_right(std::size_t first, std::size_t end, std::size_t distance);
  /// Moves the run to the middle of the array.
  void recenter();
  /// Moves the run so that it starts at `target`.
  void move_run(std::size_t target);
  /// Moves the slots from position `s` on into the empty node `right`, whose run starts at its
  /// offset; this node keeps the first s slots. Returns the separator, `right`'s first key.
  Key128 split(std::size_t s, BasicBitMapBTreeNode& right);
  /// Opens a slot at position c + 1 of the run for the right half of a split child.
  void open_slot_after(std::size_t c);
  /// Empties slot `slot` of the run (key, child, bitmap) and closes the gap on the shorter side.
  void close_slot(std::size_t slot);

  /// A new bitmap of the ids in slots [from, to) of the run: a leaf's keys, or the ids below
  /// an internal node's children. Throws std::bad_alloc when memory is exhausted.
  [[nodiscard]] Bitmap ids_of(std::size_t from, std::size_t to) const;
  /// Appends the ids of the keys below slots [from, to) of the run to `out`, in key order.
  void append_ids(std::size_t from, std::size_t to, std::vector<Id>& out) const;
  /// A new bitmap: the union of every present slot bitmap.
  [[nodiscard]] Bitmap get_bitmap() const { return ids_of(0, len); }
  /// True when no key lies below this node.
  [[nodiscard]] bool holds_nothing() const;

  /// The child position (relative to offset) where a range bounded by `value` starts (lower
  /// modes) or ends (upper modes).
  [[nodiscard]] std::size_t get_key_index(const NumericValue& value, KeyIndexMode mode) const {
    return get_key_index_by_prefix(ordered_prefix(value), mode);
  }
  [[nodiscard]] std::size_t get_key_index_by_prefix(Key128 prefix, KeyIndexMode mode) const;
  /// The ids in the subtree whose values lie within [lower, upper] and that `admissible` holds.
  [[nodiscard]] Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                   RangeQueryTrace* trace = nullptr) const;
  /// Gathers the parts of the answer below this node, entering only the boundary children.
  void collect_range(const PrefixBound& lower, const PrefixBound& upper, detail::RangeParts& parts,
                     RangeQueryTrace* trace, std::size_t depth) const;

  /// Calls f(key) for the keys below this node, ascending (or descending), until f returns
  /// false; false when it did.
  template <class F>
  bool walk_keys(bool descending, F& f) const;
  /// A deep copy of the subtree; throws std::bad_alloc when memory is exhausted.
  [[nodiscard]] Ptr clone() const;
  /// Bytes of the subtree's nodes and bitmaps, roughly.
  [[nodiscard]] std::size_t memory_bytes() const;

 private:
  BasicBitMapBTreeNode(std::size_t lvl, std::size_t off) noexcept : level(lvl), offset(off) {}
  ~BasicBitMapBTreeNode() = default;

  // Where the parts of an internal node lie in its allocation, and how large each kind is.
  static constexpr std::size_t align_up(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }
  static constexpr std::size_t children_at() { return align_up(sizeof(BasicBitMapBTreeNode), alignof(Children)); }
  static constexpr std::size_t bitmaps_at() { return align_up(children_at() + sizeof(Children), alignof(Bitmaps)); }
  [[nodiscard]] static constexpr std::size_t bytes_for(std::size_t level) {
    return level == 0 ? sizeof(BasicBitMapBTreeNode)
                      : level < Geometry::kFirstBitmapLevel ? bitmaps_at() : bitmaps_at() + sizeof(Bitmaps);
  }
  /// Moves slots [first, end) by `distance` (left when negative): keys, children and bitmaps.
  void shift_slots(std::size_t first, std::size_t end, std::ptrdiff_t distance);
};

/// The ranged bitmap B-tree: owns its root, always present.
template <std::size_t Slots>
class BasicBitMapBTree {
 public:
  using Geometry = NodeGeometry<Slots>;
  using Node = BasicBitMapBTreeNode<Slots>;
  using NodePtr = typename Node::Ptr;

  /// A tree whose root is an empty leaf; throws std::bad_alloc when memory is exhausted.
  BasicBitMapBTree() : root_(Node::make(0, Geometry::kNewLeafOffset)) {}
  BasicBitMapBTree(BasicBitMapBTree&&) noexcept = default;
  BasicBitMapBTree& operator=(BasicBitMapBTree&&) noexcept = default;
  BasicBitMapBTree(const BasicBitMapBTree&) = delete;
  BasicBitMapBTree& operator=(const BasicBitMapBTree&) = delete;

  /// Adds the pair (value, id), which the tree must not hold ("Duplicate ID and key insert");
  /// the caller holds each id under at most one value. Throws std::bad_alloc, and fails
  /// fatally, leaving the tree as it was.
  void insert(const NumericValue& value, Id id) { insert_key(CompositeKey128::make(value, id).key); }
  /// The same, for a key made by CompositeKey128::make.
  void insert_key(Key128 key);
  /// Removes the pair (value, id); false (and no change) when the tree does not hold it.
  /// Allocates nothing.
  bool remove(const NumericValue& value, Id id) { return remove_key(CompositeKey128::make(value, id).key); }
  bool remove_key(Key128 key);
  /// Adds a batch of keys in any order, none held and no id twice; all or nothing: a failure
  /// (std::bad_alloc, or the fatal "Duplicate ID and key insert") leaves the tree as it was.
  void insert_many(std::vector<Key128> keys);
  /// Removes a batch of keys in any order; returns how many the tree held (the others change
  /// nothing). Allocates nothing beyond the batch it was given; the span's keys are reordered.
  std::size_t remove_many(std::span<Key128> keys);
  std::size_t remove_many(std::vector<Key128> keys) { return remove_many(std::span<Key128>(keys)); }

  /// The ids whose values lie within the bounds and that `admissible` holds.
  [[nodiscard]] Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                   RangeQueryTrace* trace = nullptr) const {
    return root_->query_range(lower, upper, admissible, trace);
  }
  /// Calls f(key) for every key the tree holds, ascending.
  template <class F>
  void for_each_key(F&& f) const {
    auto always = [&f](Key128 k) {
      f(k);
      return true;
    };
    root_->walk_keys(false, always);
  }
  /// Calls f(key) for the keys from the low end (or the high end when descending) until it
  /// returns false.
  template <class F>
  void walk(bool descending, F&& f) const {
    root_->walk_keys(descending, f);
  }
  /// A new bitmap of every id the tree holds.
  [[nodiscard]] Bitmap ids() const { return root_->get_bitmap(); }
  /// The number of pairs held.
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  /// Bytes of the nodes and bitmaps, roughly (for benchmarks).
  [[nodiscard]] std::size_t memory_bytes() const { return sizeof(*this) + root_->memory_bytes(); }
  /// Checks every invariant of the tree; the first broken one as text, or nothing when sound.
  [[nodiscard]] std::optional<std::string> verify() const;
  /// A deep copy; throws std::bad_alloc when memory is exhausted.
  [[nodiscard]] BasicBitMapBTree clone() const { return BasicBitMapBTree(root_->clone(), size_); }
  [[nodiscard]] const Node& root() const noexcept { return *root_; }

 private:
  template <std::size_t>
  friend struct BitMapBTreePeer;  // read and damage internals in tests
  struct InsertPlan;

  BasicBitMapBTree(NodePtr root, std::size_t size) noexcept : root_(std::move(root)), size_(size) {}
  /// Walks the key's path and makes what its splits need, changing nothing.
  [[nodiscard]] InsertPlan plan_insert(Key128 key) const;
  /// Splits and inserts as planned; allocates nothing.
  void apply_insert(Key128 key, InsertPlan& plan);
  /// A tree of the ascending, distinct keys, built bottom up.
  [[nodiscard]] static NodePtr build(std::span<const Key128> sorted);
  /// Removes the keys of [first, last) (ascending, distinct) held below `node`, gathers those
  /// it held at the front of the range and returns the end of them; frees emptied subtrees.
  static Key128* remove_sorted(Node& node, Key128* first, Key128* last);
  /// Puts the only child of an internal root with one slot in its place, until none is left.
  void collapse_root() noexcept;

  NodePtr root_;
  std::size_t size_ = 0;
};

/// The designed node size: 96 slots.
inline constexpr std::size_t kNodeSlots = 96;
using BitMapBTreeNode = BasicBitMapBTreeNode<kNodeSlots>;
using BitMapBTree = BasicBitMapBTree<kNodeSlots>;

extern template class BasicBitMapBTreeNode<kNodeSlots>;
extern template class BasicBitMapBTree<kNodeSlots>;

template <std::size_t S>
template <class F>
bool BasicBitMapBTreeNode<S>::walk_keys(bool descending, F& f) const {
  for (std::size_t n = 0; n < len; ++n) {
    const std::size_t i = descending ? len - 1 - n : n;
    if (is_leaf() ? !f(key_at(i)) : !child_at(i).walk_keys(descending, f)) return false;
  }
  return true;
}

}  // namespace vostrel
