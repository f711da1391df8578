// A broken internal invariant is the one failure that is not an error value:
// it unwinds to the call boundary, which reports it to the caller.
#pragma once

#include <stdexcept>

namespace qf {

class InvariantFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] inline void invariant_failed(const char* message) { throw InvariantFailure(message); }

}  // namespace qf

#define QF_CHECK(condition, message)         \
    do {                                     \
        if (!(condition)) [[unlikely]] {     \
            ::qf::invariant_failed(message); \
        }                                    \
    } while (false)
