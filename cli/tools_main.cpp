// vextune-tools: every vextune command, the capture, the recognition
// client, the catalogue and the service included. vextune runs it for the
// commands it does not run itself, with the same arguments.
#include "command_line.h"

int main(int argc, char** argv)
{
    // Every command has its setup here: nothing is handed over.
    const auto nowhere = [](const vxt::cli::command&, char**) { return vxt::cli::exit_failure; };
    return vxt::cli::run_command_line(argc, argv, vxt::cli::commands(), nowhere);
}
