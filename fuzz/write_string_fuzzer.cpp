// The string writer against the reader: any bytes written as a JSON string
// read back as the same bytes, and the written string has no raw control byte.
// The string scan variants must also stop where the byte-by-byte scan does,
// the escape writer (into a std::string and into an Output, whose short texts
// take their own path) must write what the byte-by-byte writer writes, and
// the reader's piecewise walk must hand over the bytes read_string decodes.
// The input is also read as the body of a JSON string (any escapes, any
// faults) by the candidate's one-pass content writer, which must give what
// decoding, hashing, the blank test, trimming and escaping give in steps.
#include <cstdint>
#include <string>

#include <vector>

#include "engine/candidate_score.hpp"
#include "engine/content_writer.hpp"
#include "engine/unicode_text.hpp"
#include "fuzz_check.hpp"
#include "quillforge/json/detail/string_scan.hpp"
#include "quillforge/json/reader.hpp"
#include "quillforge/json/writer.hpp"
#include "quillforge/validation.hpp"

namespace {

void check_content_writer(std::string_view body) {
    constexpr std::uint64_t kState = 0xcbf29ce484222325u;
    qf::json::Reader steps(body);
    auto decoded = steps.read_string();
    qf::json::Reader reader(body);
    std::vector<char> out(body.size() + qf::detail::ContentWriter::kPieceBytes);
    qf::detail::ContentWriter writer(kState, out.data());
    auto read = reader.read_string_pieces(writer);
    QF_FUZZ_CHECK(read.has_value() == decoded.has_value(), "the walk fails where read_string fails");
    if (!decoded) {
        QF_FUZZ_CHECK(read.error().display() == decoded.error().display(), decoded.error().display().c_str());
        return;
    }
    QF_FUZZ_CHECK(reader.index() == steps.index(), "the walk ends where read_string ends");
    std::string expected;
    qf::json::write_escaped_bytewise(expected, qf::detail::trim_white_space(*decoded));
    const char* const end = writer.finish();
    QF_FUZZ_CHECK(std::string_view(out.data(), static_cast<std::size_t>(end - out.data())) == expected,
                  expected.c_str());
    QF_FUZZ_CHECK(writer.hash() == qf::detail::fnv1a(kState, decoded->data(), decoded->size()), "hash");
    QF_FUZZ_CHECK(writer.blank() == qf::is_blank(*decoded), "blank test");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    check_content_writer(text);

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
    std::string bytewise;
    qf::json::write_escaped_bytewise(bytewise, text);
    QF_FUZZ_CHECK(written.substr(3, written.size() - 4) == bytewise, "scanning writer");
    qf::json::Output output;
    qf::json::write_escaped(output, text);
    QF_FUZZ_CHECK(output.view() == bytewise, "writer into an Output");
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

    // The same string walked in pieces: the plain bytes and the decoded escapes, in order.
    struct Gather {
        std::string bytes;
        void piece(const char* p, std::size_t size) { bytes.append(p, size); }
        void tail(const char* p, std::size_t size) { bytes.append(p, size); }
        void escape(std::string_view /*raw*/, std::string_view decoded) { bytes.append(decoded); }
    } gather;
    qf::json::Reader walker(json.substr(1));
    QF_FUZZ_CHECK(walker.read_string_pieces(gather).has_value() && gather.bytes == text, "piecewise walk");

    qf::json::Reader skipper(json);
    QF_FUZZ_CHECK(skipper.skip_value().has_value() && skipper.finish().has_value(), "skips as one value");
    return 0;
}
