// Subcommands of the bayercam command line. Each lives in its own file and registers itself;
// main.cpp gives each one a CLI11 subcommand, parses the command line and runs the one chosen.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace tool {

// Exit statuses, the same for every command, so scripts can tell a mistyped command line from
// a job that ran and failed.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // the job ran and did not do what was asked
constexpr int kExitUsage = 2;    // the command line was wrong; nothing was done

// What runs once the command line parsed; returns the exit status. It may still throw a
// CLI::ParseError (e.g. CLI::ValidationError) for a misuse the options alone cannot catch,
// such as a combination of them; that ends the run with kExitUsage.
using Job = std::function<int()>;

struct Command {
    const char* name;
    const char* summary;
    // Adds the command's options to its subcommand, bound to storage the returned job owns.
    Job (*setup)(CLI::App& command);
};

// Called from a namespace-scope initialiser in each subcommand's file.
bool RegisterCommand(const Command& command);

}  // namespace tool
