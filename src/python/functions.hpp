#pragma once

#include <span>

#include "py_ref.hpp"

namespace qf::py {

// The module's functions in the order they are attached. The records live for
// the whole process, as the function objects made from them require.
std::span<PyMethodDef> method_table();

}  // namespace qf::py
