// The one way this module includes the interpreter's headers: limited API of 3.9, so that one
// build loads into every interpreter from 3.9 on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x03090000
#error "_marlix is built against the 3.9 limited C API only (define Py_LIMITED_API=0x03090000)"
#endif
