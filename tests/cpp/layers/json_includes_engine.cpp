// The JSON layer must not see the engine: this include has to fail.
#include "quillforge/records.hpp"
