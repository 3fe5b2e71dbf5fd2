// bayercam: the driver's command line on the host build. It loads the same driver sources as
// the kernel image, makes simulated devices arrive and shows what the driver does with them.
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/command.h"

namespace tool {

namespace {
// Sorted by name, so the help lists the commands in the same order whatever order the files'
// initialisers ran in.
std::map<std::string, Command>& Commands() {
    static std::map<std::string, Command> commands;
    return commands;
}

struct Chosen {
    CLI::App* command;
    Job job;
};

// The subcommand the command line reached, for naming it in messages; null before one.
const CLI::App* Reached(const CLI::App& app) {
    std::vector<CLI::App*> parsed = app.get_subcommands();
    return parsed.empty() ? nullptr : parsed.front();
}

int UsageFailure(const CLI::App& app, const std::string& message) {
    const CLI::App* command = Reached(app);
    std::string who = command ? "bayercam " + command->get_name() : "bayercam";
    std::fprintf(stderr, "%s: %s\n(`%s --help` lists the options)\n", who.c_str(), message.c_str(),
                 who.c_str());
    return kExitUsage;
}

// `bayercam help [COMMAND]`, kept for those used to it: the same text as --help.
Job SetupHelp(CLI::App& app, CLI::App& help) {
    auto name = std::make_shared<std::string>();
    help.add_option("COMMAND", *name, "the command whose options to list");
    return [&app, name]() {
        if (name->empty()) {
            // Not app.help(): that shows the help of the command chosen, which is this one.
            std::printf("%s", app.get_formatter()
                                  ->make_help(&app, "bayercam", CLI::AppFormatMode::Normal)
                                  .c_str());
            return kExitSuccess;
        }
        CLI::App* command = nullptr;
        try {
            command = app.get_subcommand(*name);
        } catch (const CLI::OptionNotFound&) {
            throw CLI::ValidationError("COMMAND", "no command '" + *name + "'");
        }
        std::printf("%s", command->help("bayercam").c_str());
        return kExitSuccess;
    };
}
}  // namespace

bool RegisterCommand(const Command& command) {
    Commands()[command.name] = command;
    return true;
}

}  // namespace tool

int main(int argc, char** argv) {
    using namespace tool;
    CLI::App app{
        "The bayercam driver's command line on the host build: simulated cameras "
        "arrive and the driver's answers are shown.",
        "bayercam"};
    app.set_version_flag("--version", "bayercam " BAYERCAM_VERSION);
    app.require_subcommand(0, 1);
    app.footer(
        "Exit status: 0 done, 1 the job failed, 2 the command line was wrong.\n"
        "`bayercam COMMAND --help` lists a command's options.");

    std::vector<Chosen> chosen;
    for (auto& [name, command] : Commands()) {
        CLI::App* sub = app.add_subcommand(name, command.summary);
        chosen.push_back({sub, command.setup(*sub)});
    }
    CLI::App* help = app.add_subcommand("help", "list the commands, or one command's options");
    chosen.push_back({help, SetupHelp(app, *help)});

    try {
        app.parse(argc, argv);
        for (Chosen& c : chosen) {
            if (c.command->parsed())
                return c.job();
        }
        std::fprintf(stderr, "%s", app.help().c_str());
        return kExitUsage;
    } catch (const CLI::ParseError& e) {
        // --help and --version arrive as "errors" with status 0; CLI11 prints them.
        if (e.get_exit_code() == int(CLI::ExitCodes::Success))
            return app.exit(e);
        // A word where a command belongs is a mistyped command, not a stray argument.
        if (!Reached(app) && argc > 1 && argv[1][0] != '-')
            return UsageFailure(app, std::string("no command '") + argv[1] + "'");
        return UsageFailure(app, e.what());
    } catch (const std::exception& e) {
        // A job must not end in an abort: whatever it did not foresee is still its failure.
        const CLI::App* command = Reached(app);
        std::fprintf(stderr, "bayercam%s%s: %s\n", command ? " " : "",
                     command ? command->get_name().c_str() : "", e.what());
        return kExitFailure;
    }
}
