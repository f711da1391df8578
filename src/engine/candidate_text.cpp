#include "candidate_text.hpp"

#include "quillforge/json/writer.hpp"
#include "slug.hpp"

namespace qf::detail {

void append_candidate_id(std::string& out, std::string_view lore_id, std::uint64_t seed) {
    out.append("candidate-");
    append_slug(out, lore_id);
    out.push_back('-');
    json::write_u64(out, seed);
}

}  // namespace qf::detail
