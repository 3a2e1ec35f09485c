// Assembling a range query's answer: the ids read from boundary leaves and the bitmaps of the
// children wholly inside the range are noted as they are met, then united once and intersected
// with the admissible set once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/bitmap.hpp"

namespace vostrel {

/// What a range query touched, for tests and diagnostics: nodes entered at each depth (the
/// root is depth 0), children answered from their slot bitmaps without being entered, and
/// leaves between the boundary paths whose keys were read whole instead.
struct RangeQueryTrace {
  std::vector<std::size_t> nodes_per_depth;
  std::size_t children_from_bitmaps = 0;
  std::size_t leaves_read_whole = 0;

  void enter(std::size_t depth) {
    if (nodes_per_depth.size() <= depth) nodes_per_depth.resize(depth + 1, 0);
    ++nodes_per_depth[depth];
  }
};

namespace detail {

/// Sorts ids ascending, using `space` as room: nothing when they already ascend (ids handed
/// out in value order come from the leaves in order), a comparison sort for few, a radix sort
/// for many.
void sort_ids(std::vector<Id>& ids, std::vector<Id>& space);

/// The buffers a range query works in.
struct RangeScratch {
  std::vector<Id> ids;               // the ids read from leaf keys, then from sparse bitmaps
  std::vector<Id> more;              // a second run of ids: sorting space, admissible ids
  std::vector<std::uint64_t> marks;  // a bitset over the answer's id span
  std::vector<const Bitmap*> whole;  // bitmaps of the children wholly inside the range
  std::vector<std::uint64_t> sizes;  // their cardinalities, once counted
};

/// A range query's answer before the admissible set is applied: the ids of leaf keys within
/// the range, and the slot bitmaps of the children wholly inside it. Uniting them once and
/// intersecting once gives the same ids as intersecting each part with the admissible set and
/// uniting the results, and costs far less.
class RangeParts {
 public:
  RangeParts() = default;
  RangeParts(const RangeParts&) = delete;
  RangeParts& operator=(const RangeParts&) = delete;

  /// Notes an id read from a leaf key.
  void add_id(Id id) { s_.ids.push_back(id); }
  /// Makes room for `n` more ids, so that a leaf read whole appends without growing.
  void reserve_more(std::size_t n) { s_.ids.reserve(s_.ids.size() + n); }
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

}  // namespace detail
}  // namespace vostrel
