#pragma once

#include <span>

#include "py_ref.hpp"

namespace qf::py {

// The module's functions in the order they are attached, followed in memory by
// the empty entry that ends the table for PyModule_AddFunctions. The records
// live for the whole process, as the function objects made from them require.
std::span<PyMethodDef> method_table();

}  // namespace qf::py
