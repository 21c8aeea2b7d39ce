#include "handover.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <unistd.h>

namespace vxt::cli {
namespace {

std::string running_executable()
{
    std::string path(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(length));
    return path;
}

}  // namespace

std::string tools_path_beside(const std::string& executable, const std::string& tools_relative_dir)
{
    const auto slash = executable.rfind('/');
    if (slash == std::string::npos)
        return {};
    const std::string folder = executable.substr(0, slash + 1);
    for (const std::string& candidate : {folder + tools_name, folder + tools_relative_dir + "/" + tools_name}) {
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

int hand_over(const command& c, char** argv)
{
    const std::string executable = running_executable();
    const std::string tools = tools_path_beside(executable, VXT_TOOLS_RELATIVE_DIR);
    if (tools.empty()) {
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a
        // chain of operator+ that starts from a one-character literal.
        std::string message = "'";
        message.append(c.name).append("' is run by ").append(tools_name);
        message.append(", which is not installed beside ").append(executable.empty() ? "this vextune" : executable);
        diagnose(message);
        return exit_failure;
    }
    std::cout.flush();
    std::fflush(nullptr);
    ::execv(tools.c_str(), argv);
    diagnose("cannot run " + tools + ": " + std::strerror(errno));
    return exit_failure;
}

}  // namespace vxt::cli
