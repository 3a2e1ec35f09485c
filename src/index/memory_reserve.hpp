// A block of memory held back for the moment memory runs out.
//
// An operation that meets an allocation failure undoes what it did; undoing gives memory back in
// the end, but on the way it may need a little (a compressed bitmap that loses an id can need a
// new container). The reserve is given up first, so that the undoing finds room. CRoaring
// releases that let the system supply their allocator take their memory from the reserve too,
// when nothing else is left. The reserve is held again at the start of the next host call.
#pragma once

#include <cstddef>

namespace vostrel::memory {

/// Bytes held back.
inline constexpr std::size_t kReserveBytes = std::size_t{16} << 20;

/// Holds the reserve again if it was given up and memory allows; cheap when it is held.
void replenish_reserve() noexcept;
/// Gives the reserve up (to the allocations that follow).
void release_reserve() noexcept;
/// True while the reserve is held.
[[nodiscard]] bool reserve_held() noexcept;

/// Throws std::bad_alloc unless `bytes` could be allocated now: an operation about to need about
/// that much checks first, so that it fails before it changes anything rather than part way.
void expect_headroom(std::size_t bytes);

/// Routes CRoaring's allocations through the reserve (where the CRoaring release allows it);
/// done once, at start-up.
void install_roaring_allocator() noexcept;

}  // namespace vostrel::memory
