// The seeded hash of a lore's texts and the score drawn from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillforge/records.hpp"

namespace qf::detail {

// 64-bit FNV-1a steps from `state` over `size` bytes. Inline: each step waits
// for the one before, and a call would only lengthen that chain.
inline std::uint64_t fnv1a(std::uint64_t state, const char* bytes, std::size_t size) noexcept {
    constexpr std::uint64_t kPrime = 0x100000001b3;
    for (std::size_t i = 0; i < size; ++i) {
        state = (state ^ static_cast<unsigned char>(bytes[i])) * kPrime;
    }
    return state;
}

// 64-bit FNV-1a whose starting state is the offset basis XOR the seed.
class SeededFnv1a {
public:
    explicit SeededFnv1a(std::uint64_t seed) noexcept : state_(kOffsetBasis ^ seed) {}

    void update(std::string_view bytes) noexcept { state_ = fnv1a(state_, bytes.data(), bytes.size()); }
    std::uint64_t value() const noexcept { return state_; }
    // Goes on from a state that fnv1a() carried further.
    void resume(std::uint64_t state) noexcept { state_ = state; }

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

// The same score as a whole number of millionths, for a temperature from 0 to
// 2: candidate_score() is this divided by 1e6, the double nearest the decimal.
std::uint32_t candidate_score_millionths(std::uint64_t hash, double temperature) noexcept;

}  // namespace qf::detail
