// The string writer against the reader: any bytes written as a JSON string
// read back as the same bytes, and the written string has no raw control byte.
// The string scan variants must also stop where the byte-by-byte scan does.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);

    namespace d = qf::json::detail;
    const char* const end = text.data() + text.size();
    for (const char* start = text.data(); start <= end && start - text.data() < 16; ++start) {
        const char* expected = d::find_string_stop_bytewise(start, end);
        QF_FUZZ_CHECK(d::find_string_stop_portable(start, end) == expected, "portable scan");
#if defined(__SSE2__)
        QF_FUZZ_CHECK(d::find_string_stop_sse2(start, end) == expected, "SSE2 scan");
#endif
        const char* near = d::find_string_stop_near(start, end);
        QF_FUZZ_CHECK(near == nullptr || near == expected, "first look");
    }

    std::string written = "  ";  // something before, so that the view does not start the buffer
    qf::json::write_string(written, text);
    const std::string_view json = std::string_view(written).substr(2);
    QF_FUZZ_CHECK(json.size() >= 2 && json.front() == '"' && json.back() == '"', written.c_str());
    for (const char c : json) {
        QF_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20, "control bytes are escaped");
    }

    qf::json::Reader reader(json);
    QF_FUZZ_CHECK(reader.peek() == '"', "opens with a quotation mark");
    reader.consume_peeked();
    auto read = reader.read_string();
    QF_FUZZ_CHECK(read.has_value(), read ? "" : read.error().display().c_str());
    QF_FUZZ_CHECK(*read == text, "reads back the same bytes");
    QF_FUZZ_CHECK(reader.finish().has_value(), "the string is the whole text");

    qf::json::Reader skipper(json);
    QF_FUZZ_CHECK(skipper.skip_value().has_value() && skipper.finish().has_value(), "skips as one value");
    return 0;
}
