// The dumps as the dump command prints them: the JSON document agrees with
// the text dump on real signatures, and no byte string crashes either.
#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "cli_test_support.h"
#include "commands.h"

namespace vxt::cli::test {
namespace {

using json = nlohmann::ordered_json;

std::vector<std::uint8_t> clip_signature(SignatureType type, EngineFlags flags, double seconds = 0.0)
{
    signature_options options;
    options.type = type;
    options.flags = flags;
    options.seconds = seconds;
    return sign_file(clip_path(clip_names[0]).string(), options, {});
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// The text dump taken apart: per chunk its heading and its peak rows, and
// every "label : value" line.
struct parsed_text {
    std::vector<std::string> headings;
    std::vector<std::vector<std::vector<std::string>>> rows;  // chunk, row, field
    std::map<std::string, std::string> fields;
};

parsed_text parse_text(const std::string& text)
{
    parsed_text parsed;
    for (const std::string& line : split(text, '\n')) {
        if (line.starts_with("fp_data ")) {
            parsed.headings.push_back(line);
            parsed.rows.emplace_back();
        } else if (line.size() > 1 && line[0] == '\t' && std::isdigit(static_cast<unsigned char>(line[1]))) {
            auto fields = split(line.substr(1), '\t');
            parsed.rows.back().push_back(fields);
        } else if (const auto colon = line.rfind(": "); colon != std::string::npos) {
            parsed.fields[trim(line.substr(0, colon))] = trim(line.substr(colon + 2));
        }
    }
    return parsed;
}

// A real as the text dump prints it: %g.
std::string shortest_g(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The rows the text dump prints for the peaks of a JSON chunk.
std::vector<std::vector<std::string>> rows_of(const json& content)
{
    std::vector<std::vector<std::string>> rows;
    for (const json& peak : content["peaks"]) {
        const bool fat = peak.contains("frame");
        std::vector<std::string> row{std::to_string(peak[fat ? "frame" : "time"].get<std::uint32_t>()),
                                     shortest_g(peak["frequency_hz"].get<double>()),
                                     std::to_string(peak["amplitude"].get<int>())};
        if (fat) {
            row.push_back(std::to_string(peak["time_curvature"].get<int>()));
            row.push_back(std::to_string(peak["freq_curvature"].get<int>()));
        }
        rows.push_back(row);
    }
    return rows;
}

struct form_case {
    const char* name;
    SignatureType type;
    EngineFlags flags;
};

class dump_agreement_test : public ::testing::TestWithParam<form_case> {};

TEST_P(dump_agreement_test, json_and_text_dumps_agree)
{
    const auto bytes = clip_signature(GetParam().type, GetParam().flags);
    const text_dump text = dump_text(bytes, 4);
    ASSERT_EQ(text.problem, "");
    const parsed_text parsed = parse_text(text.text);
    const json doc = dump_json(bytes, 4);
    ASSERT_TRUE(doc["valid"].get<bool>());
    EXPECT_EQ(doc["size"], bytes.size());

    const json& chunks = doc["chunks"];
    ASSERT_EQ(chunks.size(), parsed.headings.size());
    std::size_t peak_chunks = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const json& chunk = chunks[i];
        const std::string heading = "fp_data " + chunk["name"].get<std::string>() + " (" +
                                    chunk["type"].get<std::string>() + "), " +
                                    std::to_string(chunk["length"].get<std::size_t>()) + " bytes";
        EXPECT_EQ(parsed.headings[i], heading);
        const json& content = chunk["content"];
        if (!content.is_object() || !content.contains("peaks")) {
            EXPECT_TRUE(parsed.rows[i].empty()) << heading;
            continue;
        }
        ++peak_chunks;
        EXPECT_EQ(content["count"], content["peaks"].size());
        EXPECT_EQ(rows_of(content), parsed.rows[i]) << heading;
        for (const json& peak : content["peaks"])
            ASSERT_EQ(peak["frequency_hz"].get<double>(), peak["frequency"].get<int>() * 8000.0 / 65536.0);
    }
    EXPECT_GE(peak_chunks, 1u);

    const auto& f = parsed.fields;
    if (doc["form"] == "compact") {
        const json& envelope = doc["envelope"];
        EXPECT_EQ(f.at("length"), std::to_string(envelope["length"].get<std::uint32_t>()) + " bytes");
        EXPECT_EQ(f.at("payload type"), envelope["payload_type_name"]);
        EXPECT_EQ(f.at("checksum"), envelope["checksum"]["stored"].get<std::string>() + " (verified)");
        EXPECT_EQ(envelope["checksum"]["computed"], envelope["checksum"]["stored"]);
        EXPECT_TRUE(envelope["checksum"]["verified"].get<bool>());
        const json& search = chunks[0]["content"];
        EXPECT_EQ(chunks[0]["name"], "fp_search_info");
        EXPECT_EQ(f.at("magic_cookie"), search["magic_cookie"]);
        EXPECT_EQ(f.at("pipeline version"), search["pipeline_version"]);
        EXPECT_EQ(f.at("analysis offset"), shortest_g(search["analysis_offset"].get<double>()) + " seconds");
    } else {
        ASSERT_EQ(doc["form"], "sig_sample_info");
        const json& h = doc["sig_sample_info"];
        EXPECT_EQ(f.at("magic_key"), h["magic_key"]);
        EXPECT_EQ(f.at("CRC32"), h["crc32"]);
        EXPECT_EQ(f.at("size"), std::to_string(h["size"].get<std::uint32_t>()) + " bytes");
        EXPECT_EQ(f.at("src_revision"), h["src_revision"]);
        EXPECT_EQ(f.at("TrackID"), std::to_string(h["track_id"].get<std::uint64_t>()));
        EXPECT_EQ(f.at("Time source"), h["time_source_name"]);
        EXPECT_EQ(f.at("(cumulatively)"), std::to_string(h["raw_samples"].get<std::uint64_t>()) + " samples");
        EXPECT_EQ(f.at("Raw Sample Rate"), std::to_string(h["raw_sample_rate"].get<int>()));
        EXPECT_EQ(f.at("Internal Sample Rate"), std::to_string(h["internal_sample_rate"].get<int>()));
        EXPECT_EQ(f.at("Is stream:"), h["is_stream"].get<bool>() ? "yes" : "no");
        EXPECT_EQ(f.at("Stream Position ticks"), std::to_string(h["stream_position"].get<std::uint64_t>()));
        EXPECT_EQ(f.at("sig length ticks"), std::to_string(h["sig_length"].get<std::uint32_t>()));
        EXPECT_EQ(f.at("Payload type"), h["payload_type_name"]);
        EXPECT_EQ(f.at("Offset Adjustment"), std::to_string(h["offset_adjustment"].get<int>()));
        EXPECT_EQ(h["raw_sample_rate"], 44100);
        EXPECT_EQ(h["utc_us"], 0) << "flag 800 leaves the time at 0";
    }

    // Below verbosity 4 the counts stay and the lists go.
    const json brief = dump_json(bytes, 3);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const json& content = brief["chunks"][i]["content"];
        EXPECT_FALSE(content.is_object() && content.contains("peaks"));
        if (chunks[i]["content"].is_object() && chunks[i]["content"].contains("count")) {
            EXPECT_EQ(content["count"], chunks[i]["content"]["count"]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(forms, dump_agreement_test,
                         ::testing::Values(form_case{"type1_compact", 1, 0x800}, form_case{"type2_compact", 2, 0x800},
                                           form_case{"type3", 3, 0x800}, form_case{"type4_compact", 4, 0x800},
                                           form_case{"type1_sample_info", 1, 0x1800},
                                           form_case{"type2_sample_info", 2, 0x1800},
                                           form_case{"type4_sample_info", 4, 0x1800},
                                           form_case{"captured_audio", 2, 0x30800}),
                         [](const auto& info) { return std::string(info.param.name); });

// Must not crash (the sanitizer builds check reads), and both dumps must
// agree on whether the bytes are a valid signature.
void expect_consistent(std::span<const std::uint8_t> bytes)
{
    const text_dump text = dump_text(bytes, 4);
    const json doc = dump_json(bytes, 4);
    ASSERT_EQ(doc["valid"].get<bool>(), text.problem.empty());
    if (!text.problem.empty()) {
        ASSERT_EQ(doc["error"], text.problem);
    }
}

TEST(dump_robustness, every_proper_prefix_is_rejected)
{
    for (const auto& bytes : {clip_signature(4, 0x800), clip_signature(4, 0x1800), clip_signature(2, 0x800)}) {
        for (std::size_t size = 0; size < bytes.size(); ++size) {
            const auto prefix = std::span(bytes).first(size);
            ASSERT_NE(find_problem(prefix), "") << "prefix of " << size << " bytes";
            ASSERT_NO_FATAL_FAILURE(expect_consistent(prefix));
        }
        EXPECT_EQ(find_problem(bytes), "");
    }
}

TEST(dump_robustness, corrupted_bytes_never_crash)
{
    // The sig_sample_info form has no checksum, so corruption reaches the
    // chunk walk and the printers.
    const auto original = clip_signature(2, 0x1800, 2.0);
    ASSERT_LT(original.size(), 4096u);
    for (std::size_t at = 0; at < original.size(); ++at) {
        for (const std::uint8_t value : {0x00, 0xFF, 0x7F}) {
            auto bytes = original;
            bytes[at] = value;
            ASSERT_NO_FATAL_FAILURE(expect_consistent(bytes)) << "byte " << at << " = " << int(value);
        }
    }

    // Random chunk lists behind valid headers, checksum fixed up.
    std::mt19937 random(1234);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::uint8_t> bytes(32 + 4 * (random() % 64));
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 3);
        const auto length = static_cast<std::uint32_t>(bytes.size() - 32);
        const std::uint32_t words[] = {length, 0x789ABC05, 0xFFFFFFFF, 0x30000002, 16, length, length ^ 0x789ABC13, 0};
        for (std::size_t w = 0; w < 8; ++w)
            for (int i = 0; i < 4; ++i)
                bytes[4 * w + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
        fix_checksum(bytes);
        ASSERT_NO_FATAL_FAILURE(expect_consistent(bytes)) << "round " << round;
    }
}

}  // namespace
}  // namespace vxt::cli::test
