#include "quillforge/json/detail/utf8.hpp"

namespace qf::json::detail {

namespace {

bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0) == 0x80; }

constexpr Scalar kMalformed{0xFFFD, 1};

}  // namespace

Scalar decode_scalar(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kMalformed;
    }
    if (size < length || p[1] < low || p[1] > high) {
        return kMalformed;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (!is_continuation(p[i])) {
            return kMalformed;
        }
        value = (value << 6) | (p[i] & 0x3F);
    }
    return {value, length};
}

}  // namespace qf::json::detail
