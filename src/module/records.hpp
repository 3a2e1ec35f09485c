// The instance layouts of the index classes, shared by the files that implement their methods.
#pragma once

#include "index/index.hpp"
#include "index/indexable.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {

using IndexInstance = Instance<Index>;
using IndexableInstance = Instance<Indexable>;

/// The Indexable behind an argument, or the argument error "'<type>' object cannot be converted to
/// 'Indexable'" under the parameter's name.
IndexableInstance* extract_indexable(std::string_view param, Handle obj);

}  // namespace vostrel::py
