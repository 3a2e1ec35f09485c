// The ranged bitmap B-tree's node operations: making and releasing nodes, searching, moving
// slots, splitting, reading ids, and the range query's walk along the boundary paths.
// Included only through ranged_b_tree_impl.hpp.
#pragma once

#include <new>
#include <type_traits>

#include "index/ranged_b_tree.hpp"

namespace vostrel {

// ---------------------------------------------------------------------------------------------
// Allocation

template <std::size_t S>
typename BasicBitMapBTreeNode<S>::Ptr BasicBitMapBTreeNode<S>::make(std::size_t level, std::size_t offset) {
  static_assert(alignof(BasicBitMapBTreeNode) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  static_assert(std::is_nothrow_default_constructible_v<Children> &&
                std::is_nothrow_default_constructible_v<Bitmaps>);
  auto* bytes = static_cast<std::byte*>(::operator new(bytes_for(level)));
  auto* node = new (bytes) BasicBitMapBTreeNode(level, offset);
  if (level > 0) new (bytes + children_at()) Children();
  if (level >= Geometry::kFirstBitmapLevel) new (bytes + bitmaps_at()) Bitmaps();
  return Ptr(node);
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::Deleter::operator()(BasicBitMapBTreeNode* node) const noexcept {
  if (node->has_bitmaps()) node->bitmaps().~Bitmaps();
  if (!node->is_leaf()) node->children().~Children();
  node->~BasicBitMapBTreeNode();
  ::operator delete(static_cast<void*>(node));
}

template <std::size_t S>
typename BasicBitMapBTreeNode<S>::Children& BasicBitMapBTreeNode<S>::children() {
  if (is_leaf()) fatal("Missing child");
  return *std::launder(reinterpret_cast<Children*>(reinterpret_cast<std::byte*>(this) + children_at()));
}

template <std::size_t S>
const typename BasicBitMapBTreeNode<S>::Children& BasicBitMapBTreeNode<S>::children() const {
  return const_cast<BasicBitMapBTreeNode*>(this)->children();
}

template <std::size_t S>
typename BasicBitMapBTreeNode<S>::Bitmaps& BasicBitMapBTreeNode<S>::bitmaps() {
  if (!has_bitmaps()) fatal_missing_value();
  return *std::launder(reinterpret_cast<Bitmaps*>(reinterpret_cast<std::byte*>(this) + bitmaps_at()));
}

template <std::size_t S>
const typename BasicBitMapBTreeNode<S>::Bitmaps& BasicBitMapBTreeNode<S>::bitmaps() const {
  return const_cast<BasicBitMapBTreeNode*>(this)->bitmaps();
}

template <std::size_t S>
BasicBitMapBTreeNode<S>* BasicBitMapBTreeNode<S>::child(std::size_t i) const {
  if (i >= S) fatal_out_of_range();
  return children()[i].get();
}

template <std::size_t S>
BasicBitMapBTreeNode<S>& BasicBitMapBTreeNode<S>::child_at(std::size_t i) const {
  BasicBitMapBTreeNode* c = child(offset + i);
  if (!c) fatal("Missing child");
  return *c;
}

template <std::size_t S>
Bitmap& BasicBitMapBTreeNode<S>::child_bitmap(std::size_t slot, const BasicBitMapBTreeNode& below) {
  Bitmap* b = bitmaps().find(slot);
  if (!b) fatal(below.is_leaf() ? "Bitmap should be present for leaf" : "Bitmap should be present for internal");
  return *b;
}

// ---------------------------------------------------------------------------------------------
// Search and slot moves

template <std::size_t S>
SearchResult BasicBitMapBTreeNode<S>::search(Key128 key) const {
  // Probe base + size / 2 and move the base there unless the probe is greater, then compare
  // the entry at the base.
  // The probes read the run of keys from the second on directly; the first is read, and
  // checked, only when the search ends on it.
  if (len == 0) return {false, 0};
  // Nodes below the top few are seldom in the cache: the run's lines are asked for at once
  // rather than waited for one probe at a time.
  keys.prefetch(offset, offset + len);
  const Key128* from_second = len > 1 ? keys.run(offset + 1, offset + len) : nullptr;
  std::size_t base = 0;
  std::size_t size = len;
  while (size > 1) {
    const std::size_t half = size / 2;
    base = key < from_second[base + half - 1] ? base : base + half;
    size -= half;
  }
  const Key128 found = base == 0 ? key_at(0) : from_second[base - 1];
  if (found == key) return {true, base};
  return {false, found < key ? base + 1 : base};
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::shift_slots(std::size_t first, std::size_t end, std::ptrdiff_t distance) {
  keys.shift(first, end, distance);
  if (is_leaf()) return;
  if (has_bitmaps()) bitmaps().shift(first, end, distance);
  Children& c = children();
  if (distance > 0)
    std::move_backward(c.begin() + first, c.begin() + end, c.begin() + end + distance);
  else
    std::move(c.begin() + first, c.begin() + end, c.begin() + first + distance);
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::shift_right(std::size_t first, std::size_t end, std::size_t distance) {
  if (end > first && end - 1 + distance >= S) fatal_out_of_range();
  shift_slots(first, end, static_cast<std::ptrdiff_t>(distance));
  if (offset == first) offset += distance;
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::move_run(std::size_t target) {
  if (target + len > S) fatal_out_of_range();
  shift_slots(offset, offset + len, static_cast<std::ptrdiff_t>(target) - static_cast<std::ptrdiff_t>(offset));
  offset = target;
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::recenter() {
  move_run(Geometry::recenter_target(len));
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::insert_at(std::size_t p, Key128 key) {
  if (p > len) fatal_out_of_range();
  // The shorter side moves: the keys before the insertion point one slot left when there is
  // room, else the keys from it one slot right.
  if (offset > 0 && p < len / 2) {
    shift_slots(offset, offset + p, -1);
    --offset;
  } else {
    if (offset + len >= S) fatal_out_of_range();
    shift_slots(offset + p, offset + len, 1);
  }
  keys.put(offset + p, key);
  ++len;
  if (offset == 0 || offset + len == S) recenter();
}

template <std::size_t S>
Key128 BasicBitMapBTreeNode<S>::split(std::size_t s, BasicBitMapBTreeNode& right) {
  if (s == 0 || s >= len || right.len != 0 || right.level != level) fatal_out_of_range();
  const std::size_t moved = len - s;
  if (right.offset + moved >= S) fatal_out_of_range();
  keys.move_to(offset + s, offset + len, right.keys, right.offset);
  if (!is_leaf()) {
    Children& from = children();
    std::move(from.begin() + offset + s, from.begin() + offset + len, right.children().begin() + right.offset);
    if (has_bitmaps()) bitmaps().move_to(offset + s, offset + len, right.bitmaps(), right.offset);
  }
  right.len = moved;
  len = s;
  const Key128* first = right.keys.find(right.offset);
  if (!first) fatal("invalid offset");
  return *first;
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::open_slot_after(std::size_t c) {
  const std::size_t at = c + 1;
  if (offset > 0 && at < len / 2) {
    shift_slots(offset, offset + at, -1);
    --offset;
  } else {
    shift_right(offset + at, offset + len, 1);
  }
  ++len;
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::close_slot(std::size_t slot) {
  const std::size_t p = slot - offset;
  keys.clear(slot);
  if (!is_leaf()) {
    children()[slot].reset();
    if (has_bitmaps()) bitmaps().clear(slot);
  }
  if (p >= len / 2) {
    shift_slots(slot + 1, offset + len, -1);
  } else {
    shift_slots(offset, slot, 1);
    ++offset;
  }
  --len;
}

// ---------------------------------------------------------------------------------------------
// Reading ids

template <std::size_t S>
void BasicBitMapBTreeNode<S>::append_ids(std::size_t from, std::size_t to, std::vector<Id>& out) const {
  if (is_leaf()) {
    for (std::size_t i = from; i < to; ++i) out.push_back(key_id(key_at(i)));
  } else {
    for (std::size_t i = from; i < to; ++i) {
      const BasicBitMapBTreeNode& c = child_at(i);
      c.append_ids(0, c.len, out);
    }
  }
}

template <std::size_t S>
Bitmap BasicBitMapBTreeNode<S>::ids_of(std::size_t from, std::size_t to) const {
  if (has_bitmaps()) {
    std::array<const Bitmap*, S> parts{};
    std::size_t n = 0;
    for (std::size_t i = from; i < to; ++i) parts[n++] = &bitmaps().get(offset + i);
    return Bitmap::or_many_or_throw(std::span<const Bitmap* const>(parts.data(), n));
  }
  std::vector<Id> ids;
  std::vector<Id> space;
  append_ids(from, to, ids);
  detail::sort_ids(ids, space);
  return Bitmap::of_sorted_or_throw(ids);
}

template <std::size_t S>
bool BasicBitMapBTreeNode<S>::holds_nothing() const {
  if (is_leaf()) return len == 0;
  return len == 0 || (len == 1 && child_at(0).holds_nothing());
}

// ---------------------------------------------------------------------------------------------
// Range queries

template <std::size_t S>
std::size_t BasicBitMapBTreeNode<S>::get_key_index_by_prefix(Key128 prefix, KeyIndexMode mode) const {
  auto prefix_at = [this](std::size_t i) { return key_prefix(key_at(i)); };
  // The binary search of `search`, over the prefixes alone.
  std::size_t i = 0;
  bool found = false;
  if (len > 0) {
    std::size_t size = len;
    while (size > 1) {
      const std::size_t half = size / 2;
      if (!(prefix < prefix_at(i + half))) i += half;
      size -= half;
    }
    const Key128 at = prefix_at(i);
    found = at == prefix;
    if (!found && at < prefix) ++i;
  }
  if (!found) return i == 0 ? 0 : i - 1;
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
Bitmap BasicBitMapBTreeNode<S>::query_range(const Bound& lower, const Bound& upper, const Bitmap& admissible,
                                            RangeQueryTrace* trace) const {
  if (admissible.is_empty()) return Bitmap();
  detail::RangeParts parts;
  collect_range(PrefixBound(lower), PrefixBound(upper), parts, trace, 0);
  return parts.finish(admissible);
}

template <std::size_t S>
void BasicBitMapBTreeNode<S>::collect_range(const PrefixBound& lower, const PrefixBound& upper,
                                            detail::RangeParts& parts, RangeQueryTrace* trace,
                                            std::size_t depth) const {
  if (trace) trace->enter(depth);
  keys.prefetch(offset, offset + len);
  if (is_leaf()) {
    // The keys below the lower bound form a prefix of the run: skip it by bisection.
    std::size_t below = 0;
    for (std::size_t size = len; size > 0;) {
      const std::size_t half = size / 2;
      if (lower.below_lower(key_prefix(key_at(below + half)))) {
        below += half + 1;
        size -= half + 1;
      } else {
        size = half;
      }
    }
    for (std::size_t i = below; i < len; ++i) {
      const Key128 k = key_at(i);
      if (!upper.within_upper(key_prefix(k))) break;
      parts.add_id(key_id(k));
    }
    return;
  }
  const std::size_t first = lower.unbounded() ? 0 : get_key_index_by_prefix(lower.prefix, lower.lower_mode());
  const std::size_t last = upper.unbounded() ? len : get_key_index_by_prefix(upper.prefix, upper.upper_mode());
  // Every child before `first` lies below the lower bound and every child after `last` above
  // the upper one, so a lower bound beyond the upper one leaves nothing to find here.
  if (first > last) return;
  // A boundary child that is not also the other boundary lies wholly on the inner side of the
  // other bound, so it is entered with that side unbounded; a first child with no lower limit
  // that is not also the last lies wholly inside and is answered like the children between.
  // Either way only the two boundary paths are entered.
  const bool apart = first < last;
  const PrefixBound open;
  // A child wholly inside the range is answered from its slot bitmap without being entered,
  // or, when it is a leaf, from its keys.
  auto whole_child = [&](std::size_t i) {
    if (has_bitmaps()) {
      const Bitmap& b = bitmaps().get(offset + i);
      if (!b.is_empty()) parts.add_whole(b);
      if (trace) ++trace->children_from_bitmaps;
    } else {
      const BasicBitMapBTreeNode& leaf = child_at(i);
      parts.reserve_more(leaf.len);
      for (std::size_t k = 0; k < leaf.len; ++k) parts.add_id(key_id(leaf.key_at(k)));
      if (trace) ++trace->leaves_read_whole;
    }
  };
  if (apart && lower.unbounded())
    whole_child(first);
  else if (first < len)
    child_at(first).collect_range(lower, apart ? open : upper, parts, trace, depth + 1);
  for (std::size_t i = first + 1; i < last; ++i) whole_child(i);
  if (apart && last < len) child_at(last).collect_range(open, upper, parts, trace, depth + 1);
}

// ---------------------------------------------------------------------------------------------
// Copies and sizes

template <std::size_t S>
typename BasicBitMapBTreeNode<S>::Ptr BasicBitMapBTreeNode<S>::clone() const {
  Ptr copy = make(level, offset);
  copy->keys = keys;
  copy->len = len;
  if (!is_leaf()) {
    for (std::size_t i = 0; i < len; ++i) {
      copy->children()[offset + i] = child_at(i).clone();
      if (has_bitmaps()) copy->bitmaps().put(offset + i, bitmaps().get(offset + i).clone_or_throw());
    }
  }
  return copy;
}

template <std::size_t S>
std::size_t BasicBitMapBTreeNode<S>::memory_bytes() const {
  std::size_t bytes = bytes_for(level);
  if (is_leaf()) return bytes;
  for (std::size_t i = 0; i < len; ++i) {
    bytes += child_at(i).memory_bytes();
    if (has_bitmaps()) bytes += bitmaps().get(offset + i).memory_bytes();
  }
  return bytes;
}

}  // namespace vostrel
