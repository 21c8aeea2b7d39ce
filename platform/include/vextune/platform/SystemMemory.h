// How much memory this process may use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace VextuneCore::Platform {

// The memory limit of the process in bytes: the cgroup's limit where one is
// set (cgroup v2 memory.max, else v1 memory.limit_in_bytes; the smallest
// over the process's group and its parents, whose limits apply too),
// otherwise the physical memory (MemTotal). Nothing when neither can be
// read.
std::optional<std::uint64_t> AppMemoryUsageLimit();

// The same, read from a given root (tests): root + "/sys/fs/cgroup/...",
// root + "/proc/self/cgroup", root + "/proc/meminfo".
std::optional<std::uint64_t> AppMemoryUsageLimit(const std::string& root);

}  // namespace VextuneCore::Platform
