// `id` and `content` bound in the wrong order: both are strings, so only the
// names tell, and this has to fail to build.
#include "engine/decode_record.hpp"

namespace qf::detail {

struct SwappedBlock {
    std::string id;
    std::string content;
};

template <>
struct Binding<SwappedBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(SwappedBlock, content), QF_MEMBER(SwappedBlock, id));
};

Result<void, JsonError> decode_swapped(Reader& reader, SwappedBlock& block) { return decode_record(reader, block); }

}  // namespace qf::detail
