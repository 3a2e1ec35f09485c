// Stand-in for the host layer in core tests.
#pragma once

namespace vostrel::test {
/// Host references released so far by the core (through SharedHostRef) in this test process.
long released_host_refs() noexcept;
}  // namespace vostrel::test
