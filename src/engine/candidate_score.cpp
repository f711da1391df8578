#include "candidate_score.hpp"

#include <algorithm>
#include <cmath>

namespace qf::detail {

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
namespace {

double capped_fraction(std::uint64_t hash, double temperature) noexcept {
    const double fraction = static_cast<double>(hash % 10000) / 10000.0;
    const double factor = temperature / 10.0 + 1.0;
    return std::min(factor * fraction, 1.0);
}

}  // namespace

double candidate_score(std::uint64_t hash, double temperature) noexcept {
    // std::round breaks ties away from zero.
    return std::round(capped_fraction(hash, temperature) * 1000000.0) / 1000000.0;
}

std::uint32_t candidate_score_millionths(std::uint64_t hash, double temperature) noexcept {
    // The temperature is checked (0 to 2) before a score is made, so the
    // rounded value is a whole number from 0 to 1e6; the clamp only keeps the
    // conversion defined for any input.
    const double scaled = capped_fraction(hash, temperature) * 1000000.0;
    if (scaled >= 0.0 && scaled <= 1000000.0) [[likely]] {
        // std::round without its call: below 2^52 the truncation is the floor
        // and the fraction left is exact, so ties go up, away from zero.
        const auto whole = static_cast<std::uint32_t>(scaled);
        return whole + (scaled - static_cast<double>(whole) >= 0.5 ? 1u : 0u);
    }
    const double rounded = std::round(scaled);
    return rounded >= 0.0 && rounded <= 1000000.0 ? static_cast<std::uint32_t>(rounded) : 0;
}

}  // namespace qf::detail
