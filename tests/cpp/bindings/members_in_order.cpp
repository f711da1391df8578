// A binding that follows the record table. Has to build: the control for
// members_swapped.cpp.
#include "engine/decode_record.hpp"

namespace qf::detail {

struct OrderedBlock {
    std::string id;
    std::string content;
};

template <>
struct Binding<OrderedBlock> {
    static constexpr const RecordInfo& info = kNarrativeBlockInfo;
    static constexpr auto members = std::make_tuple(QF_MEMBER(OrderedBlock, id), QF_MEMBER(OrderedBlock, content));
};

Result<void, JsonError> decode_ordered(Reader& reader, OrderedBlock& block) { return decode_record(reader, block); }

}  // namespace qf::detail
