// The operations of `bayercam props`, parsed from the words after the options:
//   list | get NAME|ID... | set NAME=VALUE[,SECOND]... | set Roi=X,Y,W,H
//   | set RawCommand=HEX[/LENGTH] | set ReadByte=ADDRESS | reinit
// Each get and set takes names or assignments up to the next operation word.
#pragma once

#include <string>
#include <vector>

#include "tools/property_names.h"

namespace tool {

enum class OpKind { List, Get, Set, Reinit };

struct PropsOp {
    OpKind kind = OpKind::List;
    ULONG id = 0;
    LONG value = 0;
    LONG second = 0;
    LONG roi[4] = {};            // Roi: x, y, width, height
    std::vector<uint8_t> bytes;  // RawCommand: the bytes to send (at most 64)
    LONG length = 0;             // RawCommand: Length as sent
};

// Throws CLI::ValidationError with the reason for anything malformed. No words: one list.
std::vector<PropsOp> ParsePropsOps(const std::vector<std::string>& words);

}  // namespace tool
