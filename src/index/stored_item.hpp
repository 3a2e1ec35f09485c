// An object as an index's store holds it: a shared strong reference that keeps the object alive.
#pragma once

#include "index/host_ref.hpp"

namespace vostrel {

/// Copies share one host reference; the last one gone releases it (deferred without the lock).
struct StoredItem {
  SharedHostRef object;
};

}  // namespace vostrel
