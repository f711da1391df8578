// The seeded hash of a lore's texts and the score drawn from it.
#pragma once

#include <cstdint>
#include <string_view>

#include "quillforge/records.hpp"

namespace qf::detail {

// 64-bit FNV-1a whose starting state is the offset basis XOR the seed.
class SeededFnv1a {
public:
    explicit SeededFnv1a(std::uint64_t seed) noexcept : state_(kOffsetBasis ^ seed) {}

    void update(std::string_view bytes) noexcept;
    std::uint64_t value() const noexcept { return state_; }

private:
    static constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325;
    std::uint64_t state_;
};

// The lore's id, title, then each block's id and content, read in place with
// nothing between them.
std::uint64_t candidate_hash(const NarrativeLore& lore, std::uint64_t seed) noexcept;

// min((1 + temperature / 10) * (hash % 10000 / 10000), 1), rounded half away
// from zero to six decimal places.
double candidate_score(std::uint64_t hash, double temperature) noexcept;

}  // namespace qf::detail
