// What the lore's rules need to know, gathered while a lore is decoded or walked,
// so that an operation can check them without keeping the lore's texts.
#pragma once

#include <cstdint>

#include "quillforge/error.hpp"
#include "quillforge/result.hpp"

namespace qf::detail {

struct LoreFacts {
    enum class BlockRule : std::uint8_t { None, Id, Content };

    bool id_blank = true;
    bool title_blank = true;
    std::uint64_t blocks = 0;
    BlockRule first_broken = BlockRule::None;  // of the first block that breaks a rule

    void add_block(bool id_blank_, bool content_blank) noexcept {
        if (first_broken == BlockRule::None) {
            first_broken = id_blank_ ? BlockRule::Id : content_blank ? BlockRule::Content : BlockRule::None;
        }
        ++blocks;
    }

    // Every rule holds: the common case, tested inline before check() builds a result.
    bool hold() const noexcept { return !id_blank && !title_blank && blocks != 0 && first_broken == BlockRule::None; }

    // The lore's rules in their order; the first broken one is the error.
    Result<void, NarrativeError> check() const;
};

}  // namespace qf::detail
