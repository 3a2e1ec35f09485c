// The ranged bitmap B-tree at its designed node size.
#include "index/ranged_b_tree_impl.hpp"

namespace vostrel {

template class BasicBitMapBTreeNode<kNodeSlots>;
template class BasicBitMapBTree<kNodeSlots>;

}  // namespace vostrel
