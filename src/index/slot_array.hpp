// Fixed arrays of slots, each empty or holding a value: the key and bitmap slots of the ranged
// bitmap B-tree's nodes. Emptiness is one flag per slot, so a value type needs no empty state;
// the flags of all slots fit one 128-bit word, so blocks of them move in a few instructions.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "index/fatal.hpp"

namespace vostrel {

template <class T, std::size_t N>
class SlotArray {
  static_assert(N <= 128, "the flags of all slots fit one 128-bit word");
  using Flags = unsigned __int128;

 public:
  [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }

  [[nodiscard]] bool has(std::size_t i) const {
    check(i);
    return (used_ >> i) & 1;
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
    used_ |= Flags{1} << i;
  }
  /// Empties slot i, releasing what it held.
  void clear(std::size_t i) {
    check(i);
    release(i);
    used_ &= ~(Flags{1} << i);
  }

  /// Moves slots [first, end), full or empty, `distance` slots along (left when negative) as one
  /// block: a destination slot takes its source's state, releasing what it held; a source slot
  /// that no other one overwrites empties.
  void shift(std::size_t first, std::size_t end, std::ptrdiff_t distance) {
    if (first >= end || distance == 0) return;
    const std::size_t to = first + static_cast<std::size_t>(distance);
    check_block(first, end);
    check_block(to, to + (end - first));
    const Flags moved = used_ & mask(first, end);
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memmove(static_cast<void*>(&values_[to]), &values_[first], (end - first) * sizeof(T));
    } else if (distance > 0) {
      std::move_backward(values_.begin() + first, values_.begin() + end, values_.begin() + to + (end - first));
    } else {
      std::move(values_.begin() + first, values_.begin() + end, values_.begin() + to);
    }
    used_ &= ~(mask(first, end) | mask(to, to + (end - first)));
    used_ |= distance > 0 ? moved << distance : moved >> -distance;
  }

  /// Moves slots [first, end), full or empty, onto the slots of `other` from `to` on; the
  /// sources empty.
  void move_to(std::size_t first, std::size_t end, SlotArray& other, std::size_t to) {
    if (first >= end) return;
    check_block(first, end);
    other.check_block(to, to + (end - first));
    for (std::size_t i = first; i < end; ++i) {
      other.values_[to + i - first] = std::move(values_[i]);
      release(i);
    }
    const Flags moved = used_ & mask(first, end);
    other.used_ = (other.used_ & ~mask(to, to + (end - first))) | (to >= first ? moved << (to - first) : moved >> (first - to));
    used_ &= ~mask(first, end);
  }

  /// The values of slots [first, end), which must all be full (the missing-value error
  /// otherwise), as one array.
  [[nodiscard]] const T* run(std::size_t first, std::size_t end) const {
    check_block(first, end);
    if ((used_ & mask(first, end)) != mask(first, end)) fatal_missing_value();
    return values_.data() + first;
  }

  /// True when exactly the slots [first, end) are full.
  [[nodiscard]] bool occupied_exactly(std::size_t first, std::size_t end) const noexcept {
    return first <= end && end <= N && used_ == mask(first, end);
  }
  /// The number of full slots.
  [[nodiscard]] std::size_t count() const noexcept {
    return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(used_)) +
                                    std::popcount(static_cast<std::uint64_t>(used_ >> 64)));
  }

  /// Asks for the values of slots [first, end) to be loaded, so that a search that follows
  /// finds them in cache instead of waiting for each probe in turn.
  void prefetch(std::size_t first, std::size_t end) const noexcept {
    constexpr std::size_t kPerLine = 64 / sizeof(T) > 0 ? 64 / sizeof(T) : 1;
    for (std::size_t i = first; i < end && i < N; i += kPerLine) __builtin_prefetch(&values_[i]);
  }

 private:
  static void check(std::size_t i) {
    if (i >= N) fatal_out_of_range();
  }
  static void check_block(std::size_t first, std::size_t end) {
    if (first > end || end > N) fatal_out_of_range();
  }
  static Flags mask(std::size_t first, std::size_t end) noexcept {
    if (first >= end) return 0;
    return (~Flags{0} >> (128 - (end - first))) << first;
  }
  /// Drops what slot i holds; plain values stay, as the flag alone says whether they count.
  void release(std::size_t i) {
    if constexpr (!std::is_trivially_copyable_v<T>) values_[i] = T();
  }

  std::array<T, N> values_{};
  Flags used_ = 0;
};

}  // namespace vostrel
