// Introspection records: exported read-only data that tells stub-generation
// tools what the module holds. Nothing in the module reads them.
//
// Each symbol BRIMLET_INTROSPECTION_V1_<n> holds a 32-bit little-endian byte
// count followed by that many bytes of compact JSON describing one thing: the
// module, a class, or a constructor, method or property of a class. All of
// them are built while compiling, from the one table below.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/packet_schema.hpp"

namespace brimlet::py {
namespace {

enum class Kind { Module, Class, Constructor, Method, Property };

struct Arg {
    std::string_view name;
    std::optional<std::string_view> default_text;  // Python text of the default
    std::string_view annotation;
};

struct Entry {
    Kind kind;
    std::string_view name;
    int parent = -1;  // table index of the class, for members
    std::array<Arg, 3> args{};
    std::size_t arg_count = 0;
    std::string_view returns = {};
};

constexpr Entry module_entry() { return {Kind::Module, "brimlet"}; }
constexpr Entry class_entry(std::string_view name) { return {Kind::Class, name}; }
constexpr Entry method(int parent, std::string_view name, std::string_view returns) {
    return {Kind::Method, name, parent, {}, 0, returns};
}
constexpr Entry property(int parent, std::string_view name, std::string_view returns) {
    return {Kind::Property, name, parent, {}, 0, returns};
}

constexpr int kSerialParser = 1;
constexpr int kMockParser = 2;
constexpr int kIMUPacket = 3;

constexpr Arg kAnyOrNone{"", std::nullopt, "typing.Any | None"};

constexpr Arg named(Arg arg, std::string_view name) {
    arg.name = name;
    return arg;
}

constexpr Entry with_args(Entry entry, std::array<Arg, 3> args, std::size_t count) {
    entry.args = args;
    entry.arg_count = count;
    return entry;
}

constexpr Entry serial_parser_new() {
    return with_args({Kind::Constructor, "__new__", kSerialParser, {}, 0, "None"},
                     {Arg{"port", std::nullopt, "typing.Any"}, Arg{"baudrate", "None", "int | None"},
                      Arg{"timeout", "0.1", "float | None"}},
                     3);
}

constexpr Entry mock_parser_new() {
    return with_args({Kind::Constructor, "__new__", kMockParser, {}, 0, "None"},
                     {Arg{"path", std::nullopt, "typing.Any"}, Arg{"timeout", "0.1", "float | None"}}, 2);
}

// The methods that both parser classes have, in their method-table order.
constexpr std::array<Entry, 6> parser_methods(int parent) {
    return {
        method(parent, "start", "None"),
        method(parent, "stop", "None"),
        with_args(method(parent, "get_data_packets", "typing.Any"), {Arg{"block", "False", "bool"}}, 1),
        method(parent, "is_running", "bool"),
        method(parent, "__enter__", "typing.Any"),
        with_args(method(parent, "__exit__", "typing.Any"),
                  {named(kAnyOrNone, "_exc_type"), named(kAnyOrNone, "_exc_value"),
                   named(kAnyOrNone, "_traceback")},
                  3),
    };
}

// The packet's properties in their table's order (the schema's fields after
// the first three), then __str__.
constexpr auto packet_members() {
    const int p = kIMUPacket;
    std::array<Entry, 4 + schema::kFieldCount> members{};
    members[0] = property(p, "packet_type", "str");
    members[1] = property(p, "timestamp", "int");
    members[2] = property(p, "invalid_fields", "typing.Any");
    for (std::size_t i = 0; i < schema::kFieldCount; ++i) {
        members[3 + i] = property(p, schema::kFields[i].name, "typing.Any");
    }
    members.back() = method(p, "__str__", "str");
    return members;
}

template <std::size_t... N>
constexpr auto join(const std::array<Entry, N>&... parts) {
    std::array<Entry, (N + ...)> all{};
    std::size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), all.begin() + at), at += N), ...);
    return all;
}

// The record number of an entry is its index; a class's "id" is its index too.
constexpr auto kTable = join(
    std::array{module_entry(), class_entry("SerialParser"), class_entry("MockParser"), class_entry("IMUPacket")},
    std::array{serial_parser_new()}, parser_methods(kSerialParser),
    std::array{mock_parser_new()}, parser_methods(kMockParser),
    packet_members());

static_assert(kTable[kSerialParser].kind == Kind::Class && kTable[kMockParser].kind == Kind::Class &&
              kTable[kIMUPacket].kind == Kind::Class);

// ---- JSON -------------------------------------------------------------------

// Text built while compiling: std::string is not usable in constant
// expressions with every compiler the module builds with (clang before 15
// with libstdc++). Writing past the end stops the compilation.
class JsonText {
public:
    constexpr JsonText& operator+=(char c) {
        chars_[size_++] = c;
        return *this;
    }
    constexpr JsonText& operator+=(std::string_view text) {
        for (char c : text) *this += c;
        return *this;
    }
    constexpr char back() const { return chars_[size_ - 1]; }
    constexpr std::size_t size() const { return size_; }
    constexpr std::string_view view() const { return {chars_.data(), size_}; }

private:
    std::array<char, 512> chars_{};
    std::size_t size_ = 0;
};

constexpr void append_string(JsonText& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

// Digit by digit: to_chars is usable in constant expressions only from g++ 13 on.
constexpr JsonText decimal(int value) {
    std::array<char, 12> digits{};
    std::size_t count = 0;
    unsigned rest = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    JsonText text;
    if (value < 0) text += '-';
    while (count > 0) text += digits[--count];
    return text;
}

constexpr void append_member(JsonText& out, std::string_view key, std::string_view value) {
    if (out.back() != '{') out += ',';
    append_string(out, key);
    out += ':';
    append_string(out, value);
}

constexpr void append_args(JsonText& out, const Entry& entry) {
    out += ",\"arguments\":{\"posonlyargs\":[{\"name\":";
    append_string(out, entry.kind == Kind::Constructor ? "cls" : "self");
    out += "}]";
    if (entry.arg_count > 0) {
        out += ",\"args\":[";
        for (std::size_t i = 0; i < entry.arg_count; ++i) {
            const Arg& arg = entry.args[i];
            if (i > 0) out += ',';
            out += '{';
            append_member(out, "name", arg.name);
            if (arg.default_text) append_member(out, "default", *arg.default_text);
            append_member(out, "annotation", arg.annotation);
            out += '}';
        }
        out += ']';
    }
    out += '}';
}

constexpr JsonText to_json(std::size_t index) {
    const Entry& entry = kTable[index];
    JsonText out;
    out += '{';
    switch (entry.kind) {
        case Kind::Module:
            append_member(out, "type", "module");
            append_member(out, "name", entry.name);
            append_member(out, "id", decimal(static_cast<int>(index)).view());
            out += ",\"incomplete\":true,\"members\":[]";
            break;
        case Kind::Class:
            append_member(out, "type", "class");
            append_member(out, "name", entry.name);
            append_member(out, "id", decimal(static_cast<int>(index)).view());
            break;
        default:
            append_member(out, "type", "function");
            append_member(out, "name", entry.name);
            append_member(out, "parent", decimal(entry.parent).view());
            append_args(out, entry);
            append_member(out, "returns", entry.returns);
            if (entry.kind == Kind::Property) out += ",\"decorators\":[\"property\"]";
            break;
    }
    out += '}';
    return out;
}

// ---- encoding ---------------------------------------------------------------

// The record: byte count (32-bit little-endian), then the JSON text.
template <std::size_t Index>
consteval auto encode() {
    constexpr JsonText json = to_json(Index);
    constexpr std::size_t size = json.size();
    static_assert(size <= UINT32_MAX);
    std::array<unsigned char, 4 + size> out{};
    for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>((size >> (8 * i)) & 0xFF);
    for (std::size_t i = 0; i < size; ++i) out[4 + i] = static_cast<unsigned char>(json.view()[i]);
    return out;
}

}  // namespace
}  // namespace brimlet::py

#define BRIMLET_INTROSPECTION_RECORD(n)                                                        \
    extern "C" __attribute__((visibility("default"), used)) constinit const auto               \
        BRIMLET_INTROSPECTION_V1_##n = brimlet::py::encode<n>();

BRIMLET_INTROSPECTION_RECORD(0)
BRIMLET_INTROSPECTION_RECORD(1)
BRIMLET_INTROSPECTION_RECORD(2)
BRIMLET_INTROSPECTION_RECORD(3)
BRIMLET_INTROSPECTION_RECORD(4)
BRIMLET_INTROSPECTION_RECORD(5)
BRIMLET_INTROSPECTION_RECORD(6)
BRIMLET_INTROSPECTION_RECORD(7)
BRIMLET_INTROSPECTION_RECORD(8)
BRIMLET_INTROSPECTION_RECORD(9)
BRIMLET_INTROSPECTION_RECORD(10)
BRIMLET_INTROSPECTION_RECORD(11)
BRIMLET_INTROSPECTION_RECORD(12)
BRIMLET_INTROSPECTION_RECORD(13)
BRIMLET_INTROSPECTION_RECORD(14)
BRIMLET_INTROSPECTION_RECORD(15)
BRIMLET_INTROSPECTION_RECORD(16)
BRIMLET_INTROSPECTION_RECORD(17)
BRIMLET_INTROSPECTION_RECORD(18)
BRIMLET_INTROSPECTION_RECORD(19)
BRIMLET_INTROSPECTION_RECORD(20)
BRIMLET_INTROSPECTION_RECORD(21)
BRIMLET_INTROSPECTION_RECORD(22)
BRIMLET_INTROSPECTION_RECORD(23)
BRIMLET_INTROSPECTION_RECORD(24)
BRIMLET_INTROSPECTION_RECORD(25)
BRIMLET_INTROSPECTION_RECORD(26)
BRIMLET_INTROSPECTION_RECORD(27)
BRIMLET_INTROSPECTION_RECORD(28)
BRIMLET_INTROSPECTION_RECORD(29)
BRIMLET_INTROSPECTION_RECORD(30)
BRIMLET_INTROSPECTION_RECORD(31)
BRIMLET_INTROSPECTION_RECORD(32)
BRIMLET_INTROSPECTION_RECORD(33)

// Every table row has its record: a field added to the schema needs one more
// line above.
static_assert(brimlet::py::kTable.size() == 34);
