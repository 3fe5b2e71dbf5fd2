// bayercam: the driver's command line on the host build. It loads the same driver sources as
// the kernel image, makes simulated devices arrive and shows what the driver does with them.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "tools/command.h"

namespace tool {

namespace {
std::map<std::string, Command>& Commands() {
    static std::map<std::string, Command> commands;
    return commands;
}

long long ParseInt(const std::string& text, long long min, long long max, const std::string& what) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        throw UsageError{what + ": not a number: '" + text + "'"};
    }
    if (v < min || v > max) {
        throw UsageError{what + ": " + text + " is outside " + std::to_string(min) + ".." +
                         std::to_string(max)};
    }
    return v;
}

int Help(const char* only) {
    if (only) {
        auto it = Commands().find(only);
        if (it == Commands().end()) {
            std::fprintf(stderr, "bayercam: no command '%s'\n", only);
            return 2;
        }
        std::printf("bayercam %s %s\n  %s\n", it->first.c_str(), it->second.usage,
                    it->second.summary);
        return 0;
    }
    std::printf("usage: bayercam COMMAND [options]\n\ncommands:\n");
    for (auto& [name, command] : Commands()) {
        std::printf("  %-10s %s\n", name.c_str(), command.summary);
    }
    std::printf("\n`bayercam help COMMAND` lists a command's options.\n");
    return 0;
}
}  // namespace

bool RegisterCommand(const Command& command) {
    Commands()[command.name] = command;
    return true;
}

bool TakeFlag(Args& args, const std::string& name) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == name) {
            args.erase(it);
            return true;
        }
    }
    return false;
}

bool TakeValue(Args& args, const std::string& name, std::string* value) {
    for (auto it = args.begin(); it != args.end(); ++it) {
        if (*it == name) {
            if (it + 1 == args.end())
                throw UsageError{name + " needs a value"};
            *value = *(it + 1);
            args.erase(it, it + 2);
            return true;
        }
        if (it->rfind(name + "=", 0) == 0) {
            *value = it->substr(name.size() + 1);
            args.erase(it);
            return true;
        }
    }
    return false;
}

bool TakeInt(Args& args, const std::string& name, long long min, long long max, long long* value) {
    std::string text;
    if (!TakeValue(args, name, &text))
        return false;
    *value = ParseInt(text, min, max, name);
    return true;
}

std::vector<long long> ParseIntList(const std::string& text, size_t count, long long min,
                                    long long max, const std::string& what) {
    std::vector<long long> values;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        values.push_back(ParseInt(text.substr(start, comma - start), min, max, what));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (values.size() != count) {
        throw UsageError{what + ": expected " + std::to_string(count) + " comma-separated values"};
    }
    return values;
}

void RejectUnknownOptions(const Args& args) {
    for (auto& a : args) {
        if (a.rfind("--", 0) == 0)
            throw UsageError{"unknown option " + a};
    }
}

}  // namespace tool

int main(int argc, char** argv) {
    using namespace tool;
    if (argc < 2 || std::string(argv[1]) == "help" || std::string(argv[1]) == "--help") {
        return Help(argc >= 3 && std::string(argv[1]) == "help" ? argv[2] : nullptr);
    }
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::fprintf(stderr, "bayercam: unknown command '%s' (try `bayercam help`)\n", argv[1]);
        return 2;
    }
    Args args(argv + 2, argv + argc);
    try {
        return it->second.run(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "bayercam %s: %s\n", argv[1], e.message.c_str());
        return 2;
    }
}
