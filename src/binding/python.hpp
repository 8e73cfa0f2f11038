// The one place that includes Python.h: the module is built for the stable
// ABI only, so the limited API level must be set by the build.
#pragma once

#ifndef Py_LIMITED_API
#error "lexispan's binding must be compiled with Py_LIMITED_API (the stable ABI)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
