#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "vextune/platform/SystemMemory.h"

namespace VextuneCore::Platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t MiB = 1024 * 1024;
const std::pair<std::string, std::string> meminfo{"proc/meminfo",
                                                  "MemTotal:        8000000 kB\nMemFree:         100 kB\n"};
constexpr std::uint64_t meminfo_bytes = 8000000ull * 1024;

struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // path under the root, contents
    std::optional<std::uint64_t> limit;
};

TEST(SystemMemory, ReadsTheLimitThatApplies)
{
    const std::string v2_self = "0::/app.slice/vx.scope\n";
    const std::string v1_self = "12:memory:/docker/vx\n11:cpu,cpuacct:/docker/vx\n";
    const Case cases[] = {
        {"v2 limit",
         {{"proc/self/cgroup", v2_self}, {"sys/fs/cgroup/app.slice/vx.scope/memory.max", "536870912\n"}, meminfo},
         512 * MiB},
        {"v2 max everywhere: physical memory",
         {{"proc/self/cgroup", v2_self},
          {"sys/fs/cgroup/app.slice/vx.scope/memory.max", "max\n"},
          {"sys/fs/cgroup/app.slice/memory.max", "max\n"},
          meminfo},
         meminfo_bytes},
        {"v2 parent lower than the group",
         {{"proc/self/cgroup", v2_self},
          {"sys/fs/cgroup/app.slice/vx.scope/memory.max", "1073741824\n"},
          {"sys/fs/cgroup/app.slice/memory.max", "268435456\n"},
          meminfo},
         256 * MiB},
        {"v2 group lower than its parent",
         {{"proc/self/cgroup", v2_self},
          {"sys/fs/cgroup/app.slice/vx.scope/memory.max", "268435456\n"},
          {"sys/fs/cgroup/app.slice/memory.max", "1073741824\n"}},
         256 * MiB},
        {"v2 in its own namespace",
         {{"proc/self/cgroup", "0::/\n"}, {"sys/fs/cgroup/memory.max", "104857600\n"}, meminfo},
         100 * MiB},
        {"v2 unreadable value",
         {{"proc/self/cgroup", v2_self}, {"sys/fs/cgroup/app.slice/memory.max", "lots\n"}, meminfo},
         meminfo_bytes},
        {"v1 limit",
         {{"proc/self/cgroup", v1_self},
          {"sys/fs/cgroup/memory/docker/vx/memory.limit_in_bytes", "2147483648\n"},
          meminfo},
         2048 * MiB},
        {"v1 shared hierarchy",
         {{"proc/self/cgroup", "4:cpu,memory:/vx\n"}, {"sys/fs/cgroup/memory/vx/memory.limit_in_bytes", "1048576\n"}},
         MiB},
        {"v1 unlimited",
         {{"proc/self/cgroup", v1_self},
          {"sys/fs/cgroup/memory/docker/vx/memory.limit_in_bytes", "9223372036854771712\n"},
          meminfo},
         meminfo_bytes},
        {"hybrid: v2 without a limit, v1 with one",
         {{"proc/self/cgroup", "0::/\n" + v1_self},
          {"sys/fs/cgroup/memory/docker/vx/memory.limit_in_bytes", "2147483648\n"},
          meminfo},
         2048 * MiB},
        {"no cgroup file", {meminfo}, meminfo_bytes},
        {"nothing readable", {}, std::nullopt},
    };

    const fs::path base = fs::temp_directory_path() / ("vxt-memory-" + std::to_string(::getpid()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(base);
        fs::create_directories(base);
        for (const auto& [path, contents] : c.files) {
            fs::create_directories((base / path).parent_path());
            std::ofstream(base / path) << contents;
        }
        EXPECT_EQ(AppMemoryUsageLimit(base.string()), c.limit);
    }
    fs::remove_all(base);
}

TEST(SystemMemory, ReadsThisMachine)
{
    const auto limit = AppMemoryUsageLimit();
    ASSERT_TRUE(limit.has_value());
    EXPECT_GT(*limit, 16 * MiB);
}

}  // namespace
}  // namespace VextuneCore::Platform
