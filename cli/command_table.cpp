// The one list of the vextune commands. It is compiled twice: into
// vextune-tools with every command's setup, and into the light vextune
// (VXT_CLI_LIGHT) with the setups of the light commands only, so that
// vextune links none of the libraries behind the others and hands those
// commands over.
#include "command_line.h"
#include "light_commands.h"
#include "tool_commands.h"

#ifdef VXT_CLI_LIGHT
#define VXT_TOOL_SETUP(setup) nullptr
#else
#define VXT_TOOL_SETUP(setup) setup
#endif

namespace vxt::cli {
namespace {

constexpr command table[] = {
    {"signature", "Make the signature of an audio file", signature_usage, true, setup_signature},
    {"dump", "Print a signature as text", dump_usage, true, setup_dump},
    {"listen", "Capture from a microphone (or a recording) and write the signature made", listen_usage, false,
     VXT_TOOL_SETUP(setup_listen)},
    {"devices", "List the capture sources", devices_usage, false, VXT_TOOL_SETUP(setup_devices)},
    {"recognize", "Recognize what a microphone (or a recording) hears, through the service a request names",
     recognize_usage, false, VXT_TOOL_SETUP(setup_recognize)},
    {"catalogue", "Build and inspect the catalogue of known music", catalogue_usage, false,
     VXT_TOOL_SETUP(setup_catalogue)},
    {"match", "Recognize recordings offline against the catalogue, a JSON line each", match_usage, false,
     VXT_TOOL_SETUP(setup_match)},
    {"monitor", "Follow a stream or a recording: a line as each play starts and ends", monitor_usage, false,
     VXT_TOOL_SETUP(setup_monitor)},
    {"serve", "Answer recognition requests over HTTP", serve_usage, false, VXT_TOOL_SETUP(setup_serve)},
};

}  // namespace

std::span<const command> commands()
{
    return table;
}

}  // namespace vxt::cli
