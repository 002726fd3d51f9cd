// Keeps the import guard able to speak. A module built for one minor version of CPython
// refuses to import into another: pybind11's module initialisation raises ImportError
// "Python version mismatch: module was compiled for Python 3.12, but the interpreter
// version is incompatible: 3.13.0 ...". It can only do so once the module has loaded, and
// CPython loads extension modules with every symbol bound at once (RTLD_NOW): a call to a
// C API function that the running interpreter does not have would stop the load first,
// with "undefined symbol: ..." and not a word about versions. pybind11's calls of that
// kind are made weak references here, so that the load succeeds and the guard refuses the
// module before anything calls them. Every source file that includes pybind11 must
// include this header; tests/test_build.py loads each build into the other supported
// interpreters, which fails if a reference is missing from the list.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#pragma weak _PyThreadState_UncheckedGet  // removed in 3.13
#else  // new in 3.13
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyObject_VisitManagedDict
#pragma weak PyObject_ClearManagedDict
#endif
