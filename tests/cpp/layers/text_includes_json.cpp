// The text layer must not see the JSON layer: this include has to fail.
#include "quillforge/json/reader.hpp"
