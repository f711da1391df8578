// What the JSON layer may see: its own headers, the text layer's and the
// shared ones. Has to build.
#include "quillforge/invariant.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/result.hpp"
#include "quillforge/text/utf8.hpp"
