// What one request may make the service do: a signature crafted to hold
// more peaks or pairs than a recording of its length could is refused as
// too large before anything is looked up, one with peaks past that length
// as bad, and one within the bounds is answered however its peaks lie.
#include <gtest/gtest.h>

#include "crafted_signature.h"
#include "vextune/server/Recognizer.h"

namespace vxt::server::testing {
namespace {

using Bands = std::vector<std::vector<BandPeak>>;

// count peaks from frame `first`, `per_frame` to a frame, their bins
// stepping by `bin_step` from bin 40 (and wrapping before bin 440).
Bands Peaks(std::uint32_t count, std::uint32_t first, std::uint32_t per_frame, std::uint32_t bin_step)
{
    Bands bands(1);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t bin = 40 + (i * bin_step) % 400;
        bands[0].push_back({first + i / per_frame, static_cast<std::uint16_t>(64 * bin + 17), 500});
    }
    return bands;
}

TEST(RecognizerBounds, RefusesWhatNoRecordingOfItsLengthHolds)
{
    const auto store = matcher::MakeMemoryStore();
    const Recognizer recognizer(*store);
    enum class Answer { TooLarge, Bad, Answered };
    const struct {
        const char* name;
        Bands bands;
        double sample_ms;
        Answer answer;
        const char* says;
    } cases[] = {
        {"157 000 peaks in one frame", Peaks(157000, 100, 157000, 1), 12000, Answer::TooLarge,
         "holds 157000 peaks, more than a recording of 12.0 s can (at most 832)"},
        {"157 000 peaks in one bin", Peaks(157000, 0, 2500, 0), 12000, Answer::TooLarge, "holds 157000 peaks"},
        {"as many peaks as 12 s may hold, in one frame", Peaks(832, 100, 832, 1), 12000, Answer::Answered, ""},
        {"as many in one bin", Peaks(832, 0, 20, 0), 12000, Answer::Answered, ""},
        {"one too many", Peaks(833, 0, 20, 0), 12000, Answer::TooLarge, "holds 833 peaks"},
        {"every peak pairing ten times", Peaks(832, 0, 8, 3), 12000, Answer::TooLarge,
         "make 8128 pairs, more than a recording of 12.0 s makes (at most 6656)"},
        {"a length past the longest counts as the longest", Peaks(40000, 0, 60, 0), 1e12, Answer::TooLarge,
         "more than a recording of 600.0 s can"},
        {"peaks past the length", Peaks(100, 2500, 1, 7), 3000, Answer::Bad,
         "has peaks 20.8 s in, past the 3.0 s of audio the request says it covers"},
        {"peaks near frame 2^32", Peaks(100, 0xffffffffu - 100, 1, 7), 12000, Answer::Bad, "past the 12.0 s"},
        {"no peaks", Bands(1), 3000, Answer::Answered, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> signature = vxt::testing::CraftedSignature(c.bands);
        try {
            const Recognition r = recognizer.Recognize(signature, c.sample_ms);
            EXPECT_EQ(c.answer, Answer::Answered) << "answered";
            EXPECT_NE(r.outcome, Outcome::Match);
        } catch (const RequestTooLarge& e) {
            EXPECT_EQ(c.answer, Answer::TooLarge) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        } catch (const BadRequest& e) {
            EXPECT_EQ(c.answer, Answer::Bad) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

// The bounds are the caller's: a tool matching whole files lifts the
// longest length, and its peaks are then bounded by their own length.
TEST(RecognizerBounds, TheLongestLengthIsTheCallersToSet)
{
    const auto store = matcher::MakeMemoryStore();
    RecognizerOptions options;
    options.max_sample_ms = 0;
    options.bounds.longest_sample_ms = 0xffffffffu;
    const Recognizer whole_files(*store, options);
    // 40 000 peaks in 320 s of a 700 s file, in one bin (no pairs: no work).
    const std::vector<std::uint8_t> file = vxt::testing::CraftedSignature(Peaks(40000, 0, 1, 0));
    EXPECT_EQ(whole_files.Recognize(file, 700 * 1000.0).outcome, Outcome::NoMatch);
    EXPECT_THROW(Recognizer(*store).Recognize(file, 700 * 1000.0), RequestTooLarge);
}

}  // namespace
}  // namespace vxt::server::testing
