#include "candidate_score.hpp"

#include <algorithm>
#include <cmath>

namespace qf::detail {

void SeededFnv1a::update(std::string_view bytes) noexcept {
    constexpr std::uint64_t kPrime = 0x100000001b3;
    std::uint64_t state = state_;
    for (const char c : bytes) {
        state = (state ^ static_cast<unsigned char>(c)) * kPrime;
    }
    state_ = state;
}

std::uint64_t candidate_hash(const NarrativeLore& lore, std::uint64_t seed) noexcept {
    SeededFnv1a hash(seed);
    hash.update(lore.id);
    hash.update(lore.title);
    for (const NarrativeBlock& block : lore.blocks) {
        hash.update(block.id);
        hash.update(block.content);
    }
    return hash.value();
}

// Every step is rounded to double before the next. No multiply feeds an add,
// so there is nothing a compiler could fuse; the divisions by powers of ten are
// not exact reciprocals and stay divisions without -ffast-math.
double candidate_score(std::uint64_t hash, double temperature) noexcept {
    const double fraction = static_cast<double>(hash % 10000) / 10000.0;
    const double factor = temperature / 10.0 + 1.0;
    const double capped = std::min(factor * fraction, 1.0);
    // std::round breaks ties away from zero.
    return std::round(capped * 1000000.0) / 1000000.0;
}

}  // namespace qf::detail
