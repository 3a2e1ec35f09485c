// What the fuzz targets share: reading the input bytes as a stream of small decisions, and
// stopping the run with a message when a result differs from the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "index/fatal.hpp"

namespace vostrel::fuzz {

/// The input bytes, read front to back; once they run out every read yields zero, so a
/// decoder never fails and each operation that reads its opcode ends the run in time.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] bool exhausted() const noexcept { return pos_ >= size_; }
  std::uint8_t byte() noexcept { return exhausted() ? 0 : data_[pos_++]; }
  std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(byte() | byte() << 8); }
  std::uint32_t u32() noexcept { return u16() | static_cast<std::uint32_t>(u16()) << 16; }
  std::uint64_t u64() noexcept { return u32() | static_cast<std::uint64_t>(u32()) << 32; }
  /// A number in [0, n) for a small n.
  std::size_t below(std::size_t n) noexcept { return n <= 256 ? byte() % n : u16() % n; }
  /// One entry of a fixed table.
  template <class T, std::size_t N>
  const T& pick(const T (&table)[N]) noexcept {
    return table[below(N)];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

/// Reports a finding on standard error and stops the run, so that libFuzzer keeps the input.
[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::fflush(stderr);
  __builtin_trap();
}

/// Stops the run with `what` unless `ok` holds.
inline void require(bool ok, const char* what) {
  if (!ok) [[unlikely]]
    finding(what);
}

/// The message of the fatal internal error that f() raises, or nothing when it returns.
template <class F>
std::optional<std::string> fatal_message_of(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return std::nullopt;
}

/// Runs one input; a fatal internal error or any other exception that escapes is a finding.
template <class F>
int run_one(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    finding("unexpected fatal error \"" + e.message() + "\" at " + e.where().file_name() + ":" +
            std::to_string(e.where().line()));
  } catch (const std::exception& e) {
    finding(std::string("unexpected exception: ") + e.what());
  }
  return 0;
}

}  // namespace vostrel::fuzz
