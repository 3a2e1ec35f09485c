// Stand-in for the module layer's host functions, for core tests without an interpreter: fake host
// objects that count their references and may carry the text of a string.
#pragma once

#include <string_view>

#include "index/host_ref.hpp"

namespace vostrel::test {

/// A new fake host object holding one reference, owned by the caller; `text` is what
/// `host::str_text` reads from it. The core never reads a fake object; only this stand-in does.
HostObject* new_object(std::string_view text = {});
/// One more reference to `obj`, for the caller.
HostObject* new_ref(HostObject* obj) noexcept;
/// References `obj` holds now.
long refs(HostObject* obj) noexcept;
/// References held over all fake objects: equal counts before and after a run mean that nothing
/// leaked and nothing was released twice.
long live_refs() noexcept;
/// Releases of an object that held no reference any more.
long bad_releases() noexcept;

}  // namespace vostrel::test
