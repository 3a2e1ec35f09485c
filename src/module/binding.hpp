// Argument binding: matches a call's positional count and keyword names to a fixed parameter list.
//
// This part knows nothing of the interpreter, so it is unit-tested on its own; `call.hpp` feeds it
// the names of a real call and fetches the bound objects.
#pragma once

#include <array>
#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vostrel::binding {

inline constexpr std::size_t kMaxParams = 8;  // the most parameters a signature may have

/// A function's or method's parameter list.
struct Signature {
  std::string_view function;                        // "sum_as_string", "reduced"
  std::string_view owner;                           // class name, empty for module functions
  std::span<const std::string_view> positional;     // positional-or-keyword parameters, in order
  std::size_t required = 0;                         // the first `required` positional ones
  std::size_t positional_only = 0;                  // the first `positional_only` refuse keywords
  std::span<const std::string_view> keyword_only;   // keyword-only parameters
  bool keyword_only_optional = false;               // they may be left out (else all are required)
  bool varargs = false;                             // surplus positional arguments are collected
  bool varkw = false;                               // unknown keywords are collected

  /// "Class.method()" or "function()".
  [[nodiscard]] std::string display() const;
  [[nodiscard]] std::size_t param_count() const { return positional.size() + keyword_only.size(); }
};

/// Where each parameter's value comes from.
struct Binding {
  static constexpr std::int32_t kUnfilled = -1;
  /// Per parameter (positional, then keyword-only): index of the positional argument (>= 0), or
  /// kKeyword + k for the k-th keyword argument, or kUnfilled.
  std::array<std::int32_t, kMaxParams> source{};
  static constexpr std::int32_t kKeyword = 1 << 24;
  /// Number of positional arguments bound to parameters; the rest go to the variadic parameter.
  std::size_t positional_bound = 0;
  /// Per keyword argument: true when it goes to the keyword dictionary.
  boost::container::small_vector<bool, 8> keyword_extra;
};

/// Binds a call with `nargs` positional arguments and the given keyword names. Returns the
/// TypeError message when the call does not fit the signature.
[[nodiscard]] std::optional<std::string> bind_call(const Signature& sig, std::size_t nargs,
                                              std::span<const std::string_view> keywords,
                                              Binding& out);

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
[[nodiscard]] std::string quoted_list(std::span<const std::string_view> names);

}  // namespace vostrel::binding
