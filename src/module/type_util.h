// Heap type objects made from specs, created once and kept for the life of the
// process, and the allocation of their instances. Interpreter lock held.
#pragma once

#include "module/python.h"

namespace tolvane::py {

// The type made from `spec`, created on the first call. nullptr with the error
// set on failure.
PyTypeObject* TypeFromSpec(PyType_Spec* spec);

// `make()` for a use by the system: when the type can't be created the pending
// error is printed and PanicException "failed to create type object for <name>"
// raised; returns nullptr then.
PyTypeObject* TypeForUse(PyTypeObject* (*make)(), const char* name);

// A zeroed instance through the type's allocation slot (generic allocation when
// it has none). nullptr (error set, "attempted to fetch exception..." if the
// allocator set none) on failure or when `type` is nullptr.
PyObject* AllocateInstance(PyTypeObject* type);

}  // namespace tolvane::py
