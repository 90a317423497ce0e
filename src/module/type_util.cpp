#include "module/type_util.h"

#include <string>
#include <unordered_map>

#include "module/errors.h"

namespace tolvane::py {

PyTypeObject* TypeFromSpec(PyType_Spec* spec) {
  static auto* types = new std::unordered_map<PyType_Spec*, PyTypeObject*>();
  auto found = types->find(spec);
  if (found != types->end()) return found->second;
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  if (type != nullptr) types->emplace(spec, type);
  return type;
}

PyTypeObject* TypeForUse(PyTypeObject* (*make)(), const char* name) {
  PyTypeObject* type = make();
  if (type == nullptr) {
    PyErr_Print();
    RaisePanic(std::string("failed to create type object for ") + name);
  }
  return type;
}

PyObject* AllocateInstance(PyTypeObject* type) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : PyType_GenericAlloc(type, 0);
  if (self == nullptr) EnsureErrorSet();
  return self;
}

}  // namespace tolvane::py
