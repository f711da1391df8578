// decode_lore on any bytes: it must fail cleanly or give a lore that, written
// back as JSON, decodes to the same lore.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "quillforge/codec.hpp"
#include "quillforge/json/writer.hpp"

namespace {

using qf::NarrativeBlock;
using qf::NarrativeLore;

// Object form, or array form when `arrays` is set (blocks too).
std::string write_lore(const NarrativeLore& lore, bool arrays) {
    std::string out = arrays ? "[" : "{\"id\":";
    qf::json::write_string(out, lore.id);
    out += arrays ? "," : ",\"title\":";
    qf::json::write_string(out, lore.title);
    out += arrays ? ",[" : ",\"blocks\":[";
    for (const NarrativeBlock& block : lore.blocks) {
        out += &block == lore.blocks.data() ? "" : ",";
        out += arrays ? "[" : "{\"id\":";
        qf::json::write_string(out, block.id);
        out += arrays ? "," : ",\"content\":";
        qf::json::write_string(out, block.content);
        out += arrays ? "]" : "}";
    }
    return out + (arrays ? "]]" : "]}");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = qf::fuzz::as_text(data, size);
    auto lore = qf::decode_lore(text);
    if (!lore) {
        qf::fuzz::check_decode_error(lore.error(), text);
        return 0;
    }
    for (const bool arrays : {false, true}) {
        const std::string written = write_lore(*lore, arrays);
        auto again = qf::decode_lore(written);
        QF_FUZZ_CHECK(again.has_value(), again ? "" : again.error().display().c_str());
        // The written text holds every field, so equal texts are equal lores.
        QF_FUZZ_CHECK(write_lore(*again, arrays) == written, written.c_str());
    }
    return 0;
}
