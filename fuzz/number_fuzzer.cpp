// The reader's numbers on any bytes: a clean error, or a value that matches a
// correctly rounding conversion wherever the reader's steps are exact, and a
// class that matches the text's form.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.hpp"
#include "quillforge/json/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    if (text.empty() || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) {
        return -1;
    }
    qf::json::Reader reader(text);
    auto number = reader.read_number();
    if (!number) {
        qf::fuzz::check_decode_error(number.error(), text);
        return 0;
    }
    const std::string_view read = text.substr(0, reader.index());
    const std::string owned(read);
    using Kind = qf::json::Number::Kind;
    const bool integer_form = read.find_first_of(".eE") == std::string_view::npos;
    switch (number->kind) {
    case Kind::Unsigned:
        QF_FUZZ_CHECK(integer_form && !read.starts_with('-'), owned.c_str());
        QF_FUZZ_CHECK(std::to_string(number->unsigned_value) == read, owned.c_str());
        return 0;
    case Kind::Negative:
        QF_FUZZ_CHECK(integer_form && number->negative_value < 0, owned.c_str());
        QF_FUZZ_CHECK(std::to_string(number->negative_value) == read, owned.c_str());
        return 0;
    case Kind::Float:
        break;
    }
    const double value = number->float_value;
    QF_FUZZ_CHECK(std::isfinite(value), owned.c_str());
    QF_FUZZ_CHECK(std::signbit(value) == read.starts_with('-'), owned.c_str());
    if (qf::fuzz::reads_exactly(read)) {
        QF_FUZZ_CHECK(value == std::strtod(owned.c_str(), nullptr), owned.c_str());
    }
    return 0;
}
