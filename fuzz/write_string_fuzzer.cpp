// The string writer against the reader: any bytes written as a JSON string
// read back as the same bytes, and the written string has no raw control byte.
// The string scan variants must also stop where the byte-by-byte scan does,
// the escape writers must write what the byte-by-byte writer writes, and the
// reader's piecewise walk must hand over the bytes read_string decodes. The
// input is also read as the body of a JSON string (any escapes, any faults)
// by the candidate's one-pass content writer, which must give what decoding,
// hashing, the blank test, trimming and escaping give in steps.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    QF_FUZZ_CHECK(qf::test::content_in_one_pass(text) == qf::test::content_in_steps(text), "one-pass content");
    const char* const end = text.data() + text.size();
    for (const char* start = text.data(); start <= end && start - text.data() < 16; ++start) {
        const char* disagreeing = qf::test::scan_disagreeing(start, end);
        QF_FUZZ_CHECK(disagreeing == nullptr, disagreeing);
    }
    QF_FUZZ_CHECK(qf::test::escapes_agree(text), "escape writers");

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
