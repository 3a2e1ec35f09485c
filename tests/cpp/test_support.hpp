// Helpers shared by the core tests.
#pragma once

#include <functional>
#include <string>

#include "index/fatal.hpp"

namespace vostrel::test {

/// The message of the fatal internal error that f() raises, or "(no failure)".
inline std::string fatal_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "(no failure)";
}

}  // namespace vostrel::test
