// The host class PyQueryExpr: query expression trees built by static constructors.
#include "module/classes.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {
namespace {

struct QueryExprRecord {};
using QueryExprInstance = Instance<QueryExprRecord>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<QueryExprRecord>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.PyQueryExpr",
    .basicsize = sizeof(QueryExprInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

}  // namespace vostrel::py
