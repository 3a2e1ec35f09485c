// Shared parts of the host classes.
#include "module/host_class.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "index/fatal.hpp"

namespace vostrel::py {

namespace {

/// Texts and tables that must outlive every type: kept until the process ends.
std::deque<std::string>& kept_texts() {
  static auto* texts = new std::deque<std::string>;
  return *texts;
}

}  // namespace

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return call_object([&]() -> Object {
    raise(PyExc_TypeError, "No constructor defined for " + type_name(type));
  });
}

PyTypeObject* create_type(PyType_Spec& type_slots) {
  return reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&type_slots)).release());
}

PyTypeObject* create_type_on_first_use(PyType_Spec& type_slots) {
  try {
    return create_type(type_slots);
  } catch (HostError& e) {
    std::string_view name = type_slots.name;
    name.remove_prefix(name.rfind('.') + 1);
    fatal("failed to create type object for " + std::string(name) + ": " + e.text());
  }
}

PyMethodDef* method_table(std::initializer_list<MethodSpec> methods) {
  static auto* tables = new std::deque<std::vector<PyMethodDef>>;
  std::vector<PyMethodDef>& table = tables->emplace_back();
  table.reserve(methods.size() + 1);
  for (const MethodSpec& m : methods) {
    std::string& doc = kept_texts().emplace_back(m.name);
    doc += m.signature;
    doc += "\n--\n\n";
    doc += m.doc;
    table.push_back(PyMethodDef{m.name, m.function, m.flags, doc.c_str()});
  }
  table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return table.data();
}

const char* class_doc(std::string_view name, std::string_view signature, std::string_view doc) {
  std::string& text = kept_texts().emplace_back();
  if (!signature.empty()) {
    text += name;
    text += signature;
    text += "\n--\n\n";
  }
  text += doc;
  return text.c_str();
}

}  // namespace vostrel::py
