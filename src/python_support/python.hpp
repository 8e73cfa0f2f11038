// The one place that includes Python.h: both extension modules, and the
// support they share, are built for the stable ABI only, so the limited API
// level must be set by the build.
#pragma once

#ifndef Py_LIMITED_API
#error "lexispan's bindings must be compiled with Py_LIMITED_API (the stable ABI)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
