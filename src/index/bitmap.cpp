// What the build knows of its CRoaring.
#include "index/bitmap.hpp"

// Releases from 1.0 on say which SIMD path they take; older ones lack the function, which the
// weak declaration then leaves null.
extern "C" __attribute__((weak)) int croaring_hardware_support(void);

namespace vostrel {

std::string roaring_version() {
  return std::to_string(ROARING_VERSION_MAJOR) + "." + std::to_string(ROARING_VERSION_MINOR) + "." +
         std::to_string(ROARING_VERSION_REVISION);
}

std::string_view roaring_simd() noexcept {
  if (!croaring_hardware_support) return "scalar";
  const int support = croaring_hardware_support();
  if (support & 2) return "AVX-512";
  if (support & 1) return "AVX2";
  return "scalar";
}

}  // namespace vostrel
