#include "tools/props_ops.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>

namespace tool {
namespace {

[[noreturn]] void Refuse(const std::string& message) {
    throw CLI::ValidationError(message);
}

bool IsOpWord(const std::string& w) {
    return w == "list" || w == "get" || w == "set" || w == "reinit";
}

// A 32-bit value as an application would type it: decimal, negative, or 0x hexadecimal up to
// 0xFFFFFFFF (taken as the same 32 bits).
LONG ParseValue(const std::string& text, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        Refuse(what + ": '" + text + "' is not a whole number");
    if (v < INT32_MIN || v > 0xFFFFFFFFLL)
        Refuse(what + ": " + text + " does not fit in 32 bits");
    return LONG(uint32_t(v));
}

std::vector<LONG> ParseList(const std::string& text, const std::string& what) {
    std::vector<LONG> values;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        values.push_back(ParseValue(text.substr(start, comma - start), what));
        if (comma == std::string::npos)
            return values;
        start = comma + 1;
    }
}

std::vector<uint8_t> ParseHex(const std::string& text) {
    if (text.size() % 2 != 0 || text.size() > 2 * kRawCommandBytes)
        Refuse("RawCommand: give up to 64 bytes as pairs of hex digits, e.g. 0102ff");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        unsigned long b = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || pair.find_first_of("+- ") != std::string::npos)
            Refuse("RawCommand: '" + pair + "' is not a hex byte");
        bytes.push_back(uint8_t(b));
    }
    return bytes;
}

ULONG ParseName(const std::string& text) {
    ULONG id = 0;
    if (!PropertyFromText(text, &id))
        Refuse("no property '" + text + "' (`bayercam props list` names them all)");
    return id;
}

PropsOp ParseAssignment(const std::string& word) {
    size_t equals = word.find('=');
    if (equals == std::string::npos)
        Refuse("set " + word + ": expected NAME=VALUE");
    PropsOp op;
    op.kind = OpKind::Set;
    op.id = ParseName(word.substr(0, equals));
    std::string value = word.substr(equals + 1);
    std::string name = PropertyName(op.id);
    if (op.id == PropRoi) {
        std::vector<LONG> v = ParseList(value, name);
        if (v.size() != 4)
            Refuse("Roi: expected X,Y,W,H");
        for (int i = 0; i < 4; ++i)
            op.roi[i] = v[i];
    } else if (op.id == PropRawCommand) {
        size_t slash = value.find('/');
        op.bytes = ParseHex(value.substr(0, slash));
        op.length = LONG(op.bytes.size());
        if (slash != std::string::npos)
            op.length = ParseValue(value.substr(slash + 1), "RawCommand length");
    } else {
        std::vector<LONG> v = ParseList(value, name);
        if (v.size() > 2)
            Refuse(name + ": expected VALUE or VALUE,SECOND");
        op.value = v[0];
        op.second = v.size() > 1 ? v[1] : 0;
    }
    return op;
}

}  // namespace

std::vector<PropsOp> ParsePropsOps(const std::vector<std::string>& words) {
    std::vector<PropsOp> ops;
    size_t i = 0;
    while (i < words.size()) {
        const std::string& word = words[i++];
        if (!IsOpWord(word))
            Refuse("'" + word + "' is not an operation (list, get, set, reinit)");
        if (word == "list" || word == "reinit") {
            PropsOp op;
            op.kind = word == "list" ? OpKind::List : OpKind::Reinit;
            op.id = PropReinitialize;
            ops.push_back(op);
            continue;
        }
        size_t first = i;
        for (; i < words.size() && !IsOpWord(words[i]); ++i) {
            if (word == "get") {
                PropsOp op;
                op.kind = OpKind::Get;
                op.id = ParseName(words[i]);
                ops.push_back(op);
            } else {
                ops.push_back(ParseAssignment(words[i]));
            }
        }
        if (i == first)
            Refuse(word + " needs at least one " + (word == "get" ? "NAME" : "NAME=VALUE"));
    }
    if (ops.empty())
        ops.push_back(PropsOp{});
    return ops;
}

}  // namespace tool
