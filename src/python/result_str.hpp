// Running an engine operation and turning the text it writes into the result
// str, with as few copies, allocations and interpreter-lock holds as the size
// of the call warrants.
#pragma once

#include <cstddef>
#include <utility>

#include "boundary.hpp"
#include "quillforge/error.hpp"
#include "quillforge/json/output.hpp"
#include "quillforge/result.hpp"

namespace qf::py {

// Calls with inputs this large or larger let other threads run while the
// engine works: releasing and taking back the interpreter lock costs about
// 110 ns, under 1% of such a call.
inline constexpr std::size_t kReleaseLockFrom = 32 << 10;

// How a result is built.
struct ResultPlan {
    std::size_t input_size;  // decides whether the interpreter lock is released
    std::size_t lend;        // when not 0: the result is written straight into a str of this many bytes, if it fits
};

using Operation = Result<void, NarrativeError> (*)(void* context, json::Output& out);

// Runs the operation and returns its text as a new str, or its error as a ValueError.
NewRefOrError run_to_str(const ResultPlan& plan, Operation operation, void* context);

// The same for any callable taking the Output.
template <class Write>
NewRefOrError run_to_str(const ResultPlan& plan, Write&& write) {
    return run_to_str(
        plan,
        [](void* context, json::Output& out) { return (*static_cast<std::remove_reference_t<Write>*>(context))(out); },
        &write);
}

// A str from UTF-8 text: exactly PyUnicode_FromStringAndSize's result. A
// failure other than running out of memory is an internal one.
NewRefOrError text_to_str(std::string_view text);

}  // namespace qf::py
