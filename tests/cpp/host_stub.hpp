// Stand-in for the module layer's release of host references, for core tests without an interpreter.
#pragma once

#include <cstddef>

#include "index/host_ref.hpp"

namespace vostrel::test {

/// Number of host references released so far through `host::release` (null ones excluded).
std::size_t host_release_count() noexcept;

/// Number of host references taken so far through `host::retain` (null ones excluded).
std::size_t host_retain_count() noexcept;

/// A distinct fake host object pointer, never dereferenced: tests use its address only.
HostObject* fake_host_object(std::size_t n) noexcept;

/// The same count, as the older tests read it.
long released_host_refs() noexcept;

}  // namespace vostrel::test
