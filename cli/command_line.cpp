#include "command_line.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "vextune/vextuneAPI.h"

namespace vxt::cli {
namespace {

const command* find_command(std::span<const command> table, std::string_view name)
{
    const auto found = std::find_if(table.begin(), table.end(), [&](const command& c) { return c.name == name; });
    return found == table.end() ? nullptr : &*found;
}

int usage_error(const std::string& message, std::string_view usage)
{
    diagnose(message);
    std::cerr << usage << '\n';
    return exit_usage;
}

int run_parsed(int argc, char** argv, std::span<const command> table, const command_handover& handover)
{
    const std::string usage = program_usage(table);
    // Caught here, CLI11 would only say that a command is required.
    if (argc < 2)
        return usage_error("no command given", usage);
    const std::string first = argv[1];
    const command* named = find_command(table, first);
    if (!first.starts_with('-') && !named)
        return usage_error("unknown command '" + first + "'", usage);
    if (first.starts_with('-') && first != "-h" && first != "--help" && first != "--version")
        return usage_error("unknown option '" + first + "'", usage);
    // Before CLI11 has built anything: the other executable parses it all.
    if (named && !named->setup)
        return handover(*named, argv);

    CLI::App app{"Makes audio signatures of audio files and prints signatures as text.", "vextune"};
    app.set_version_flag("--version", std::string(engine_version()), "Print the engine version and exit");
    app.require_subcommand(1);
    app.footer("Run 'vextune COMMAND --help' for the options of a command.");

    struct wired {
        const command* of;
        CLI::App* subcommand;
        command_runner run;
    };
    std::vector<wired> subcommands;
    for (const command& c : table) {
        CLI::App* sub = app.add_subcommand(std::string(c.name), std::string(c.summary));
        subcommands.push_back({&c, sub, c.setup ? c.setup(*sub) : command_runner{}});
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help or --version
    } catch (const CLI::ParseError& e) {
        const auto parsed = app.get_subcommands();
        std::string_view command_usage = usage;
        for (const wired& w : subcommands)
            if (!parsed.empty() && parsed.front() == w.subcommand)
                command_usage = w.of->usage;
        return usage_error(e.what(), command_usage);
    }

    for (const wired& w : subcommands)
        if (w.subcommand->parsed())
            return w.run ? w.run() : handover(*w.of, argv);
    return usage_error("no command given", usage);  // require_subcommand(1) leaves none unparsed
}

}  // namespace

std::string program_usage(std::span<const command> table)
{
    std::string names;
    for (const command& c : table)
        names += (names.empty() ? "" : "|") + std::string(c.name);
    return "usage: vextune [--help] [--version] {" + names + "} ...";
}

int run_command_line(int argc, char** argv, std::span<const command> table, const command_handover& handover)
{
    try {
        return run_parsed(argc, argv, table, handover);
    } catch (const std::exception& e) {
        std::cerr << "vextune: " << e.what() << '\n';
        return exit_failure;
    }
}

namespace {

std::mutex& error_lines_lock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

void diagnose(const std::string& text)
{
    std::lock_guard hold(error_lines_lock());
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << ("vextune: " + text + '\n');
}

void print_error_line(const std::string& line)
{
    std::lock_guard hold(error_lines_lock());
    std::cerr << (line + '\n');
    std::cerr.flush();
}

std::string display_name(const std::string& path)
{
    return path == "-" ? "standard input" : path;
}

}  // namespace vxt::cli
