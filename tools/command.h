// Subcommands of the bayercam command line. Each lives in its own file and registers itself.
#pragma once

#include <string>
#include <vector>

namespace tool {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* summary;
    const char* usage;  // the options, printed by `bayercam help NAME`
    int (*run)(const Args& args);
};

// Called from a namespace-scope initialiser in each subcommand's file.
bool RegisterCommand(const Command& command);

// Option helpers shared by the subcommands. Every value is checked: a malformed number or a
// missing value prints a clear message and makes the command fail with exit status 2.
struct UsageError {
    std::string message;
};
bool TakeFlag(Args& args, const std::string& name);
bool TakeValue(Args& args, const std::string& name, std::string* value);
bool TakeInt(Args& args, const std::string& name, long long min, long long max, long long* value);
// Parses "a,b,c" into exactly `count` integers within [min, max].
std::vector<long long> ParseIntList(const std::string& text, size_t count, long long min,
                                    long long max, const std::string& what);
// Anything left that starts with "--" is an unknown option.
void RejectUnknownOptions(const Args& args);

}  // namespace tool
