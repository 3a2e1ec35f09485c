// The ranged bitmap B-tree: (numeric value, object id) pairs in value order, where every
// internal slot keeps a bitmap of the ids below its child so that range queries answer whole
// children from their bitmaps and descend only along the two boundary paths.
//
// Design
//  - A pair is one 128-bit `CompositeKey128`: a 96-bit prefix that orders numeric values
//    (integers and doubles together, exactly) above the 32-bit object id.
//  - Every node is one heap allocation of `kSlots` fixed slots. The occupied slots form one run
//    [offset, offset + len) kept near the middle of the array, so an insertion shifts whichever
//    side of the insertion point is shorter and a run that reaches an end is recentred.
//  - Splits happen on the way down, before descending into a full child, so an insertion never
//    walks back up. Bitmaps are kept incrementally: one `add` per level on insertion, one
//    `remove` per level on removal; a split builds only the right half's bitmap.
//  - Removal never rebalances: separators stay, nodes may empty out, the height never shrinks.
//  - A range query enters only the nodes on its two boundary paths. A child strictly between
//    them is answered from its slot bitmap without being entered. The parts are united once
//    and intersected with the admissible set once: dense parts as bitmaps; sparse ones as ids
//    marked in a bitset or sorted, since uniting many sparse bitmaps pairwise merges the same
//    arrays over and over.
//  - Each object id is held under at most one value at a time (the per-attribute value map
//    guarantees it): the slot bitmaps track ids, not pairs.
//  - The tree has no lock of its own; callers serialise writers and may run readers together.
#pragma once

#include <algorithm>
#include <array>
#include <bitset>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "index/bitmap.hpp"
#include "index/fatal.hpp"

namespace vostrel {

/// The value the tree orders: a signed 64-bit integer or a double.
using NumericValue = std::variant<std::int64_t, double>;

using Key128 = unsigned __int128;

/// Width of the ordered value prefix and of the id below it, in bits.
inline constexpr unsigned kPrefixBits = 96;
inline constexpr unsigned kIdBits = 32;

/// The 96-bit ordered prefix of a value, in the low 96 bits of the result. Prefixes order as
/// the values do; an integer and a double of equal value share one; zero of either sign equals
/// integer zero; NaNs sort beyond the infinities on their sign's side.
[[nodiscard]] Key128 ordered_prefix(const NumericValue& value) noexcept;

/// One (value, id) pair of the tree. Keys compare by `key` alone.
struct CompositeKey128 {
  NumericValue value{std::int64_t{0}};  // the value the key was made from, unchanged
  Key128 key = 0;                       // prefix in bits 127..32, id in bits 31..0

  /// The key of `value` and `id`.
  [[nodiscard]] static CompositeKey128 make(const NumericValue& value, Id id) noexcept {
    return CompositeKey128{value, (ordered_prefix(value) << kIdBits) | id};
  }
  [[nodiscard]] Id id() const noexcept { return static_cast<Id>(key); }
  [[nodiscard]] Key128 prefix() const noexcept { return key >> kIdBits; }

  friend bool operator==(const CompositeKey128& a, const CompositeKey128& b) noexcept {
    return a.key == b.key;
  }
  friend std::strong_ordering operator<=>(const CompositeKey128& a,
                                          const CompositeKey128& b) noexcept {
    return a.key <=> b.key;
  }
};

/// One side of a range: an included value, an excluded value, or no limit.
struct Bound {
  enum class Kind : std::uint8_t { kIncluded, kExcluded, kUnbounded };
  Kind kind = Kind::kUnbounded;
  NumericValue value{std::int64_t{0}};  // ignored when unbounded

  [[nodiscard]] static Bound included(const NumericValue& v) { return {Kind::kIncluded, v}; }
  [[nodiscard]] static Bound excluded(const NumericValue& v) { return {Kind::kExcluded, v}; }
  [[nodiscard]] static Bound unbounded() { return {}; }
};

/// Which boundary child `InternalNode::get_key_index` looks for.
enum class KeyIndexMode : std::uint8_t { kLowerIncluded, kLowerExcluded, kUpperIncluded, kUpperExcluded };

/// What a range query touched, for tests and diagnostics: nodes entered at each depth (the
/// root is depth 0), and children answered from their slot bitmaps without being entered.
struct RangeQueryTrace {
  std::vector<std::size_t> nodes_per_depth;
  std::size_t children_from_bitmaps = 0;

  void enter(std::size_t depth) {
    if (nodes_per_depth.size() <= depth) nodes_per_depth.resize(depth + 1, 0);
    ++nodes_per_depth[depth];
  }
};

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
  // The right half of a split is about half a node; starting it a quarter in centres it.
  static constexpr std::size_t kSplitRightOffset = kSlots / 4;
  // A new root's two slots sit in the middle, leaving a free slot after them (the first
  // insertion into a root shifts right).
  static constexpr std::size_t kNewRootOffset = std::min(kSlots / 2, kSlots - 3);
  // Recentring leaves equal room (within one slot) on both sides of the run.
  static constexpr std::size_t recenter_target(std::size_t len) noexcept { return (kSlots - len) / 2; }

  // The largest half a split can make.
  static constexpr std::size_t kMaxHalf = (kSlots - 1) - (kSlots - 1) / 2;
  static_assert(kFullLen >= 3, "each half of a split must keep two slots, or the height grows linearly");
  static_assert(kFullLen < kSlots - 1, "a node holding kSlots - 1 entries must count as full");
  static_assert(kMaxHalf <= kFullLen, "the halves of a split must not be full");
  static_assert(kSplitRightOffset >= 1 && kSplitRightOffset + kMaxHalf < kSlots,
                "a new right half must not touch either end of its array");
  static_assert(kNewRootOffset + 2 < kSlots, "a new root must not touch the end of its array");
};

/// Fixed slots that are each empty or hold a T, with the emptiness kept as one flag per slot.
template <class T, std::size_t N>
class SlotArray {
 public:
  [[nodiscard]] bool has(std::size_t i) const {
    check(i);
    return used_[i];
  }
  /// The value in slot i; an empty slot is the missing-value error.
  [[nodiscard]] const T& get(std::size_t i) const {
    if (!has(i)) fatal_missing_value();
    return values_[i];
  }
  [[nodiscard]] T& get(std::size_t i) {
    if (!has(i)) fatal_missing_value();
    return values_[i];
  }
  /// The value in slot i, or null when the slot is empty.
  [[nodiscard]] const T* find(std::size_t i) const { return has(i) ? &values_[i] : nullptr; }
  [[nodiscard]] T* find(std::size_t i) { return has(i) ? &values_[i] : nullptr; }
  void put(std::size_t i, T value) {
    check(i);
    values_[i] = std::move(value);
    used_[i] = true;
  }
  /// Empties slot i, releasing what it held.
  void clear(std::size_t i) {
    check(i);
    values_[i] = T();
    used_[i] = false;
  }
  /// Moves slot `from` (full or empty) onto slot `to`, releasing what `to` held; `from` empties.
  void move_slot(std::size_t from, std::size_t to) { move_slot_to(from, *this, to); }
  /// The same, onto a slot of another array.
  void move_slot_to(std::size_t from, SlotArray& other, std::size_t to) {
    check(from);
    check(to);
    other.values_[to] = std::move(values_[from]);
    other.used_[to] = used_[from];
    values_[from] = T();
    used_[from] = false;
  }

 private:
  static void check(std::size_t i) {
    if (i >= N) fatal_out_of_range();
  }
  std::array<T, N> values_{};
  std::bitset<N> used_;
};

/// Fixed key slots, each empty or holding a key. The 128-bit keys lie apart from the values
/// they were made from, so searches and scans read half the memory.
template <std::size_t N>
class KeySlots {
 public:
  [[nodiscard]] bool has(std::size_t i) const {
    check(i);
    return used_[i];
  }
  /// The 128-bit key in slot i; an empty slot is the missing-value error.
  [[nodiscard]] Key128 key(std::size_t i) const {
    if (!has(i)) fatal_missing_value();
    return keys_[i];
  }
  /// The whole key in slot i; an empty slot is the missing-value error.
  [[nodiscard]] CompositeKey128 get(std::size_t i) const {
    if (!has(i)) fatal_missing_value();
    return {values_[i], keys_[i]};
  }
  /// The key in slot i, or nothing when the slot is empty.
  [[nodiscard]] std::optional<CompositeKey128> find(std::size_t i) const {
    if (!has(i)) return std::nullopt;
    return CompositeKey128{values_[i], keys_[i]};
  }
  void put(std::size_t i, const CompositeKey128& k) {
    check(i);
    keys_[i] = k.key;
    values_[i] = k.value;
    used_[i] = true;
  }
  void clear(std::size_t i) {
    check(i);
    used_[i] = false;
  }
  /// Asks for the keys of slots [first, end) to be loaded, so a search that follows finds them
  /// in cache instead of waiting for each probe in turn.
  void prefetch(std::size_t first, std::size_t end) const noexcept {
    constexpr std::size_t kPerLine = 64 / sizeof(Key128);
    for (std::size_t i = first; i < end && i < N; i += kPerLine) __builtin_prefetch(&keys_[i]);
  }
  /// Moves slot `from` (full or empty) onto slot `to`; `from` empties.
  void move_slot(std::size_t from, std::size_t to) { move_slot_to(from, *this, to); }
  /// The same, onto a slot of another array.
  void move_slot_to(std::size_t from, KeySlots& other, std::size_t to) {
    check(from);
    check(to);
    other.keys_[to] = keys_[from];
    other.values_[to] = values_[from];
    other.used_[to] = used_[from];
    used_[from] = false;
  }

 private:
  static void check(std::size_t i) {
    if (i >= N) fatal_out_of_range();
  }
  std::array<Key128, N> keys_{};
  std::array<NumericValue, N> values_{};
  std::bitset<N> used_;
};

/// Where a binary search ended: the position of an equal key, or the insertion point.
struct SearchResult {
  bool found = false;
  std::size_t index = 0;
};

/// Binary search over `len` ordered entries read by `at(i)`: probe base + size / 2 and move
/// the base there unless the probe is greater, then compare the entry at the base.
template <class At, class K>
[[nodiscard]] SearchResult binary_search_run(std::size_t len, At&& at, const K& sought) {
  if (len == 0) return {false, 0};
  std::size_t base = 0;
  std::size_t size = len;
  while (size > 1) {
    const std::size_t half = size / 2;
    if (!(sought < at(base + half))) base += half;
    size -= half;
  }
  const K found = at(base);
  if (found == sought) return {true, base};
  return {false, found < sought ? base + 1 : base};
}

namespace detail {
/// A bound reduced to what comparisons need: its kind and its value's prefix.
struct PrefixBound {
  Bound::Kind kind = Bound::Kind::kUnbounded;
  Key128 prefix = 0;
  PrefixBound() = default;
  explicit PrefixBound(const Bound& b)
      : kind(b.kind), prefix(b.kind == Bound::Kind::kUnbounded ? 0 : ordered_prefix(b.value)) {}
  [[nodiscard]] bool unbounded() const noexcept { return kind == Bound::Kind::kUnbounded; }
  /// A key with prefix p lies below this lower bound.
  [[nodiscard]] bool below_lower(Key128 p) const noexcept {
    return kind == Bound::Kind::kIncluded ? p < prefix : kind == Bound::Kind::kExcluded && p <= prefix;
  }
  /// A key with prefix p lies within this upper bound.
  [[nodiscard]] bool within_upper(Key128 p) const noexcept {
    return kind == Bound::Kind::kIncluded ? p <= prefix : kind != Bound::Kind::kExcluded || p < prefix;
  }
};

/// The buffers a range query works in.
struct RangeScratch {
  std::vector<Id> ids;               // the ids read from leaf keys, then from sparse bitmaps
  std::vector<Id> more;              // a second run of ids: sorting space, admissible ids
  std::vector<std::uint64_t> marks;  // a bitset over the answer's id span
  std::vector<const Bitmap*> whole;  // bitmaps of the children wholly inside the range
  std::vector<std::uint64_t> sizes;  // their cardinalities, once counted
};

/// Sorts ids ascending, using `space` as room: nothing when they already ascend (ids handed
/// out in value order come from the leaves in order), a comparison sort for few, a radix sort
/// for many.
void sort_ids(std::vector<Id>& ids, std::vector<Id>& space);

/// A range query's answer before the admissible set is applied: the ids of the boundary
/// leaves' keys within the range, and the slot bitmaps of the children wholly inside it.
/// Uniting them once and intersecting once gives the same ids as intersecting each part with
/// the admissible set and uniting the results, and costs far less.
class RangeParts {
 public:
  RangeParts() = default;
  RangeParts(const RangeParts&) = delete;
  RangeParts& operator=(const RangeParts&) = delete;

  /// Notes an id read from a leaf key.
  void add_id(Id id) { s_.ids.push_back(id); }
  /// Notes the bitmap of a child wholly inside the range.
  void add_whole(const Bitmap& b) {
    b.prefetch();
    s_.whole.push_back(&b);
  }
  /// The union of everything noted, intersected with `admissible`.
  [[nodiscard]] Bitmap finish(const Bitmap& admissible);

 private:
  /// The union of the loose ids' bitmap and the whole children's bitmaps.
  Bitmap unite();
  /// The loose ids (all of them within [lo, hi]) that `admissible` holds, read off the
  /// admissible ids of [lo, hi] against a bitset of the loose ones.
  Bitmap filter(const Bitmap& admissible, Id lo, Id hi);

  RangeScratch s_;
};

/// Unites `part` into `into`, taking `part`'s storage when `into` is still empty.
inline void unite_into(Bitmap& into, Bitmap&& part) {
  if (into.is_empty())
    into = std::move(part);
  else
    into.or_inplace(part);
}
}  // namespace detail

template <std::size_t Slots>
struct BasicInternalNode;
template <std::size_t Slots>
struct BasicLeafNode;

/// An owned tree node: an internal node or a leaf, each its own heap allocation. A
/// default-constructed handle is an empty child slot.
template <std::size_t Slots>
class BasicBitMapBTreeNode {
 public:
  using Internal = BasicInternalNode<Slots>;
  using Leaf = BasicLeafNode<Slots>;

  BasicBitMapBTreeNode() = default;
  explicit BasicBitMapBTreeNode(std::unique_ptr<Leaf> leaf) : node_(std::move(leaf)) {}
  explicit BasicBitMapBTreeNode(std::unique_ptr<Internal> internal) : node_(std::move(internal)) {}

  [[nodiscard]] bool present() const noexcept {
    return std::visit([](const auto& p) { return p != nullptr; }, node_);
  }
  [[nodiscard]] bool is_leaf() const noexcept { return std::holds_alternative<std::unique_ptr<Leaf>>(node_); }
  /// The leaf, or null when this is an internal node or empty.
  [[nodiscard]] Leaf* as_leaf() const noexcept {
    auto* p = std::get_if<std::unique_ptr<Leaf>>(&node_);
    return p ? p->get() : nullptr;
  }
  /// The internal node, or null when this is a leaf or empty.
  [[nodiscard]] Internal* as_internal() const noexcept {
    auto* p = std::get_if<std::unique_ptr<Internal>>(&node_);
    return p ? p->get() : nullptr;
  }
  /// The node has no room for an insertion without a split; an empty handle is not full.
  [[nodiscard]] bool is_full() const noexcept {
    if (const Leaf* l = as_leaf()) return l->is_full();
    if (const Internal* n = as_internal()) return n->is_full();
    return false;
  }

  /// The ids in the subtree whose values lie within [lower, upper] (each side included,
  /// excluded or unbounded) and that `admissible` holds.
  [[nodiscard]] Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                   RangeQueryTrace* trace = nullptr) const;
  /// Gathers the parts of the answer below this node, entering only the boundary children.
  void collect_range(const detail::PrefixBound& lower, const detail::PrefixBound& upper,
                     detail::RangeParts& parts, RangeQueryTrace* trace, std::size_t depth) const;

  /// A deep copy of the subtree (an empty handle copies as empty).
  [[nodiscard]] BasicBitMapBTreeNode clone() const;

 private:
  std::variant<std::unique_ptr<Internal>, std::unique_ptr<Leaf>> node_;
};

/// A leaf: keys only.
///   keys    slot i holds a key exactly when offset <= i < offset + len; the keys ascend along
///           the run (an equal neighbour only when a caller stored one pair twice).
///   len     number of keys; at most kSlots - 1 after every operation.
///   offset  first occupied slot; offset + len stays below kSlots, so a right shift has room.
template <std::size_t Slots>
struct BasicLeafNode {
  using Geometry = NodeGeometry<Slots>;

  KeySlots<Slots> keys;
  std::size_t len = 0;
  std::size_t offset = Geometry::kNewLeafOffset;

  [[nodiscard]] bool is_full() const noexcept {
    return len > Geometry::kFullLen && (offset == 0 || offset + len >= Slots);
  }
  /// The key at position i of the run.
  [[nodiscard]] CompositeKey128 key_at(std::size_t i) const { return keys.get(offset + i); }
  [[nodiscard]] SearchResult search(Key128 key) const {
    return binary_search_run(len, [this](std::size_t i) { return keys.key(offset + i); }, key);
  }

  /// Stores `key` in order; an equal key already present stays after the new one.
  void insert_non_full(const CompositeKey128& key);
  /// Moves the run to the middle of the array.
  void recenter();
  /// Keeps the left half; returns the separator (the right half's first key) and the right half.
  [[nodiscard]] std::pair<CompositeKey128, std::unique_ptr<BasicLeafNode>> split();
  /// Removes `key`; false when the leaf does not hold it.
  bool remove(Key128 key);
  /// A new bitmap of the ids of the keys.
  [[nodiscard]] Bitmap ids() const;
  /// Adds the ids of the keys within the bounds to `parts`.
  void collect_range(const detail::PrefixBound& lower, const detail::PrefixBound& upper,
                     detail::RangeParts& parts) const;
};

/// An internal node; slot i is the triple keys[i], children[i], bitmaps[i].
///   keys      the separators; slot i holds one exactly when offset <= i < offset + len.
///             The first occupied slot's key was its child's first key when the slot was made;
///             that child also takes every key below the second slot's key, so a split of it
///             can place a smaller separator second. The first key is therefore only a label:
///             searches never probe it except to pick the first child, which it would be
///             anyway. From the second slot on the keys strictly ascend, and each such slot's
///             child holds only keys >= its key and < the next slot's key.
///   children  the owned subtrees, present exactly on the occupied slots; all leaves lie at
///             one depth.
///   bitmaps   present exactly on the occupied slots; bitmaps[i] holds exactly the ids stored
///             below children[i].
///   len       number of occupied slots; at most kSlots - 1, and at least 2 in the root.
///   offset    first occupied slot; offset + len stays below kSlots.
template <std::size_t Slots>
struct BasicInternalNode {
  using Geometry = NodeGeometry<Slots>;
  using Node = BasicBitMapBTreeNode<Slots>;
  using Leaf = BasicLeafNode<Slots>;

  SlotArray<Bitmap, Slots> bitmaps;
  KeySlots<Slots> keys;
  std::array<Node, Slots> children{};
  std::size_t len = 0;
  std::size_t offset = 0;

  [[nodiscard]] bool is_full() const noexcept {
    return len > Geometry::kFullLen && (offset == 0 || offset + len >= Slots);
  }
  [[nodiscard]] CompositeKey128 key_at(std::size_t i) const { return keys.get(offset + i); }
  [[nodiscard]] SearchResult search(Key128 key) const {
    return binary_search_run(len, [this](std::size_t i) { return keys.key(offset + i); }, key);
  }
  /// The child position (relative to offset) whose subtree holds `key` if the tree does.
  [[nodiscard]] std::size_t child_for(Key128 key) const {
    const SearchResult r = search(key);
    return r.found || r.index == 0 ? r.index : r.index - 1;
  }

  /// Inserts `key` below this node, splitting a full child before descending into it.
  void insert(const CompositeKey128& key);
  /// Keeps the left half; returns the separator and the right half. Bitmaps move with their slots.
  [[nodiscard]] std::pair<CompositeKey128, std::unique_ptr<BasicInternalNode>> split();
  /// Splits the full child at position c, adds the right half as a new slot after it and
  /// inserts `key` into the half it belongs to.
  void split_and_insert(const CompositeKey128& key, std::size_t c);
  /// Moves slots [first, end) `distance` slots to the right, from the last one backwards.
  void shift_right(std::size_t first, std::size_t end, std::size_t distance);
  /// Moves the run to the middle of the array.
  void recenter();
  /// A new bitmap: the union of every present slot bitmap.
  [[nodiscard]] Bitmap get_bitmap() const;
  /// The child position (relative to offset) where a range bounded by `value` starts (lower
  /// modes) or ends (upper modes).
  [[nodiscard]] std::size_t get_key_index(const NumericValue& value, KeyIndexMode mode) const {
    return get_key_index_by_prefix(ordered_prefix(value), mode);
  }
  [[nodiscard]] std::size_t get_key_index_by_prefix(Key128 prefix, KeyIndexMode mode) const;
  /// Removes `key` from the subtree and its id from every bitmap on the path; false when absent.
  bool remove(Key128 key);
  /// True when the subtree holds `key`.
  [[nodiscard]] bool holds(Key128 key) const;
  /// The child slot at array index i (bounds-checked).
  [[nodiscard]] Node& child(std::size_t i) {
    if (i >= Slots) fatal_out_of_range();
    return children[i];
  }
  [[nodiscard]] const Node& child(std::size_t i) const {
    if (i >= Slots) fatal_out_of_range();
    return children[i];
  }

 private:
  /// Moves a whole slot (key, child, bitmap); the source empties.
  void move_slot(std::size_t from, std::size_t to);
  /// The bitmap of a present child's slot, which must be there.
  Bitmap& child_bitmap(std::size_t slot, const Node& below);
};

/// The ranged bitmap B-tree: owns its root, always present.
template <std::size_t Slots>
class BasicBitMapBTree {
 public:
  using Geometry = NodeGeometry<Slots>;
  using Node = BasicBitMapBTreeNode<Slots>;
  using Leaf = BasicLeafNode<Slots>;
  using Internal = BasicInternalNode<Slots>;

  /// A tree whose root is an empty leaf.
  BasicBitMapBTree() : root_(std::make_unique<Leaf>()) {}
  BasicBitMapBTree(BasicBitMapBTree&&) noexcept = default;
  BasicBitMapBTree& operator=(BasicBitMapBTree&&) noexcept = default;
  BasicBitMapBTree(const BasicBitMapBTree&) = delete;
  BasicBitMapBTree& operator=(const BasicBitMapBTree&) = delete;

  /// Adds the pair (value, id). The caller never adds a pair the tree holds, and holds each id
  /// under at most one value.
  void insert(const NumericValue& value, Id id);
  /// Removes the pair (value, id); false (and no change) when the tree does not hold it.
  bool remove(const NumericValue& value, Id id);
  [[nodiscard]] const Node& root() const noexcept { return root_; }
  /// The ids whose values lie within the bounds and that `admissible` holds.
  [[nodiscard]] Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                   RangeQueryTrace* trace = nullptr) const {
    return root_.query_range(lower, upper, admissible, trace);
  }
  /// Calls f(key) for every pair the tree holds, in ascending key order.
  template <class F>
  void for_each_key(F&& f) const {
    for_each_key_below(root_, f);
  }
  /// Calls f(Key128) for the keys from the low end (the high end when `descending`) until f
  /// returns false.
  template <class F>
  void walk(bool descending, F&& f) const {
    (void)walk_below(root_, descending, f);
  }
  /// A new bitmap of every id the tree holds, read from the root's slots.
  [[nodiscard]] Bitmap ids() const;
  /// Checks every invariant of the tree; the first broken one as text, or nothing when sound.
  [[nodiscard]] std::optional<std::string> verify() const;
  /// A deep copy.
  [[nodiscard]] BasicBitMapBTree clone() const { return BasicBitMapBTree(root_.clone()); }

 private:
  template <std::size_t>
  friend struct BitMapBTreePeer;  // read and damage internals in tests
  explicit BasicBitMapBTree(Node root) : root_(std::move(root)) {}
  /// Splits the full root and puts both halves under a new internal root.
  void grow();
  template <class F>
  static bool walk_below(const Node& node, bool descending, F& f) {
    if (const Leaf* leaf = node.as_leaf()) {
      for (std::size_t k = 0; k < leaf->len; ++k)
        if (!f(leaf->key_at(descending ? leaf->len - 1 - k : k).key)) return false;
    } else if (const Internal* n = node.as_internal()) {
      for (std::size_t k = 0; k < n->len; ++k)
        if (!walk_below(n->child(n->offset + (descending ? n->len - 1 - k : k)), descending, f)) return false;
    }
    return true;
  }
  /// The in-order walk of for_each_key over one subtree.
  template <class F>
  static void for_each_key_below(const Node& node, F& f) {
    if (const Leaf* leaf = node.as_leaf()) {
      for (std::size_t i = 0; i < leaf->len; ++i) f(leaf->key_at(i));
    } else if (const Internal* n = node.as_internal()) {
      for (std::size_t i = 0; i < n->len; ++i) for_each_key_below(n->child(n->offset + i), f);
    }
  }

  Node root_;
};

/// The designed node size: 96 slots.
inline constexpr std::size_t kNodeSlots = 96;
using LeafNode = BasicLeafNode<kNodeSlots>;
using InternalNode = BasicInternalNode<kNodeSlots>;
using BitMapBTreeNode = BasicBitMapBTreeNode<kNodeSlots>;
using BitMapBTree = BasicBitMapBTree<kNodeSlots>;

// ---------------------------------------------------------------------------------------------
// Leaf

template <std::size_t S>
void BasicLeafNode<S>::insert_non_full(const CompositeKey128& key) {
  const std::size_t p = search(key.key).index;
  if (offset > 0 && p < len / 2) {
    for (std::size_t i = 0; i < p; ++i) keys.move_slot(offset + i, offset + i - 1);
    --offset;
  } else {
    if (offset + len >= S) fatal_out_of_range();
    for (std::size_t i = len; i > p; --i) keys.move_slot(offset + i - 1, offset + i);
  }
  keys.put(offset + p, key);
  ++len;
  if (offset == 0 || offset + len == S) recenter();
}

template <std::size_t S>
void BasicLeafNode<S>::recenter() {
  const std::size_t target = Geometry::recenter_target(len);
  if (offset < target) {
    const std::size_t d = target - offset;
    for (std::size_t i = len; i-- > 0;) keys.move_slot(offset + i, offset + i + d);
  } else if (offset > target) {
    const std::size_t d = offset - target;
    for (std::size_t i = 0; i < len; ++i) keys.move_slot(offset + i, offset + i - d);
  }
  offset = target;
}

template <std::size_t S>
std::pair<CompositeKey128, std::unique_ptr<BasicLeafNode<S>>> BasicLeafNode<S>::split() {
  constexpr std::size_t kRight = Geometry::kSplitRightOffset;
  const std::size_t n = len;
  const std::size_t h = n / 2;
  auto right = std::make_unique<BasicLeafNode>();
  right->offset = kRight;
  for (std::size_t i = h; i < n; ++i) keys.move_slot_to(offset + i, right->keys, kRight + (i - h));
  right->len = n - h;
  len = h;
  recenter();
  const std::optional<CompositeKey128> first = right->keys.find(kRight);
  if (!first) fatal("invalid offset");
  return {*first, std::move(right)};
}

template <std::size_t S>
bool BasicLeafNode<S>::remove(Key128 key) {
  const SearchResult r = search(key);
  if (!r.found) return false;
  const std::size_t p = r.index;
  keys.clear(offset + p);
  if (p >= len / 2) {
    for (std::size_t i = p + 1; i < len; ++i) keys.move_slot(offset + i, offset + i - 1);
  } else {
    for (std::size_t i = p; i-- > 0;) keys.move_slot(offset + i, offset + i + 1);
    ++offset;
  }
  --len;
  return true;
}

template <std::size_t S>
Bitmap BasicLeafNode<S>::ids() const {
  Bitmap out;
  Bitmap::BulkAdder adder(out);
  for (std::size_t i = 0; i < len; ++i) adder.add(static_cast<Id>(keys.key(offset + i)));
  return out;
}

template <std::size_t S>
void BasicLeafNode<S>::collect_range(const detail::PrefixBound& lower, const detail::PrefixBound& upper,
                                     detail::RangeParts& parts) const {
  keys.prefetch(offset, offset + len);
  // The keys below the lower bound form a prefix of the run: skip it by bisection.
  std::size_t below = 0;
  for (std::size_t size = len; size > 0;) {
    const std::size_t half = size / 2;
    if (lower.below_lower(keys.key(offset + below + half) >> kIdBits)) {
      below += half + 1;
      size -= half + 1;
    } else {
      size = half;
    }
  }
  for (std::size_t i = offset + below; i < offset + len; ++i) {
    if (!keys.has(i)) break;
    const Key128 k = keys.key(i);
    if (!upper.within_upper(k >> kIdBits)) break;
    parts.add_id(static_cast<Id>(k));
  }
}

// ---------------------------------------------------------------------------------------------
// Internal node

template <std::size_t S>
void BasicInternalNode<S>::move_slot(std::size_t from, std::size_t to) {
  keys.move_slot(from, to);
  bitmaps.move_slot(from, to);
  child(to) = std::exchange(child(from), Node());
}

template <std::size_t S>
Bitmap& BasicInternalNode<S>::child_bitmap(std::size_t slot, const Node& below) {
  Bitmap* b = bitmaps.find(slot);
  if (!b) fatal(below.is_leaf() ? "Bitmap should be present for leaf" : "Bitmap should be present for internal");
  return *b;
}

template <std::size_t S>
void BasicInternalNode<S>::shift_right(std::size_t first, std::size_t end, std::size_t distance) {
  if (end > first && end - 1 + distance >= S) fatal_out_of_range();
  for (std::size_t s = end; s-- > first;) move_slot(s, s + distance);
  if (offset == first) offset += distance;
}

template <std::size_t S>
void BasicInternalNode<S>::recenter() {
  const std::size_t target = Geometry::recenter_target(len);
  if (offset < target) {
    shift_right(offset, offset + len, target - offset);
  } else if (offset > target) {
    const std::size_t d = offset - target;
    for (std::size_t i = 0; i < len; ++i) move_slot(offset + i, offset + i - d);
  }
  offset = target;
}

template <std::size_t S>
bool BasicInternalNode<S>::holds(Key128 key) const {
  const Node& below = child(offset + child_for(key));
  if (const Leaf* leaf = below.as_leaf()) return leaf->search(key).found;
  if (const BasicInternalNode* n = below.as_internal()) return n->holds(key);
  fatal("Missing child");
}

template <std::size_t S>
void BasicInternalNode<S>::insert(const CompositeKey128& key) {
  const SearchResult r = search(key.key);
  std::size_t c;
  if (r.found) {
    // A separator can outlive its key (removal keeps separators), so an equal separator is a
    // duplicate only when the pair is still stored; otherwise the key belongs to its child.
    if (holds(key.key)) fatal("Duplicate ID and key insert");
    c = r.index;
  } else {
    c = r.index == 0 ? 0 : r.index - 1;
  }
  const std::size_t slot = offset + c;
  Node& below = child(slot);
  if (!below.present()) fatal("Missing child");
  if (below.is_full()) {
    split_and_insert(key, c);
    return;
  }
  Bitmap& bitmap = child_bitmap(slot, below);
  if (Leaf* leaf = below.as_leaf())
    leaf->insert_non_full(key);
  else
    below.as_internal()->insert(key);
  bitmap.add(key.id());
  if (offset == 0 || offset + len == S) recenter();
}

template <std::size_t S>
std::pair<CompositeKey128, std::unique_ptr<BasicInternalNode<S>>> BasicInternalNode<S>::split() {
  constexpr std::size_t kRight = Geometry::kSplitRightOffset;
  const std::size_t n = len;
  const std::size_t h = n / 2;
  auto right = std::make_unique<BasicInternalNode>();
  right->offset = kRight;
  for (std::size_t i = h; i < n; ++i) {
    const std::size_t from = offset + i;
    const std::size_t to = kRight + (i - h);
    keys.move_slot_to(from, right->keys, to);
    bitmaps.move_slot_to(from, right->bitmaps, to);
    right->child(to) = std::exchange(child(from), Node());
  }
  right->len = n - h;
  len = h;
  recenter();
  const std::optional<CompositeKey128> first = right->keys.find(kRight);
  if (!first) fatal("invalid offset");
  return {*first, std::move(right)};
}

template <std::size_t S>
void BasicInternalNode<S>::split_and_insert(const CompositeKey128& key, std::size_t c) {
  const std::size_t slot = offset + c;
  Node& left = child(slot);
  if (!left.present()) fatal("Missing child");
  Bitmap* left_bitmap = bitmaps.find(slot);
  if (!left_bitmap) fatal("Bitmap must be initialized before split");

  CompositeKey128 separator;
  Node right;
  Bitmap right_bitmap;
  if (Leaf* leaf = left.as_leaf()) {
    auto [sep, half] = leaf->split();
    right_bitmap = half->ids();
    separator = sep;
    right = Node(std::move(half));
  } else {
    auto [sep, half] = left.as_internal()->split();
    right_bitmap = half->get_bitmap();
    separator = sep;
    right = Node(std::move(half));
  }
  left_bitmap->andnot_inplace(right_bitmap);

  // Keys equal to the separator belong to the right half: it holds the keys from the separator on.
  const bool goes_left = key.key < separator.key;
  Node& target = goes_left ? left : right;
  if (Leaf* leaf = target.as_leaf())
    leaf->insert_non_full(key);
  else
    target.as_internal()->insert(key);
  (goes_left ? *left_bitmap : right_bitmap).add(key.id());

  shift_right(slot + 1, offset + len, 1);
  keys.put(slot + 1, separator);
  bitmaps.put(slot + 1, std::move(right_bitmap));
  child(slot + 1) = std::move(right);
  ++len;
  if (offset == 0 || offset + len == S) recenter();
}

template <std::size_t S>
Bitmap BasicInternalNode<S>::get_bitmap() const {
  std::array<const Bitmap*, S> parts{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < S; ++i)
    if (const Bitmap* b = bitmaps.find(i)) parts[n++] = b;
  return Bitmap::or_many(std::span<const Bitmap* const>(parts.data(), n));
}

template <std::size_t S>
std::size_t BasicInternalNode<S>::get_key_index_by_prefix(Key128 prefix, KeyIndexMode mode) const {
  auto prefix_at = [this](std::size_t i) { return keys.key(offset + i) >> kIdBits; };
  const SearchResult r = binary_search_run(len, prefix_at, prefix);
  if (!r.found) return r.index == 0 ? 0 : r.index - 1;
  std::size_t i = r.index;
  switch (mode) {
    case KeyIndexMode::kLowerIncluded:
    case KeyIndexMode::kUpperExcluded:
      while (i > 0 && prefix_at(i - 1) == prefix) --i;
      return i == 0 ? 0 : i - 1;
    case KeyIndexMode::kLowerExcluded:
    case KeyIndexMode::kUpperIncluded:
      while (i + 1 < len && prefix_at(i + 1) == prefix) ++i;
      return i;
  }
  return i;
}

template <std::size_t S>
bool BasicInternalNode<S>::remove(Key128 key) {
  const std::size_t slot = offset + child_for(key);
  Node& below = child(slot);
  bool removed;
  if (Leaf* leaf = below.as_leaf())
    removed = leaf->remove(key);
  else if (BasicInternalNode* n = below.as_internal())
    removed = n->remove(key);
  else
    fatal("Missing child");
  if (removed) child_bitmap(slot, below).remove(static_cast<Id>(key));
  return removed;
}

// ---------------------------------------------------------------------------------------------
// Node handle

template <std::size_t S>
Bitmap BasicBitMapBTreeNode<S>::query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                            RangeQueryTrace* trace) const {
  if (admissible.is_empty()) return Bitmap();
  detail::RangeParts parts;
  collect_range(detail::PrefixBound(lower), detail::PrefixBound(upper), parts, trace, 0);
  return parts.finish(admissible);
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::collect_range(const detail::PrefixBound& lower, const detail::PrefixBound& upper,
                                            detail::RangeParts& parts, RangeQueryTrace* trace,
                                            std::size_t depth) const {
  if (trace) trace->enter(depth);
  if (const Leaf* leaf = as_leaf()) return leaf->collect_range(lower, upper, parts);
  const Internal* node = as_internal();
  if (!node) return;
  node->keys.prefetch(node->offset, node->offset + node->len);

  const std::size_t first = lower.unbounded()
                                ? 0
                                : node->get_key_index_by_prefix(
                                      lower.prefix, lower.kind == Bound::Kind::kIncluded
                                                        ? KeyIndexMode::kLowerIncluded
                                                        : KeyIndexMode::kLowerExcluded);
  const std::size_t last = upper.unbounded()
                               ? node->len
                               : node->get_key_index_by_prefix(
                                     upper.prefix, upper.kind == Bound::Kind::kIncluded
                                                       ? KeyIndexMode::kUpperIncluded
                                                       : KeyIndexMode::kUpperExcluded);
  // Every child before `first` lies below the lower bound and every child after `last` above
  // the upper one, so a lower bound beyond the upper one leaves nothing to find here.
  if (first > last) return;
  // A boundary child that is not also the other boundary lies wholly on the inner side of the
  // other bound, so it is entered with that side unbounded; a first child with no lower limit
  // that is not also the last lies wholly inside and is answered like the children between.
  // Either way only the two boundary paths are entered.
  const bool apart = first < last;
  const detail::PrefixBound open;
  const std::size_t off = node->offset;
  auto child_at = [&](std::size_t i) -> const BasicBitMapBTreeNode* {
    if (off + i >= S) return nullptr;
    const BasicBitMapBTreeNode& c = node->child(off + i);
    return c.present() ? &c : nullptr;
  };
  // A child wholly inside the range is answered from its slot bitmap without being entered.
  auto whole_child = [&](std::size_t i) {
    if (const Bitmap* b = node->bitmaps.find(off + i)) {
      parts.add_whole(*b);
      if (trace) ++trace->children_from_bitmaps;
    }
  };
  if (apart && lower.unbounded())
    whole_child(first);
  else if (const BasicBitMapBTreeNode* c = child_at(first))
    c->collect_range(lower, apart ? open : upper, parts, trace, depth + 1);
  for (std::size_t i = first + 1; i < last; ++i) whole_child(i);
  if (apart)
    if (const BasicBitMapBTreeNode* c = child_at(last)) c->collect_range(open, upper, parts, trace, depth + 1);
}

template <std::size_t S>
BasicBitMapBTreeNode<S> BasicBitMapBTreeNode<S>::clone() const {
  if (const Leaf* leaf = as_leaf()) return BasicBitMapBTreeNode(std::make_unique<Leaf>(*leaf));
  const Internal* node = as_internal();
  if (!node) return BasicBitMapBTreeNode();
  auto copy = std::make_unique<Internal>();
  copy->len = node->len;
  copy->offset = node->offset;
  for (std::size_t i = 0; i < S; ++i) {
    if (const auto k = node->keys.find(i)) copy->keys.put(i, *k);
    if (const Bitmap* b = node->bitmaps.find(i)) copy->bitmaps.put(i, b->clone());
    copy->children[i] = node->children[i].clone();
  }
  return BasicBitMapBTreeNode(std::move(copy));
}

// ---------------------------------------------------------------------------------------------
// Tree

template <std::size_t S>
void BasicBitMapBTree<S>::grow() {
  constexpr std::size_t kLeftSlot = Geometry::kNewRootOffset;
  Node left = std::move(root_);
  auto root = std::make_unique<Internal>();
  root->offset = kLeftSlot;
  root->len = 2;
  CompositeKey128 separator;
  Node right;
  Bitmap left_bitmap;
  Bitmap right_bitmap;
  if (Leaf* leaf = left.as_leaf()) {
    auto [sep, half] = leaf->split();
    const std::optional<CompositeKey128> first = leaf->keys.find(leaf->offset);
    if (!first) fatal("invalid offset");
    root->keys.put(kLeftSlot, *first);
    left_bitmap = leaf->ids();
    right_bitmap = half->ids();
    separator = sep;
    right = Node(std::move(half));
  } else {
    Internal* node = left.as_internal();
    auto [sep, half] = node->split();
    const std::optional<CompositeKey128> first = node->keys.find(node->offset);
    if (!first) fatal("incorrect offset");
    root->keys.put(kLeftSlot, *first);
    left_bitmap = node->get_bitmap();
    right_bitmap = half->get_bitmap();
    separator = sep;
    right = Node(std::move(half));
  }
  root->bitmaps.put(kLeftSlot, std::move(left_bitmap));
  root->children[kLeftSlot] = std::move(left);
  root->keys.put(kLeftSlot + 1, separator);
  root->bitmaps.put(kLeftSlot + 1, std::move(right_bitmap));
  root->children[kLeftSlot + 1] = std::move(right);
  root_ = Node(std::move(root));
}

template <std::size_t S>
void BasicBitMapBTree<S>::insert(const NumericValue& value, Id id) {
  if (root_.is_full()) grow();
  const CompositeKey128 key = CompositeKey128::make(value, id);
  if (Leaf* leaf = root_.as_leaf())
    leaf->insert_non_full(key);
  else
    root_.as_internal()->insert(key);
}

template <std::size_t S>
Bitmap BasicBitMapBTree<S>::ids() const {
  if (const Leaf* leaf = root_.as_leaf()) return leaf->ids();
  if (const Internal* n = root_.as_internal()) return n->get_bitmap();
  return Bitmap();
}

template <std::size_t S>
bool BasicBitMapBTree<S>::remove(const NumericValue& value, Id id) {
  const Key128 key = CompositeKey128::make(value, id).key;
  if (Leaf* leaf = root_.as_leaf()) return leaf->remove(key);
  return root_.as_internal()->remove(key);
}

// ---------------------------------------------------------------------------------------------
// Verification

namespace detail {

/// Walks a tree and checks every node invariant; stops at the first broken one.
template <std::size_t S>
class TreeVerifier {
 public:
  using Node = BasicBitMapBTreeNode<S>;
  using Leaf = BasicLeafNode<S>;
  using Internal = BasicInternalNode<S>;

  std::optional<std::string> run(const Node& root) {
    if (const Internal* n = root.as_internal(); n && n->len < 2)
      return "internal root holds " + std::to_string(n->len) + " slots, fewer than 2";
    Bitmap ids;
    check(root, std::nullopt, std::nullopt, 0, "root", ids);
    return error_;
  }

 private:
  using Limit = std::optional<Key128>;

  void fail(const std::string& where, const std::string& what) {
    if (!error_) error_ = where + ": " + what;
  }

  /// Run bounds, and keys present exactly on the run with the encoding of their value and id.
  template <class NodeT>
  bool check_run(const NodeT& n, const std::string& where) {
    if (n.len > S - 1) {
      fail(where, "len " + std::to_string(n.len) + " exceeds " + std::to_string(S - 1));
      return false;
    }
    if (n.offset + n.len > S - 1) {
      fail(where, "run [" + std::to_string(n.offset) + ", " + std::to_string(n.offset + n.len) +
                      ") reaches the last slot");
      return false;
    }
    for (std::size_t i = 0; i < S; ++i) {
      const bool in_run = i >= n.offset && i < n.offset + n.len;
      const std::optional<CompositeKey128> k = n.keys.find(i);
      if (in_run != k.has_value()) {
        fail(where, "slot " + std::to_string(i) + (in_run ? " inside the run has no key" : " outside the run holds a key"));
        return false;
      }
      if (k && CompositeKey128::make(k->value, k->id()).key != k->key) {
        fail(where, "slot " + std::to_string(i) + " holds a key that does not encode its value");
        return false;
      }
    }
    return true;
  }

  bool within(Key128 key, const Limit& lo, const Limit& hi) const {
    return (!lo || key >= *lo) && (!hi || key < *hi);
  }

  void check(const Node& node, const Limit& lo, const Limit& hi, std::size_t depth,
             const std::string& where, Bitmap& ids) {
    if (error_) return;
    if (const Leaf* leaf = node.as_leaf()) {
      if (!check_run(*leaf, where)) return;
      if (leaf_depth_ && *leaf_depth_ != depth) {
        fail(where, "leaf at depth " + std::to_string(depth) + ", another at " + std::to_string(*leaf_depth_));
        return;
      }
      leaf_depth_ = depth;
      for (std::size_t i = 0; i < leaf->len; ++i) {
        const Key128 k = leaf->key_at(i).key;
        if (i > 0 && k < leaf->key_at(i - 1).key) return fail(where, "keys out of order at position " + std::to_string(i));
        if (!within(k, lo, hi)) return fail(where, "key at position " + std::to_string(i) + " lies outside its separators");
      }
      unite_into(ids, leaf->ids());
      return;
    }
    const Internal* n = node.as_internal();
    if (!n) return fail(where, "missing node");
    if (!check_run(*n, where)) return;
    if (n->len == 0) return fail(where, "internal node without slots");
    for (std::size_t i = 0; i < S; ++i) {
      const bool in_run = i >= n->offset && i < n->offset + n->len;
      if (in_run != n->child(i).present())
        return fail(where, "slot " + std::to_string(i) + (in_run ? " inside the run has no child" : " outside the run holds a child"));
      if (in_run != n->bitmaps.has(i))
        return fail(where, "slot " + std::to_string(i) + (in_run ? " inside the run has no bitmap" : " outside the run holds a bitmap"));
    }
    for (std::size_t i = 1; i < n->len; ++i) {
      const Key128 k = n->key_at(i).key;
      if (i > 1 && k <= n->key_at(i - 1).key) return fail(where, "separators not ascending at position " + std::to_string(i));
      if (!within(k, lo, hi)) return fail(where, "separator at position " + std::to_string(i) + " lies outside its parent's range");
    }
    for (std::size_t i = 0; i < n->len; ++i) {
      const std::size_t slot = n->offset + i;
      const Limit child_lo = i == 0 ? lo : Limit(n->key_at(i).key);
      const Limit child_hi = i + 1 < n->len ? Limit(n->key_at(i + 1).key) : hi;
      Bitmap below;
      const std::string child_where = where + "/" + std::to_string(slot);
      check(n->child(slot), child_lo, child_hi, depth + 1, child_where, below);
      if (error_) return;
      if (!(n->bitmaps.get(slot) == below)) return fail(child_where, "slot bitmap differs from the ids below the child");
      unite_into(ids, std::move(below));
    }
  }

  std::optional<std::string> error_;
  std::optional<std::size_t> leaf_depth_;
};

}  // namespace detail

template <std::size_t S>
std::optional<std::string> BasicBitMapBTree<S>::verify() const {
  if (!root_.present()) return "tree without a root";
  return detail::TreeVerifier<S>().run(root_);
}

extern template struct BasicLeafNode<kNodeSlots>;
extern template struct BasicInternalNode<kNodeSlots>;
extern template class BasicBitMapBTreeNode<kNodeSlots>;
extern template class BasicBitMapBTree<kNodeSlots>;

}  // namespace vostrel
