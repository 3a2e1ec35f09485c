// Assembling a range query's answer: sorting ids, uniting the parts noted along the boundary
// paths, and intersecting them with the admissible set once.
#include "index/range_parts.hpp"

#include <algorithm>
#include <array>
#include <limits>

namespace vostrel {

namespace detail {

namespace {

// A radix sort takes digits of `Bits` bits, one pass per digit; a pass whose digit is the same
// for every id (the top digits of small ids) is skipped. Each pass clears and sums a table of
// 2**Bits counters whatever the number of ids, so few ids take narrow digits and many take
// wide ones, which need fewer passes.
constexpr unsigned kNarrowDigitBits = 8;
constexpr unsigned kWideDigitBits = 11;  // 2048 counters per pass stay in the first-level cache
// Below this many ids a comparison sort beats even the narrow digits' counters.
constexpr std::size_t kRadixSortMinIds = 64;
// From this many ids on, the wide digits' larger tables cost less than the passes they save.
constexpr std::size_t kWideDigitsMinIds = 1024;

template <unsigned Bits>
void radix_sort(std::vector<Id>& ids, std::vector<Id>& scratch) {
  constexpr unsigned kPasses = (sizeof(Id) * 8 + Bits - 1) / Bits;
  constexpr std::size_t kBuckets = std::size_t{1} << Bits;
  constexpr Id kMask = static_cast<Id>(kBuckets - 1);
  const std::size_t n = ids.size();
  std::array<std::array<std::uint32_t, kBuckets>, kPasses> counts{};
  for (const Id id : ids)
    for (unsigned d = 0; d < kPasses; ++d) ++counts[d][(id >> (d * Bits)) & kMask];
  scratch.resize(n);
  Id* from = ids.data();
  Id* to = scratch.data();
  for (unsigned d = 0; d < kPasses; ++d) {
    const unsigned shift = d * Bits;
    auto& c = counts[d];
    if (c[(from[0] >> shift) & kMask] == n) continue;
    std::uint32_t start = 0;
    for (std::uint32_t& count : c) start += std::exchange(count, start);
    for (std::size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & kMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != ids.data()) std::copy(from, from + n, ids.data());
}

constexpr unsigned kChunkBits = 16;
// An answer averaging this many ids per chunk it spans is mostly bitset chunks, which unite
// word by word: its bitmaps are united as they are.
constexpr std::uint64_t kUniteBitmapsMinIdsPerChunk = 2048;
// The admissible ids are read against a bitset of the answer's ids while they number at most
// this many per id (each costs one probe) and the bitset takes at most this many bits per id
// read (clearing it costs one word per 64 bits).
constexpr std::uint64_t kFilterMaxAdmissiblePerId = 4;
constexpr std::uint64_t kFilterMaxBitsPerId = 256;

}  // namespace

void sort_ids(std::vector<Id>& ids, std::vector<Id>& space) {
  if (std::is_sorted(ids.begin(), ids.end())) return;
  if (ids.size() < kRadixSortMinIds)
    std::sort(ids.begin(), ids.end());
  else if (ids.size() < kWideDigitsMinIds)
    radix_sort<kNarrowDigitBits>(ids, space);
  else
    radix_sort<kWideDigitBits>(ids, space);
}

Bitmap RangeParts::finish(const Bitmap& admissible) {
  std::vector<Id>& ids = s_.ids;
  std::vector<const Bitmap*>& whole = s_.whole;
  if (admissible.is_empty() || (ids.empty() && whole.empty())) return Bitmap();
  Id lo = std::numeric_limits<Id>::max();
  Id hi = 0;
  for (const Id id : ids) {
    lo = std::min(lo, id);
    hi = std::max(hi, id);
  }
  std::uint64_t total = ids.size();
  std::vector<std::uint64_t>& sizes = s_.sizes;
  for (const Bitmap* b : whole) {
    sizes.push_back(b->cardinality());
    total += sizes.back();
    lo = std::min(lo, b->minimum());
    hi = std::max(hi, b->maximum());
  }
  const std::uint64_t chunks = (hi >> kChunkBits) - (lo >> kChunkBits) + 1;
  if (!whole.empty() && total / chunks >= kUniteBitmapsMinIdsPerChunk) {
    Bitmap result = unite();
    result.and_inplace(admissible);
    return result;
  }
  std::size_t at = ids.size();
  ids.resize(total);
  for (std::size_t i = 0; i < whole.size(); ++i) {
    whole[i]->copy_to(ids.data() + at);
    at += sizes[i];
  }
  // Unless every id of [lo, hi] is admissible, the admissible ids are taken out of the answer.
  // When the admissible ids of [lo, hi] are not many more than the answer's (as estimated from
  // the admissible set's density), the answer's ids are marked in a bitset over [lo, hi] and the
  // admissible ones read against it: no sorting, and the answer comes out in order.
  const bool all_admissible = admissible.contains_range(lo, hi);
  const std::uint64_t span = std::uint64_t{hi} - lo + 1;
  if (!all_admissible) {
    const std::uint64_t admissible_span = std::uint64_t{admissible.maximum()} - admissible.minimum() + 1;
    const auto candidates = static_cast<std::uint64_t>(static_cast<double>(admissible.cardinality()) *
                                                       static_cast<double>(span) /
                                                       static_cast<double>(admissible_span));
    if (candidates <= kFilterMaxAdmissiblePerId * ids.size() &&
        span <= kFilterMaxBitsPerId * (ids.size() + candidates))
      return filter(admissible, lo, hi);
  }
  sort_ids(ids, s_.more);
  Bitmap result = Bitmap::of_sorted_or_throw(ids);
  if (!all_admissible) result.and_inplace(admissible);
  return result;
}

Bitmap RangeParts::unite() {
  std::vector<const Bitmap*>& whole = s_.whole;
  // Up to this many bitmaps are united one by one; more in one pass. Each pairwise union
  // rewrites the growing result, while a single pass first builds every touched chunk as a
  // dense bitset, which pays only when many parts meet.
  constexpr std::size_t kPairwiseUnionParts = 4;
  sort_ids(s_.ids, s_.more);
  Bitmap loose = Bitmap::of_sorted_or_throw(s_.ids);
  if (whole.size() < kPairwiseUnionParts) {
    for (const Bitmap* b : whole) {
      if (loose.is_empty())
        loose = b->clone_or_throw();
      else
        loose.or_inplace(*b);
    }
    return loose;
  }
  whole.push_back(&loose);
  return Bitmap::or_many_or_throw(whole);
}

Bitmap RangeParts::filter(const Bitmap& admissible, Id lo, Id hi) {
  std::vector<std::uint64_t>& marks = s_.marks;
  marks.assign((std::uint64_t{hi} - lo) / 64 + 1, 0);
  for (const Id id : s_.ids) {
    const Id at = id - lo;
    marks[at >> 6] |= std::uint64_t{1} << (at & 63);
  }
  std::vector<Id>& kept = s_.more;
  kept.clear();
  admissible.append_range(lo, hi, kept);
  std::size_t n = 0;
  for (const Id id : kept) {
    const Id at = id - lo;
    kept[n] = id;
    n += (marks[at >> 6] >> (at & 63)) & 1;
  }
  kept.resize(n);
  return Bitmap::of_sorted_or_throw(kept);
}

}  // namespace detail

}  // namespace vostrel
