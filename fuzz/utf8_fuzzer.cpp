// The text layer's UTF-8 kernels on any bytes, without an interpreter: every
// implementation of the two passes, first_invalid and the scalar decoder give
// what a decoder by code point value gives (validity, characters, width), the
// transcoders write those characters and no slot past them. Checked on the
// input as given (so ASan sees any read past its end) and at an odd address.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "quillforge/text/transcode.hpp"
#include "quillforge/text/utf8.hpp"
#include "support.hpp"

namespace {

namespace text = qf::text;
namespace utf8 = qf::text::utf8;

template <class Slot>
void check_transcoder(void (*transcode)(std::string_view, Slot*, std::size_t) noexcept, std::string_view bytes,
                      const std::u32string& characters, const char* name) {
    // Exactly the room the characters take, so ASan sees any write past it.
    const std::unique_ptr<Slot[]> out(new Slot[std::max<std::size_t>(characters.size(), 1)]);
    transcode(bytes, out.get(), characters.size());
    QF_FUZZ_CHECK(std::equal(characters.begin(), characters.end(), out.get()), name);
}

void check(std::string_view bytes) {
    const qf::test::Utf8Reference reference = qf::test::reference_utf8(bytes);
    const bool valid = reference.bad == std::string_view::npos;
    QF_FUZZ_CHECK(text::first_invalid(bytes) == reference.bad, "first_invalid");
    std::u32string decoded;
    for (std::size_t at = 0; at < bytes.size() && at != reference.bad;) {
        const text::Scalar scalar = text::decode_scalar(bytes.substr(at));
        decoded += scalar.value;
        at += scalar.length;
    }
    QF_FUZZ_CHECK(decoded == reference.characters, "decode_scalar");
    const utf8::Width width = qf::test::width_of(reference.characters);
    const auto ascii = static_cast<std::size_t>(
        std::ranges::find_if(bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) - bytes.begin());
    for (const utf8::Kernels* kernels : qf::test::all_kernels()) {
        std::string copy(bytes.size(), '\xFF');
        QF_FUZZ_CHECK(kernels->copy_ascii(bytes, copy.data()) == ascii, kernels->name);
        QF_FUZZ_CHECK(ascii != bytes.size() || copy == bytes, kernels->name);
        const utf8::Shape shape = kernels->measure(bytes);
        QF_FUZZ_CHECK(shape.valid == valid, kernels->name);
        if (!valid) {
            continue;
        }
        QF_FUZZ_CHECK(shape.characters == reference.characters.size() && shape.width == width, kernels->name);
        if (width <= utf8::Width::Latin1) {
            check_transcoder(kernels->to_latin1, bytes, reference.characters, kernels->name);
        }
        if (width <= utf8::Width::Ucs2) {
            check_transcoder(kernels->to_ucs2, bytes, reference.characters, kernels->name);
        }
        check_transcoder(kernels->to_ucs4, bytes, reference.characters, kernels->name);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(qf::fuzz::as_text(data, size));
    // At an odd address, still ending exactly at the end of its allocation.
    const std::unique_ptr<char[]> shifted(new char[size + 1]);
    std::memcpy(shifted.get() + 1, data, size);
    check({shifted.get() + 1, size});
    return 0;
}
