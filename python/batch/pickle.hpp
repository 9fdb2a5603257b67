// Pickling and copying of zub's value objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds the reconstructors to `module` (they must be reachable by name as
// its attributes) and registers with copyreg a reducer for each of zub's
// value classes.  Imports zub.  Returns 0, or -1 with an exception set.
extern "C" int zub_batch_register_reducers(PyObject* module);
