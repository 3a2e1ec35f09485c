// An object as an index's store holds it: a strong reference that keeps the object alive.
#pragma once

#include "index/host_ref.hpp"

namespace vostrel {

/// One store slot: the stored object, or nothing for an empty slot. Each slot owns a reference of
/// its own, so reading an object out of the store is one array access and no further hop.
struct StoredItem {
  OwnedHostRef object;

  /// The item of a stored object, taking over one host reference to it.
  [[nodiscard]] static StoredItem adopt(HostObject* obj) noexcept { return StoredItem{OwnedHostRef::adopt(obj)}; }
  /// True when the slot holds an object.
  [[nodiscard]] explicit operator bool() const noexcept { return static_cast<bool>(object); }
  /// A second item for the same object (for another store); needs the interpreter lock.
  [[nodiscard]] StoredItem share() const noexcept { return StoredItem{object.share()}; }
};

static_assert(sizeof(StoredItem) == sizeof(void*), "a store slot is one pointer");

}  // namespace vostrel
