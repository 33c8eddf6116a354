// CommandLine: what every Kova program's command line shares: --help on each command,
// --version on each program, and one way of refusing bad arguments.
//
// Threading: called from main, before any thread starts.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>

namespace kova::cli {

// The exit status of a program that refuses its arguments.
inline constexpr int kBadArguments = 2;

// `program` answers --version with its name and the project's version.
inline void addVersion(CLI::App& program) {
    program.set_version_flag("--version", program.get_name() + " " + KOVA_VERSION);
}

// The command the user named last: `program` itself or the deepest subcommand given.
inline const CLI::App& commandGiven(const CLI::App& program) {
    const CLI::App* command = &program;
    while (!command->get_subcommands().empty()) command = command->get_subcommands().front();
    return *command;
}

// "kova view" for the subcommand view of kova.
inline std::string commandPath(const CLI::App& command) {
    std::string path = command.get_name();
    for (const CLI::App* parent = command.get_parent(); parent != nullptr;
         parent = parent->get_parent()) {
        path = parent->get_name() + " " + path;
    }
    return path;
}

// Writes "<program>: <why>" and the usage line of the command given to stderr; returns the status
// to exit with.
inline int refuse(const CLI::App& program, const std::string& why) {
    const CLI::App& command = commandGiven(program);
    const std::string path = commandPath(command);
    std::string usage = CLI::Formatter().make_usage(&command, path);
    while (!usage.empty() && usage.back() == '\n') usage.pop_back();
    std::fprintf(stderr, "%s: %s\n%s (%s --help says more)\n", program.get_name().c_str(),
                 why.c_str(), usage.c_str(), path.c_str());
    return kBadArguments;
}

// Parses the command line. Returns the status to exit with when the program has nothing more to
// do (0 after --help or --version, kBadArguments after a refusal, whose reason follows
// `refusalPrefix`), or nothing when it goes on.
inline std::optional<int> parse(CLI::App& program, int argc, const char* const* argv,
                                const std::string& refusalPrefix = "") {
    try {
        program.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return program.exit(done);
    } catch (const CLI::ParseError& error) {
        return refuse(program, refusalPrefix + error.what());
    }
    return std::nullopt;
}

}  // namespace kova::cli
