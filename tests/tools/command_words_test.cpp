// The trace's words for packets a person cannot read at a glance: malformed and unexpected
// ones, and replies that go wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/command_words.h"

namespace {

std::vector<uint8_t> Packet(std::vector<uint8_t> head, size_t size = 64) {
    head.resize(size, 0);
    return head;
}

TEST(CommandWords, EveryPacketIsNamedByItsCodeAndBytes) {
    const struct {
        std::vector<uint8_t> packet;
        const char* words;
    } cases[] = {
        {Packet({0x04, 0x20, 0x00, 0x9A, 0x01, 0x2C}),
         "0x04 write sensor register 0x9A (exposure) = 300"},
        {Packet({0x04, 0x20, 0x04, 0x00, 0xFF, 0xFF}), "0x04 write sensor register 0x400 = 65535"},
        {Packet({0x04, 0x21, 0x00, 0x04, 0x00, 0x07}),
         "0x04 write sensor register 0x04 (global gain) = 7 at bus address 0x21"},
        {Packet({0x25, 0x06, 0x11}), "0x25 write control register 6 (reset pulse) = 17"},
        {Packet({0x26, 0xFF}), "0x26 read control register 255"},
        {Packet({0x41, 0x51, 0x02, 0x01, 0x12, 0x34}), "0x41 read memory byte 0x1234"},
        {Packet({0x41, 0x51, 0x02, 0x02, 0x12, 0x34}),
         "0x41 read memory byte 0x1234 with a wrong header (the camera ignores it)"},
        {Packet({0x40, 0xAA, 0x00, 0xBB}), "0x40 raw command, 3 bytes"},
        {Packet({0x40}), "0x40 raw command, 0 bytes"},
        {Packet({0x0A, 0x02}), "0x0A start-up (byte 1 = 0x02)"},
        {Packet({0x77}), "0x77 unknown command"},
        {Packet({0x04, 0x20, 0x00, 0x9A}, 32),
         "not a command, 32 of 64 bytes: 0x04 write sensor register 0x9A (exposure) = 0"},
        {{}, "nothing sent"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tool::DescribeCommand(c.packet), c.words);
}

TEST(CommandWords, RepliesAreReadBesideTheirQuery) {
    tool::ReplyReader reader;
    const std::vector<uint8_t> memory = Packet({0x41, 0x51, 0x02, 0x01, 0xBE, 0xEF});
    struct Step {
        std::vector<uint8_t> sent;  // empty: a reply arrives instead
        bool received;
        std::vector<uint8_t> reply;
        const char* words;
    };
    const Step steps[] = {
        {{}, true, Packet({0x07}), "reply to no query"},
        {memory, true, {}, ""},
        {{}, true, memory, "acknowledges 0x41 read memory byte 0xBEEF"},
        {{}, true, Packet({0x5A}, 16), "short reply, 16 of 64 bytes: memory byte 0xBEEF = 0x5A"},
        {{}, true, Packet({0x5A}), "reply to no query"},
        // A stream command between the query and its replies does not end the query.
        {Packet({0x29}), true, {}, ""},
        {Packet({0x03}), true, {}, ""},
        {{}, true, Packet({0x30}), "garbled acknowledgement of 0x29 query trigger status"},
        {{}, false, {}, "no reply to 0x29 query trigger status"},
        {Packet({0x29}), true, {}, ""},
        {{}, true, Packet({0x29}), "acknowledges 0x29 query trigger status"},
        {{}, true, Packet({0x10}), "trigger status 0x10: external trigger on"},
    };
    for (const Step& s : steps) {
        if (!s.sent.empty()) {
            reader.Sent(s.sent);
            continue;
        }
        EXPECT_EQ(reader.Received(s.received, s.reply), s.words);
    }
}

}  // namespace
