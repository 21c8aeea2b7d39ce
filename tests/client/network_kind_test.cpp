// The network kind: the interface of the default route, wireless or not, on
// a made-up root of the file system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "vextune/client/NetworkKind.h"

namespace VextuneCore::Client::test {
namespace {

// A directory standing for the root of the file system.
class FakeRoot {
public:
    FakeRoot()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("vxt-network-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~FakeRoot() { std::filesystem::remove_all(path_); }

    std::string Path() const { return path_.string(); }

    void Routes(std::string_view lines)
    {
        std::filesystem::create_directories(path_ / "proc/net");
        std::ofstream(path_ / "proc/net/route")
            << "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            << lines;
    }
    void Interface(const std::string& name, bool wireless)
    {
        std::filesystem::create_directories(path_ / "sys/class/net" / name);
        if (wireless) {
            std::filesystem::create_directories(path_ / "sys/class/net" / name / "wireless");
        }
    }

private:
    std::filesystem::path path_;
};

std::string Route(std::string_view iface, std::string_view destination, std::string_view flags, int metric,
                  std::string_view mask)
{
    return std::string(iface) + "\t" + std::string(destination) + "\t0101A8C0\t" + std::string(flags) + "\t0\t0\t" +
           std::to_string(metric) + "\t" + std::string(mask) + "\t0\t0\t0\n";
}

TEST(NetworkKind, FollowsTheInterfaceOfTheDefaultRoute)
{
    const std::string lan = Route("eth0", "0000A8C0", "0001", 0, "00FFFFFF");
    const struct {
        std::string_view name;
        std::string routes;
        std::string_view kind;
    } cases[] = {
        {"wireless default", lan + Route("wlan0", "00000000", "0003", 600, "00000000"), "wifi"},
        {"wired default", Route("eth0", "00000000", "0003", 100, "00000000") + lan, "3g"},
        {"no default route", lan, "3g"},
        {"default route down", Route("wlan0", "00000000", "0002", 0, "00000000"), "3g"},
        {"default route to an unknown interface", Route("ppp0", "00000000", "0003", 0, "00000000"), "3g"},
        {"lower metric wins",
         Route("eth0", "00000000", "0003", 100, "00000000") + Route("wlan0", "00000000", "0003", 50, "00000000"),
         "wifi"},
        {"first of equal metrics",
         Route("eth0", "00000000", "0003", 100, "00000000") + Route("wlan0", "00000000", "0003", 100, "00000000"),
         "3g"},
        {"unreadable lines skipped", "garbage\n\n" + Route("wlan0", "00000000", "0003", 0, "00000000"), "wifi"},
        {"interface name climbing out", Route("..", "00000000", "0003", 0, "00000000"), "3g"},
        {"empty table", "", "3g"},
    };
    for (const auto& c : cases) {
        FakeRoot root;
        root.Interface("eth0", false);
        root.Interface("wlan0", true);
        std::filesystem::create_directories(root.Path() + "/sys/class/wireless");  // what ".." would reach
        root.Routes(c.routes);
        EXPECT_EQ(NetworkKind(root.Path()), c.kind) << c.name;
    }
}

TEST(NetworkKind, IsThreeGWhenTheRoutesCannotBeRead)
{
    FakeRoot root;
    root.Interface("wlan0", true);
    EXPECT_EQ(NetworkKind(root.Path()), "3g") << "no route table";
    std::filesystem::create_directories(root.Path() + "/proc/net/route");
    EXPECT_EQ(NetworkKind(root.Path()), "3g") << "route table is a directory";
    EXPECT_EQ(NetworkKind(root.Path() + "/missing"), "3g") << "no root";
}

TEST(NetworkKind, WirelessMustBeADirectory)
{
    FakeRoot root;
    root.Interface("wlan0", false);
    std::ofstream(root.Path() + "/sys/class/net/wlan0/wireless") << "";
    root.Routes(Route("wlan0", "00000000", "0003", 0, "00000000"));
    EXPECT_EQ(NetworkKind(root.Path()), "3g");
}

}  // namespace
}  // namespace VextuneCore::Client::test
