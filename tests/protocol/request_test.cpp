// The request's text and its reading: the sample length as text, the
// template filled, "samplems" as the service reads it, and an answer's
// "retryms".
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include "vextune/protocol/Answer.h"
#include "vextune/protocol/Request.h"

namespace vxt::protocol::testing {
namespace {

using json = nlohmann::json;

struct SampleCase {
    double value;
    std::string_view text;
};

const SampleCase kSampleCases[] = {
    {3000.0, "3000.0000"},
    {12000.0, "12000.000"},
    {99.0, "99.000000"},
    {0.5, "0.500000"},           // shorter than the width: nothing to cut
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

TEST(SampleText, IsPrintfFixedCutToNineCharacters)
{
    ExpectSampleTexts();
}

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

TEST(ReadSampleMs, TakesANumberOrANumberInAString)
{
    const struct {
        const char* value;
        double sample_ms;
    } good
        [] =
            {
                {"3000.0000", 3000.0},
                {"12000.000", 12000.0},
                {"99.000000", 99.0},
                {"12345678", 12345678.0},
                {"0", 0.0},
                {"1e3", 1000.0},
                {"\"12000\"", 12000.0},
                {"\"3020.5\"", 3020.5},
                {"\" 12000\"", 12000.0},  // leading white space, as the service has always taken it
            };
    for (const auto& c : good) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(ReadSampleMs(json::parse(c.value)), c.sample_ms);
    }
    const struct {
        const char* value;
        const char* says;
    } bad[] = {
        {"\"3s\"", "is not a number"},       {"\"\"", "is not a number"},         {"\"3000 \"", "is not a number"},
        {"\"3000ms\"", "is not a number"},   {"null", "is not a number"},         {"true", "is not a number"},
        {"[3000]", "is not a number"},       {"-1", "not a length of time"},      {"\"-1\"", "not a length of time"},
        {"\"nan\"", "not a length of time"}, {"\"inf\"", "not a length of time"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.value);
        try {
            ReadSampleMs(json::parse(c.value));
            ADD_FAILURE() << "taken";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(ReadRetryMs, IsWholeMillisecondsOrAnError)
{
    const struct {
        const char* answer;
        std::optional<std::int32_t> retry_ms;
    } cases[] = {
        {R"({"matches": []})", std::nullopt},
        {R"({"retryms": 6000})", 6000},
        {R"({"retryms": 2500.9})", 2500},  // truncated toward zero
        {R"({"retryms": -2500.9})", -2500},
        {R"({"retryms": 1e300})", std::numeric_limits<std::int32_t>::max()},
        {R"({"retryms": -1e300})", std::numeric_limits<std::int32_t>::min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        EXPECT_EQ(ReadRetryMs(nlohmann::ordered_json::parse(c.answer)), c.retry_ms);
    }
    for (const char* bad : {R"({"retryms": "soon"})", R"({"retryms": null})", R"({"retryms": [1]})"})
        EXPECT_THROW(ReadRetryMs(nlohmann::ordered_json::parse(bad)), Error) << bad;
    EXPECT_EQ(WholeMs(std::numeric_limits<double>::quiet_NaN()), 0);
}

}  // namespace
}  // namespace vxt::protocol::testing
