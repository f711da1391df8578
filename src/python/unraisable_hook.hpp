// The command's sys.unraisablehook.
#pragma once

#include "py_ref.hpp"

namespace qf::py {

// Drops a MemoryError reported as unraisable and hands anything else to
// sys.__unraisablehook__, dropping it too if that runs out of memory. In C,
// since the report it is for comes from a thread that had no memory for its
// first Python frame: a hook written in Python would fail there the same way,
// and the interpreter would print both.
PyObject* unraisable_hook(PyObject* module, PyObject* unraisable);

}  // namespace qf::py
