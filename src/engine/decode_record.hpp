// Decoding one record, in object or array form, from the reader. The field
// names, kinds and order come from the record's RecordInfo; a Binding<Record>
// only ties each declared field, by position, to its member.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillforge/json/reader.hpp"
#include "quillforge/records.hpp"

namespace qf::detail {

using json::JsonError;
using json::Reader;

// Specialised per decoded record: `info` and `members`, a tuple of
// QF_MEMBER(Record, name) in declared order.
template <class Record>
struct Binding;

// A member and the name of the field it takes, which is the member's own name:
// QF_MEMBER spells it once, so that binding_matches can hold every binding to
// the record table's order by name, not only by kind.
template <auto Pointer>
struct BoundMember {
    static constexpr auto pointer = Pointer;
    std::string_view name;
};

#define QF_MEMBER(Record, member) \
    ::qf::detail::BoundMember<&Record::member> { #member }

// A member that takes its field's value itself instead of keeping it: it
// declares the field's kind and decodes the value from the reader, given the
// record it belongs to (where it may leave what it found). The operations that
// only fold over a lore use these to skip building records.
template <class Member, class Record>
concept DecodesItself = requires(Member& member, Reader& reader, Record& record) {
    { Member::kFieldType } -> std::convertible_to<FieldType>;
    { member.decode(reader, record) } -> std::same_as<Result<void, JsonError>>;
};

template <class Member>
constexpr FieldType field_type_of() {
    if constexpr (requires { Member::kFieldType; }) {
        return Member::kFieldType;
    } else if constexpr (std::is_same_v<Member, std::string>) {
        return FieldType::Text;
    } else if constexpr (std::is_same_v<Member, double>) {
        return FieldType::Float64;
    } else if constexpr (std::is_same_v<Member, std::uint32_t>) {
        return FieldType::UInt32;
    } else if constexpr (std::is_same_v<Member, std::uint64_t>) {
        return FieldType::UInt64;
    } else {
        return FieldType::RecordList;
    }
}

template <class Bound>
struct MemberOf;
template <class Record, class Member, Member Record::*Pointer>
struct MemberOf<BoundMember<Pointer>> {
    using type = Member;
};

// The members must match the declared fields one for one, by name and kind.
template <class Record>
using MembersOf = std::remove_cvref_t<decltype(Binding<Record>::members)>;

template <class Record>
constexpr bool binding_matches() {
    using B = Binding<Record>;
    constexpr auto count = std::tuple_size_v<MembersOf<Record>>;
    if (B::info.fields.size() != count) {
        return false;
    }
    const auto fields_match = []<std::size_t... I>(std::index_sequence<I...>) {
        return ((std::get<I>(B::members).name == B::info.fields[I].name &&
                 field_type_of<typename MemberOf<std::tuple_element_t<I, MembersOf<Record>>>::type>() ==
                     B::info.fields[I].type) &&
                ...);
    };
    return fields_match(std::make_index_sequence<count>{});
}

// Out of line: built only when decoding fails.
JsonError unexpected_record(Reader& reader, const RecordInfo& info);
JsonError invalid_length(const Reader& reader, const RecordInfo& info, std::size_t present);
JsonError field_error(const Reader& reader, const char* what, std::string_view name);
// "missing field" for the first declared field that `given` lacks.
JsonError missing_field(const Reader& reader, const RecordInfo& info, std::uint32_t given);
std::string_view expected_description(FieldType type);

// The index of the field that `key` names, or -1.
inline int match_field(const RecordInfo& info, std::string_view key) noexcept {
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
        if (info.fields[i].name == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// "invalid type" for the value at the reader where a field of `type` belongs.
JsonError unexpected_field(Reader& reader, FieldType type);

// A string value: a view into the text, or into the reader's scratch buffer when
// it held escapes (valid until the next string is read).
inline Result<std::string_view, JsonError> read_text(Reader& reader) {
    if (reader.peek() != '"') [[unlikely]] {
        return fail(unexpected_field(reader, FieldType::Text));
    }
    reader.consume_peeked();
    return reader.read_string();
}
Result<void, JsonError> decode_text(Reader& reader, std::string& out);
Result<void, JsonError> decode_f64(Reader& reader, double& out);
Result<void, JsonError> decode_unsigned(Reader& reader, std::uint64_t& out, std::uint64_t max, FieldType type);

template <class Record>
Result<void, JsonError> decode_record(Reader& reader, Record& out);

// Every element of a list read token by token.
struct NoShortcut {};

// Decodes a list of records, handing each to `take` (which may move from it).
// One element is reused for all, so a list costs no allocation of its own;
// every field of a record must be given, so none keeps a stale value. A
// `shortcut` reads the elements of a usual layout at fewer looks: at each
// element, `shortcut.starts(reader, first)` says whether one in its layout
// starts there (and consumes the comma before it), `shortcut.decode(reader,
// element)` then reads it; any other element is read token by token.
template <class Element, class Take, class Shortcut = NoShortcut>
Result<void, JsonError> decode_each(Reader& reader, Element& element, Take&& take, Shortcut shortcut = {}) {
    if (reader.peek() != '[') {
        return fail(reader.unexpected(expected_description(FieldType::RecordList)));
    }
    if (auto entered = reader.enter(); !entered) {
        return entered;
    }
    for (bool first = true;; first = false) {
        if constexpr (!std::is_same_v<Shortcut, NoShortcut>) {
            if (shortcut.starts(reader, first)) {
                if (auto decoded = shortcut.decode(reader, element); !decoded) {
                    return decoded;
                }
                take(element);
                continue;
            }
        }
        auto more = reader.next_element(first);
        if (!more) {
            return pass_error<void>(std::move(more));
        }
        if (!*more) {
            break;
        }
        if (auto decoded = decode_record(reader, element); !decoded) {
            return decoded;
        }
        take(element);
    }
    reader.leave();
    return {};
}

template <class Element>
Result<void, JsonError> decode_list(Reader& reader, std::vector<Element>& out) {
    out.clear();
    Element element;
    return decode_each(reader, element, [&](Element& decoded) { out.push_back(std::move(decoded)); });
}

template <class Member, class Record>
Result<void, JsonError> decode_member(Reader& reader, Member& out, Record& record) {
    if constexpr (requires { Member::kFieldType; }) {
        static_assert(DecodesItself<Member, Record>, "a member that declares its kind decodes itself");
        return out.decode(reader, record);
    } else if constexpr (std::is_same_v<Member, std::string>) {
        return decode_text(reader, out);
    } else if constexpr (std::is_same_v<Member, double>) {
        return decode_f64(reader, out);
    } else if constexpr (std::is_same_v<Member, std::uint32_t> || std::is_same_v<Member, std::uint64_t>) {
        std::uint64_t value = 0;
        auto decoded = decode_unsigned(reader, value, std::numeric_limits<Member>::max(), field_type_of<Member>());
        out = static_cast<Member>(value);
        return decoded;
    } else {
        return decode_list(reader, out);
    }
}

// Decodes field `index` into its member. Each step returns the member's result
// itself, so no result is built, assigned and destroyed on the way.
template <class Record, std::size_t I = 0>
Result<void, JsonError> decode_field(Reader& reader, Record& out, std::size_t index) {
    if constexpr (I + 1 < std::tuple_size_v<MembersOf<Record>>) {
        if (index != I) {
            return decode_field<Record, I + 1>(reader, out, index);
        }
    }
    return decode_member(reader, out.*std::tuple_element_t<I, MembersOf<Record>>::pointer, out);
}

// Consumes the plain key of field `field` (see Reader::consume_key), its name
// a constant, so that the comparison is a few loads.
template <class Record, std::size_t I = 0>
bool consume_field_key(Reader& reader, int field) {
    if constexpr (I < Binding<Record>::info.fields.size()) {
        if (field == static_cast<int>(I)) {
            constexpr std::string_view name = Binding<Record>::info.fields[I].name;
            return reader.consume_key(name);
        }
        return consume_field_key<Record, I + 1>(reader, field);
    } else {
        return false;
    }
}

// The members of an object from the reader's position on, up to its "}":
// `given` holds the fields already read, `first` whether none was.
template <class Record>
Result<void, JsonError> decode_members(Reader& reader, Record& out, std::uint32_t given, bool first) {
    using B = Binding<Record>;
    const RecordInfo& info = B::info;
    for (;; first = false) {
        auto more = reader.next_key(first);
        if (!more) {
            return pass_error<void>(std::move(more));
        }
        if (!*more) {
            break;
        }
        // Keys mostly come in declared order: the first field not yet given is
        // tried at one look, before the key is read and matched.
        int field = std::countr_one(given);
        if (!consume_field_key<Record>(reader, field)) {
            auto key = reader.read_string();
            if (!key) {
                return pass_error<void>(std::move(key));
            }
            field = match_field(info, *key);
            if (field >= 0 && (given & (1u << field)) != 0) {
                reader.consume_if_next('}');
                return fail(field_error(reader, "duplicate field `", info.fields[field].name));
            }
        }
        if (auto colon = reader.read_colon(); !colon) {
            return colon;
        }
        if (field < 0) {
            if (auto skipped = reader.skip_value(); !skipped) {
                return skipped;
            }
            continue;
        }
        if (auto value = decode_field(reader, out, static_cast<std::size_t>(field)); !value) {
            return value;
        }
        given |= 1u << field;
    }
    reader.leave();
    constexpr std::uint32_t kAll = static_cast<std::uint32_t>((std::uint64_t{1} << B::info.fields.size()) - 1);
    if (given != kAll) [[unlikely]] {
        return fail(missing_field(reader, info, given));
    }
    return {};
}

template <class Record>
Result<void, JsonError> decode_object(Reader& reader, Record& out) {
    if (auto entered = reader.enter(); !entered) {
        return entered;
    }
    return decode_members(reader, out, 0, true);
}

template <class Record>
Result<void, JsonError> decode_array(Reader& reader, Record& out) {
    const RecordInfo& info = Binding<Record>::info;
    if (auto entered = reader.enter(); !entered) {
        return entered;
    }
    for (std::size_t i = 0; i < info.fields.size(); ++i) {
        auto more = reader.next_element(i == 0);
        if (!more) {
            return pass_error<void>(std::move(more));
        }
        if (!*more) {
            return fail(invalid_length(reader, info, i));
        }
        if (auto value = decode_field(reader, out, i); !value) {
            return value;
        }
    }
    if (auto closed = reader.close_record_array(); !closed) {
        return closed;
    }
    reader.leave();
    return {};
}

template <class Record>
Result<void, JsonError> decode_record(Reader& reader, Record& out) {
    static_assert(binding_matches<Record>(), "a record's members must follow its declared fields");
    static_assert(Binding<Record>::info.fields.size() <= 32, "fields are tracked in a 32-bit mask");
    switch (reader.peek()) {
    case '{':
        return decode_object(reader, out);
    case '[':
        return decode_array(reader, out);
    default:
        return fail(unexpected_record(reader, Binding<Record>::info));
    }
}

// decode_config without its look for the compact form: the reference for it.
Result<LabConfig, JsonError> decode_config_by_tokens(std::string_view text);

// Reads the whole text as one record; only whitespace may follow it.
template <class Record>
Result<void, JsonError> decode_whole(std::string_view text, Record& out) {
    Reader reader(text);
    if (auto decoded = decode_record(reader, out); !decoded) {
        return decoded;
    }
    return reader.finish();
}

}  // namespace qf::detail
