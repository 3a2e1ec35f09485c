// Helpers shared by the core tests: fatal error texts, values with the hashes the host gives them,
// and allocations made to fail.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "host_stub.hpp"
#include "index/fatal.hpp"
#include "index/query_map.hpp"
#include "index/value.hpp"

namespace vostrel::test {

/// " n": a number after a space.
inline std::string spaced(std::uint64_t n) {
  std::string out(1, ' ');
  out += std::to_string(n);
  return out;
}

/// The message of the fatal internal error that f() raises, or "(no failure)".
inline std::string fatal_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "(no failure)";
}

// Values as the host makes them, each with a fake object of its own. An int is its own hash
// except -1, which hashes as -2; a float equal to an int hashes as that int; every NaN hashes
// apart; `other_value` is anything else (True, None, a tuple) with the hash given.
inline std::uint64_t int_hash(std::int64_t n) { return static_cast<std::uint64_t>(n == -1 ? -2 : n); }
inline PyValue int_value(std::int64_t n) { return PyValue::adopt_int(new_object(), int_hash(n), n); }
inline PyValue float_value(double x) {
  static std::uint64_t nan_hashes = 0x7ff8000000000000ULL;
  std::uint64_t h;
  if (std::isnan(x)) {
    h = ++nan_hashes;
  } else if (std::isinf(x)) {
    h = x > 0 ? 314159 : static_cast<std::uint64_t>(-314159);
  } else if (x == std::trunc(x) && std::fabs(x) < 1e18) {
    h = int_hash(static_cast<std::int64_t>(x));
  } else {
    h = std::bit_cast<std::uint64_t>(x) * 0x9e3779b97f4a7c15ULL;
  }
  return PyValue::adopt_float(new_object(), h, x);
}
inline std::uint64_t str_hash(std::string_view s) { return std::hash<std::string_view>{}(s) | 1ULL << 62; }
inline PyValue str_value(std::string_view s) { return PyValue::adopt(new_object(s), ValueKind::Str, str_hash(s), 0); }
inline PyValue other_value(std::uint64_t hash) { return PyValue::adopt(new_object(), ValueKind::Unknown, hash, 0); }

/// The tree position of a number as text: its ordered prefix in hex.
inline std::string prefix_text(Key128 prefix) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%llx:%016llx", static_cast<unsigned long long>(prefix >> 64),
                static_cast<unsigned long long>(prefix));
  return buf;
}

/// What a value map holds, as text: each host hash with its ids (ascending), the tree's pairs as
/// (position, id) in key order, the holders and how many of them hold no number. Two maps that answer every query alike give the
/// same text.
inline std::string map_text(const QueryMap& map) {
  std::map<std::uint64_t, std::vector<Id>> sets;
  for (const auto& [hash, set] : map.value_sets) {
    std::vector<Id> ids = set.to_vector();
    std::sort(ids.begin(), ids.end());
    sets[hash] = ids;
  }
  std::string out;
  for (const auto& [hash, ids] : sets) {
    out += std::to_string(hash) + ":";
    for (Id id : ids) out += spaced(id);
    out += "\n";
  }
  out += "tree:";
  map.range_tree.for_each_key(
      [&](Key128 k) { out += " " + prefix_text(key_prefix(k)) + "/" + std::to_string(static_cast<Id>(k)); });
  out += "\nholders:";
  for (Id id : map.holders.to_vector()) out += spaced(id);
  return out + "\nothers: " + std::to_string(map.others) + "\n";
}

/// Makes this thread's allocations through operator new fail with std::bad_alloc (null for the
/// non-throwing forms) once `succeeding` more have been made: every one after that while
/// `persistent`, only that one otherwise. Ends with the guard.
class FailingAllocations {
 public:
  FailingAllocations(long succeeding, bool persistent);
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
  /// True once an allocation failed.
  [[nodiscard]] static bool failed() noexcept;
};

/// Runs `op` with allocations failing from the first on, then from the second on, and so on, until
/// it succeeds; `after_failure(n)` checks the state after each failure. Returns how many failures
/// it made (`op` must give up by throwing std::bad_alloc).
template <class Op, class Check>
long fail_each_allocation(Op&& op, Check&& after_failure, bool persistent = true) {
  constexpr long kMaxAllocations = 100000;
  for (long n = 0; n < kMaxAllocations; ++n) {
    bool threw = false;
    {
      FailingAllocations failing(n, persistent);
      try {
        op();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    }
    if (!threw) return n;
    after_failure(n);
  }
  return kMaxAllocations;
}

}  // namespace vostrel::test
