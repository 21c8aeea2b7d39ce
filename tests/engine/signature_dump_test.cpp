#include <gtest/gtest.h>

#include <cstdlib>

#include "byte_order.h"
#include "signature_dump.h"
#include "chunk_list.h"
#include "chunk_types.h"
#include "envelope.h"
#include "peak_codec.h"
#include "records.h"
#include "signature_reader.h"

namespace vxt {
namespace {

sig_sample_info sample_record()
{
    sig_sample_info r;
    r.initialise(44100, 8000, 0x31100000);
    r.set_size(32);
    r.set_utc(1700000000123456ull);  // 2023-11-14 22:13:20 UTC
    r.set_time_source(1);
    r.set_raw_samples(88200);
    r.set_stream_position(512);
    r.set_sig_length(0xFFFE00);
    r.set_payload_type(2);
    return r;
}

class SignatureDump : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(SignatureDump, SampleInfoFields)
{
    std::uint8_t bytes[48];
    sample_record().store(bytes);
    std::string out;
    EXPECT_EQ(print_sig_sample_info(bytes, 48, 2, &out), 0);
    EXPECT_EQ(out, "sig_sample_info:\n"
                   "magic_key            : cafe2580\n"
                   "CRC32                : facade99\n"
                   "size                 : 32 bytes\n"
                   "src_revision         : 3.1.2 \n"
                   "TrackID              : 0\n"
                   "UTC                  : 2023-11-14-22:13:20\n"
                   "Time source          : system clock\n"
                   "Raw Samples Processed: 2 seconds\n"
                   "      (cumulatively) : 88200 samples\n"
                   "Raw Sample Rate      : 44100\n"
                   "Internal Sample Rate : 8000\n"
                   "Is stream:           : no\n"
                   "Stream Position ticks: 512\n"
                   "sig length ticks     : 16776704\n"
                   "Payload type         : Sig (DCST)\n"
                   "Offset Adjustment    : 15\n");
}

TEST_F(SignatureDump, SampleInfoChecks)
{
    std::uint8_t bytes[48];
    sample_record().store(bytes);
    std::string out;
    EXPECT_EQ(print_sig_sample_info(bytes, 47, 4, &out), 2);
    EXPECT_EQ(out, "ERROR: sig_sample_info size incorrect\n");

    store_le32(bytes, 0x12345678);
    out.clear();
    EXPECT_EQ(print_sig_sample_info(bytes, 48, 2, &out), 1);
    EXPECT_TRUE(out.starts_with("ERROR: invalid magic_key\nsig_sample_info:\nmagic_key            : 12345678\n"));
    EXPECT_TRUE(out.ends_with("Offset Adjustment    : 15\n"));

    out.clear();
    EXPECT_EQ(print_sig_sample_info(bytes, 48, 0, &out), 1);
    EXPECT_EQ(print_sig_sample_info(bytes, 3, 0, &out), 2);
    EXPECT_EQ(print_sig_sample_info(bytes, 48, 4, nullptr), 1);
    EXPECT_TRUE(out.empty());
}

TEST_F(SignatureDump, SearchInfo)
{
    fp_search_info info;
    info.sample_length = 16000;
    info.pipeline_version = 0x31100000;
    std::uint8_t bytes[24];
    info.store(bytes);
    std::string out;
    EXPECT_EQ(print_fp_search_info(bytes, 24, 3, &out), 0);
    EXPECT_EQ(out, "\t\tmagic_cookie    : deadbeef\n"
                   "\t\tsample_length     : 2 seconds\n"
                   "\t\tanalysis offset   : 0 seconds\n"
                   "\t\tanalysis length   : 2 seconds\n"
                   "\t\toffset adjustment : 15  ticks\n"
                   "\t\tpipeline version  : 3.1.2 \n");

    out.clear();
    EXPECT_EQ(print_fp_search_info(nullptr, 0, 1, &out), 4);
    EXPECT_EQ(print_fp_search_info(bytes, 20, 1, &out), 6);
    store_le32(bytes, 0);
    EXPECT_EQ(print_fp_search_info(bytes, 24, 1, &out), 1);
    EXPECT_EQ(out,
              "ERROR: fp_search_info missing\nERROR: fp_search_info size incorrect\nERROR: invalid MAGIC_COOKIE\n");
}

TEST_F(SignatureDump, PeakPrinters)
{
    // A 7-byte compact chunk holds one record; the rest is ignored.
    const std::uint8_t compact[7] = {3, 0x10, 0x00, 0x00, 0x08, 0xAA, 0xBB};
    std::string out;
    EXPECT_EQ(print_chunk(0x60030041, compact, 7, 4, &out), 0);
    EXPECT_EQ(out, "\t[time  frequency amplitude]\n\t3\t250\t16\n");

    out.clear();
    EXPECT_EQ(print_chunk(0x60030040, compact, 0, 4, &out), 0);
    EXPECT_EQ(out, "\t[time  frequency amplitude]\n");

    std::uint8_t fat[12];
    store_le32(fat, 77);
    store_le16(fat + 4, 28672);
    store_le16(fat + 6, 9000);
    store_le16(fat + 8, 12);
    store_le16(fat + 10, 34);
    out.clear();
    EXPECT_EQ(print_chunk(0x60021F40, fat, 12, 4, &out), 0);
    EXPECT_EQ(out, "\t[time  frequency amplitude time_curvature freq_curvature]\n\t77\t3500\t9000\t12\t34\n");

    std::uint8_t band[8];
    store_le32(band, 5);
    store_le16(band + 4, 4259);
    store_le16(band + 6, 300);
    out.clear();
    EXPECT_EQ(print_chunk(0x60030004, band, 8, 4, &out), 0);
    EXPECT_EQ(out, "\t[time  frequency amplitude]\n\t5\t519.897\t300\n");

    out.clear();
    EXPECT_EQ(print_chunk(0x60030040, compact, 7, 3, &out), 0);  // peaks only from verbosity 4
    EXPECT_EQ(print_chunk(0x6001AC44, compact, 7, 4, &out), 0);  // audio prints nothing
    EXPECT_TRUE(out.empty());
}

TEST_F(SignatureDump, UnknownTypes)
{
    std::string out;
    EXPECT_EQ(print_chunk(0x12345678, nullptr, 0, 0, &out), 4);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(print_chunk(0x12345678, nullptr, 0, 1, &out), 4);
    EXPECT_EQ(out, "ERROR: unknown fp_data_header type\n");
    EXPECT_EQ(find_printer(0x12345678).type, 0u);
    EXPECT_EQ(find_printer(0x50000002).printer, &print_sig_sample_info);
}

TEST_F(SignatureDump, RealNumbersLikeATextStream)
{
    EXPECT_EQ(format_real(250.0), "250");
    EXPECT_EQ(format_real(519.8974609375), "519.897");
    EXPECT_EQ(format_real(0.0), "0");
    EXPECT_EQ(format_real(1234567.0), "1.23457e+06");
}

}  // namespace
}  // namespace vxt
