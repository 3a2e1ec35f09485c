// Fatal internal errors: broken invariants and exhausted resources that stop an operation.
//
// A FatalError carries its message text and where it arose. Raising one writes a short report
// to standard error; the host call wrapper turns it into the host's PanicException. It is a
// different type from the "a host exception is set" signal of the module layer.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace vostrel {

class FatalError : public std::exception {
 public:
  FatalError(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Texts of the internal errors that carry no message of their own.
inline constexpr std::string_view kMissingValue = "internal error: a value that must be present is missing";
inline constexpr std::string_view kOutOfRange = "internal error: index out of range";
inline constexpr std::string_view kFailedConversion = "internal error: a conversion that must succeed failed";
inline constexpr std::string_view kPoisonedLock = "internal error: lock poisoned by an earlier failure";
inline constexpr std::string_view kGenericFailure = "internal error in native code";

/// Reports the failure on standard error and throws FatalError.
[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current());

/// A lookup that must succeed found nothing.
[[noreturn]] inline void fatal_missing_value(
    std::source_location where = std::source_location::current()) {
  fatal(kMissingValue, where);
}
/// An index beyond the end of an array.
[[noreturn]] inline void fatal_out_of_range(
    std::source_location where = std::source_location::current()) {
  fatal(kOutOfRange, where);
}
/// A conversion that must succeed failed.
[[noreturn]] inline void fatal_failed_conversion(
    std::source_location where = std::source_location::current()) {
  fatal(kFailedConversion, where);
}

/// Fails with `message` unless `condition` holds.
inline void expect(bool condition, std::string_view message,
                   std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]]
    fatal(message, where);
}

}  // namespace vostrel
