// The camera's command packets and replies in words, for the USB trace: what a packet on the
// command pipe asks for, and what a packet on the reply pipe answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// What one packet sent on the command pipe asks the camera, led by its code:
// "0x04 write sensor register 0x9A (exposure) = 300", "0x26 read control register 15".
// A packet shorter than 64 bytes is no command to the camera, and says so.
std::string DescribeCommand(const std::vector<uint8_t>& packet);

// Replies carry no code of their own: a query's first reply echoes it, the second holds the
// answer in byte 0. So a reply means something only beside the query before it, and the
// reader follows the command pipe to know which one that is.
class ReplyReader {
public:
    // A packet went out on the command pipe; a whole query packet becomes the one replies
    // answer (the camera drops the replies of an earlier query).
    void Sent(const std::vector<uint8_t>& packet);
    // A read on the reply pipe ended: `received` false when it failed, `bytes` what arrived.
    std::string Received(bool received, const std::vector<uint8_t>& bytes);

private:
    std::vector<uint8_t> query_;  // empty before the first query
    int replies_ = 0;             // reads on the reply pipe since the query went out
};

}  // namespace tool
