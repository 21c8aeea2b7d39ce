// How the light vextune runs the commands it has no setup for: it replaces
// itself with vextune-tools, installed beside it, with the same arguments,
// so that their output and exit status are vextune-tools' own.
#pragma once

#include <string>

#include "command_line.h"

namespace vxt::cli {

inline constexpr const char* tools_name = "vextune-tools";

// Where vextune-tools is looked for, in order: the folder of the running
// executable (a build tree), then tools_relative_dir below it (an install,
// where the tools live under libexec).
std::string tools_path_beside(const std::string& executable, const std::string& tools_relative_dir);

// Executes vextune-tools with argv; returns exit_failure, after one line on
// standard error, only when it is missing or cannot be executed.
int hand_over(const command& c, char** argv);

}  // namespace vxt::cli
