// A block of memory held back for the moment memory runs out.
//
// An operation that changes an index, or builds bitmaps, starts only with the reserve in hand
// (else it fails at once with std::bad_alloc, before it changes anything). On the way, CRoaring
// releases that let the system supply their allocator take their memory from the reserve when
// nothing else is left: CRoaring does not check all of its own allocations, so this is what keeps
// it from failing inside. An operation that meets an allocation failure of its own undoes what it
// did; undoing gives memory back in the end, but on the way it may need a little (a compressed
// bitmap that loses an id can need a new container), so the reserve is given up first. The
// reserve is held again at the start of the next host call, memory allowing.
#pragma once

#include <cstddef>

namespace vostrel::memory {

/// Bytes held back.
inline constexpr std::size_t kReserveBytes = std::size_t{16} << 20;

/// Holds the reserve again if it was given up and memory allows; cheap when it is held. True
/// when it is held.
bool replenish_reserve() noexcept;
/// Throws std::bad_alloc unless the reserve is held (taking it again if it was given up): an
/// operation that changes an index, or builds bitmaps, starts only with the reserve in hand, so
/// that what CRoaring allocates on the way finds room (see install_roaring_allocator).
void expect_reserve();
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
