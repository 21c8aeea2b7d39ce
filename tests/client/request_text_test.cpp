// The request text: base64 of the signature, the sample length as text, the
// template filled with both, the UTF-16 length, the network kind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "vextune/client/RequestText.h"

namespace VextuneCore::test {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A plain decoder, to check that every byte value comes back.
std::vector<std::uint8_t> DecodeBase64(std::string_view text)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) {
            ADD_FAILURE() << "not a base64 character: " << c;
            return {};
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> count));
        }
    }
    return bytes;
}

TEST(Base64, MatchesTheRfc4648Vectors)
{
    const struct {
        std::string_view bytes, text;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64(Bytes(c.bytes)), c.text) << "bytes \"" << c.bytes << '"';
    }
}

TEST(Base64, EveryByteValueComesBackWithoutLineBreaks)
{
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    // Every length modulo 3, so each padding ends a text once.
    for (std::size_t length : {std::size_t{256}, std::size_t{255}, std::size_t{254}}) {
        const std::string text = Base64(std::span(all).first(length));
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(DecodeBase64(text), std::vector<std::uint8_t>(all.begin(), all.begin() + length));
    }
}

struct SampleCase {
    double value;
    std::string_view text;
};

const SampleCase kSampleCases[] = {
    {3000.0, "3000.0000"},
    {12000.0, "12000.000"},
    {99.0, "99.000000"},
    {0.5, "0.500000"},  // shorter than the width: nothing to cut
    {12345678.0, "12345678"},    // the cut falls right after the point
    {123456789.0, "123456789"},  // the whole part alone fills the width
    {1e12, "1000000000000"},     // never cut inside the whole part
    {-3000.0, "-3000.000"},
    {-12345678.0, "-12345678"},
    {0.0000004, "0.000000"},  // "%f" rounds to six decimals
    {0.0000006, "0.000001"},
    {1234.56789, "1234.5678"},  // the cut does not round
    {std::numeric_limits<double>::quiet_NaN(), "0"},
    {std::numeric_limits<double>::infinity(), "0"},
    {-std::numeric_limits<double>::infinity(), "0"},
};

void ExpectSampleTexts()
{
    for (const SampleCase& c : kSampleCases) {
        EXPECT_EQ(SampleText(c.value), c.text) << "value " << c.value;
    }
}

TEST(SampleText, IsPrintfFixedCutToNineCharacters) { ExpectSampleTexts(); }

TEST(SampleText, IgnoresTheLocale)
{
    const std::string before = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
        GTEST_SKIP() << "the locale de_DE.UTF-8 is not installed";
    }
    ExpectSampleTexts();
    std::setlocale(LC_ALL, before.c_str());
}

TEST(FillTemplate, ReplacesBothPlaceholdersEverywhere)
{
    const struct {
        std::string_view request_template, signature, sample, filled;
    } cases[] = {
        {R"({"a":1})", "SIG", "3000.0000", R"({"a":1})"},
        {R"({"s":"{sigdata}","t":"{sigdata}","m":"{samplems}","n":"{samplems}"})", "SIG", "3000.0000",
         R"({"s":"SIG","t":"SIG","m":3000.0000,"n":3000.0000})"},
        // Only the quoted placeholder is replaced, the quotes with it.
        {R"({"m":{samplems},"n":"x{samplems}"})", "SIG", "1", R"({"m":{samplems},"n":"x{samplems}"})"},
        {R"({sigdata}{sigdata}"{samplems}""{samplems}")", "S", "1", "SS11"},
        {"{sigdata}", "", "1", ""},
        // What was inserted is not expanded again.
        {R"({"s":"{sigdata}"})", "{sigdata}", "1", R"({"s":"{sigdata}"})"},
        {R"({"m":"{samplems}"})", "S", R"("{samplems}")", R"({"m":"{samplems}"})"},
        {R"({"m":"{samplems}","s":"{sigdata}"})", "S", "{sigdata}", R"({"m":{sigdata},"s":"S"})"},
        // A partial placeholder stays as it is.
        {R"({"s":"{sigdata","m":"{samplems"})", "S", "1", R"({"s":"{sigdata","m":"{samplems"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FillTemplate(c.request_template, c.signature, c.sample), c.filled)
            << "template " << c.request_template;
    }
}

TEST(Utf16Length, CountsUnitsOfEachSequence)
{
    const struct {
        std::string_view name, utf8;
        std::size_t units;
    } cases[] = {
        {"empty", "", 0},
        {"ASCII", "abc", 3},
        {"two-byte", "\xC3\xA9", 1},                          // é
        {"three-byte", "\xE6\x97\xA5", 1},                    // 日
        {"four-byte", "\xF0\x9F\x8E\xB5", 2},                 // a note beyond the basic plane
        {"mixed", "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x8E\xB5z", 6},
        {"stray continuation", "\x80", 1},
        {"cut two-byte", "a\xC3", 2},
        {"cut four-byte", "\xF0\x9F\x8E", 3},
        {"lead without continuation", "\xE6" "a", 2},
        {"overlong", "\xC0\xAF", 2},
        {"overlong three-byte", "\xE0\x80\xAF", 3},
        {"surrogate", "\xED\xA0\x80", 3},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", 4},
        {"invalid lead", "\xFF", 1},
        {"highest code point", "\xF4\x8F\xBF\xBF", 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf16Length(c.utf8), c.units) << c.name;
    }
}

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
        {"lower metric wins", Route("eth0", "00000000", "0003", 100, "00000000") +
                                  Route("wlan0", "00000000", "0003", 50, "00000000"), "wifi"},
        {"first of equal metrics", Route("eth0", "00000000", "0003", 100, "00000000") +
                                       Route("wlan0", "00000000", "0003", 100, "00000000"), "3g"},
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
}  // namespace VextuneCore::test
