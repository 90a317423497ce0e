// The one include of Python.h, pinned to the stable ABI of CPython 3.12. Only
// src/module sees it.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
