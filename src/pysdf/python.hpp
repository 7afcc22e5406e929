// The one place the binding includes the interpreter's headers: the
// limited (stable) API only.
#pragma once

#ifndef Py_LIMITED_API
#error "tessaron is built against the limited C API: define Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
