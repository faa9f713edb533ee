#pragma once
// The one way this extension includes CPython: the stable ABI only, so one
// abi3 wheel serves every interpreter from 3.12 on.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef Py_LIMITED_API
#error "velkor_core must be built against the limited API (Py_LIMITED_API)"
#endif
#if Py_LIMITED_API < 0x030C0000
#error "velkor_core needs the 3.12 limited API (PyErr_GetRaisedException)"
#endif
