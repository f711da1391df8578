// The engine must not see Python: this include has to fail.
#include <Python.h>
