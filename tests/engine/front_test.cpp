#include <gtest/gtest.h>

#include "signature_engine.h"
#include "vextune/vextuneAPI.h"
#include "engine/test_signals.h"

namespace vxt {
namespace {

std::int32_t code_of(SignatureType type, std::int32_t rate, EngineFlags flags, std::string* what = nullptr)
{
    try {
        create_engine(type, rate, flags);
    } catch (const VXT_Exception& e) {
        if (what)
            *what = e.what();
        return e.code();
    }
    return 0;
}

TEST(EngineFront, CreationValidatesRateThenType)
{
    std::string what;
    EXPECT_EQ(code_of(5, 44100, 0, &what), -7);
    // The throw site is named relative to the source tree.
    EXPECT_TRUE(test::is_engine_message(what, "engine/src/vextuneAPI.cpp", "invalid configuration")) << what;

    testing::internal::CaptureStderr();
    EXPECT_EQ(code_of(0, 22050, 0, &what), -6);  // wrong in both: the rate wins
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: unsupported sample rate 22050!\n");
    EXPECT_TRUE(what.ends_with("): unsupported sample rate")) << what;

    for (std::int32_t rate : {8000, 11025, 16000, 32000, 44100, 48000}) {
        for (SignatureType type : {1, 2, 3, 4})
            EXPECT_NO_THROW(create_engine(type, rate, 0)) << rate << " " << type;
    }
}

TEST(EngineFront, TypeThreeAddsItsFlags)
{
    EXPECT_EQ(create_engine(3, 8000, 0)->flags(), 0x1100u);
    EXPECT_EQ(create_engine(3, 8000, 0x800)->flags(), 0x1900u);
    EXPECT_EQ(create_engine(2, 8000, 0x800)->flags(), 0x800u);
}

TEST(EngineFront, ExceptionMessageNamesTheThrowSite)
{
    const VXT_Exception e("some text", "/src/engine/x.cpp", 53, -42);
    EXPECT_STREQ(e.what(), "/src/engine/x.cpp(53): some text");
    EXPECT_EQ(e.code(), -42);
    const VXT_Exception copy = e;
    EXPECT_STREQ(copy.what(), e.what());
    EXPECT_EQ(copy.code(), -42);
}

TEST(EngineFront, VersionIsTheReleaseThenTheRevision)
{
    // "3.1.2", or "3.1.2 (REV)" from a git checkout; the packed word in the
    // signatures is the release's whatever the revision.
    const std::string version = engine_version();
    const bool revision = version.size() > 8 && version.starts_with("3.1.2 (") && version.ends_with(")") &&
                          version.find_first_of(" ()", 7) == version.size() - 1;
    EXPECT_TRUE(version == "3.1.2" || revision) << version;
    EXPECT_EQ(pack_version(version), SignatureEngine::version_word());
}

TEST(EngineFront, WorkingCallsReturnCodesInsteadOfThrowing)
{
    engine_handle engine = create_engine(2, 16000, 0x800);
    const auto pcm = test::music_like(16000, 3.0);
    ASSERT_EQ(feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size())), 0);

    std::vector<std::uint8_t> first;
    ASSERT_EQ(get_signature(engine, first, 0.0), 0);
    std::vector<std::uint8_t> second = {1, 2, 3};  // old bytes are dropped
    ASSERT_EQ(get_signature(engine, second, 0.0), 0);
    EXPECT_EQ(first, second);

    // A count of 0 changes nothing a later signature would show.
    ASSERT_EQ(feed_samples(engine, nullptr, 0), 0);
    ASSERT_EQ(get_signature(engine, second, 0.0), 0);
    EXPECT_EQ(first, second);

    // Bad arguments fail cleanly and lose nothing.
    EXPECT_EQ(feed_samples(engine, nullptr, 5), -13);
    EXPECT_EQ(feed_samples(engine, pcm.data(), -1), -13);
    ASSERT_EQ(get_signature(engine, second, 0.0), 0);
    EXPECT_EQ(first, second);

    EXPECT_EQ(reset_engine(engine), 0);
    destroy_engine(engine);
    EXPECT_FALSE(engine);
    destroy_engine(engine);  // an empty handle is left alone
    EXPECT_EQ(feed_samples(engine, pcm.data(), 10), -13);
    EXPECT_EQ(get_signature(engine, second, 0.0), -13);
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(reset_engine(engine), -9999);
}

}  // namespace
}  // namespace vxt
