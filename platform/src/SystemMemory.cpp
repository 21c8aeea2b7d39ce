#include "vextune/platform/SystemMemory.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>

namespace VextuneCore::Platform {
namespace {

// v1 reports "no limit" as the largest page-aligned 63-bit value; anything
// this large is no limit.
constexpr std::uint64_t v1_unlimited = std::uint64_t{1} << 62;

std::optional<std::string> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

std::optional<std::uint64_t> parse_number(std::string_view s)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size() || s.empty())
        return std::nullopt;
    return value;
}

// The cgroup path of this process in the hierarchy whose controller list
// satisfies wanted ("0::/path" for v2, "N:cpu,memory:/path" for v1).
template <typename Wanted>
std::optional<std::string> cgroup_path(const std::string& proc_cgroup, Wanted wanted)
{
    std::istringstream lines(proc_cgroup);
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string_view id(line.data(), first);
        const std::string_view controllers(line.data() + first + 1, second - first - 1);
        if (wanted(id, controllers))
            return line.substr(second + 1);
    }
    return std::nullopt;
}

// The smallest limit in the cgroup at path under mount and in each of its
// parents up to the mount itself, since every ancestor's limit applies too.
// limit_of turns a file's contents into a limit (nothing: no limit there).
template <typename LimitOf>
std::optional<std::uint64_t> smallest_limit(const std::string& mount, std::string path, const char* file,
                                            LimitOf limit_of)
{
    std::optional<std::uint64_t> smallest;
    while (true) {
        while (!path.empty() && path.back() == '/')
            path.pop_back();
        if (auto text = read_file(mount + path + "/" + file)) {
            if (auto limit = limit_of(trim(*text)))
                smallest = std::min(smallest.value_or(*limit), *limit);
        }
        if (path.empty())
            return smallest;
        const auto slash = path.rfind('/');
        path.erase(slash == std::string::npos ? 0 : slash);
    }
}

bool has_memory_controller(std::string_view controllers)
{
    while (!controllers.empty()) {
        const auto comma = controllers.find(',');
        if (controllers.substr(0, comma) == "memory")
            return true;
        if (comma == std::string_view::npos)
            break;
        controllers.remove_prefix(comma + 1);
    }
    return false;
}

std::optional<std::uint64_t> physical_memory(const std::string& root)
{
    const auto meminfo = read_file(root + "/proc/meminfo");
    if (!meminfo)
        return std::nullopt;
    std::istringstream lines(*meminfo);
    std::string line;
    while (std::getline(lines, line)) {
        constexpr std::string_view key = "MemTotal:";
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::string_view value = trim(std::string_view(line).substr(key.size()));
        if (value.size() > 2 && value.substr(value.size() - 2) == "kB")
            value = trim(value.substr(0, value.size() - 2));
        if (auto kib = parse_number(value))
            return *kib * 1024;
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> AppMemoryUsageLimit(const std::string& root)
{
    if (const auto proc_cgroup = read_file(root + "/proc/self/cgroup")) {
        const std::string mount = root + "/sys/fs/cgroup";
        // cgroup v2: the unified hierarchy, "max" where a group has no limit.
        if (auto path = cgroup_path(*proc_cgroup, [](std::string_view id, std::string_view controllers) {
                return id == "0" && controllers.empty();
            })) {
            auto limit =
                smallest_limit(mount, *path, "memory.max", [](std::string_view text) { return parse_number(text); });
            if (limit)
                return limit;
        }
        // cgroup v1: the memory controller's own hierarchy.
        if (auto path = cgroup_path(*proc_cgroup, [](std::string_view, std::string_view controllers) {
                return has_memory_controller(controllers);
            })) {
            auto limit = smallest_limit(mount + "/memory", *path, "memory.limit_in_bytes",
                                        [](std::string_view text) -> std::optional<std::uint64_t> {
                                            auto value = parse_number(text);
                                            if (value && *value >= v1_unlimited)
                                                return std::nullopt;
                                            return value;
                                        });
            if (limit)
                return limit;
        }
    }
    return physical_memory(root);
}

std::optional<std::uint64_t> AppMemoryUsageLimit()
{
    return AppMemoryUsageLimit(std::string());
}

}  // namespace VextuneCore::Platform
