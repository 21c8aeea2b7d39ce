// The chunk types of the signature format and their names.
//
// A signature is a list of typed chunks (fp_data sections). The type word
// tells what a payload holds: 0x6001RRRR is 16-bit PCM at RRRR Hz, 0x6081RRRR
// the same resampled, 0x6002 fat peaks, 0x6003 band-selected peaks (the
// compact ones encoded by peak_codec.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vxt {

enum class FpChunkType : std::uint32_t {
    fp_data_format_header_undefined = 0x00000000,
    fp_data_list_start = 0x40000000,
    fp_search_info = 0x50000001,
    sig_sample_info = 0x50000002,
    fp_data_search_parameters = 0x50010001,
    fp_data_format_pcm_16bit_mono_8000 = 0x60011F40,
    fp_data_format_pcm_16bit_mono_11025 = 0x60012B11,
    fp_data_format_pcm_16bit_mono_16000 = 0x60013E80,
    fp_data_format_pcm_16bit_mono_32000 = 0x60017D00,
    fp_data_format_pcm_16bit_mono_44100 = 0x6001AC44,
    fp_data_format_pcm_16bit_mono_48000 = 0x6001BB80,
    fp_data_format_resampled_pcm_16bit_mono_8000 = 0x60811F40,
    fp_data_format_resampled_pcm_16bit_mono_16000 = 0x60813E80,
    fp_data_format_external_FATPEAK_8000HZ = 0x60021F40,
    fp_data_format_external_FATPEAK_16000HZ = 0x60023E80,
    fp_data_section_header_NORMALPEAK = 0x60030000,
    fp_data_format_NORMALPEAK_sp87_low = 0x60030001,
    fp_data_format_NORMALPEAK_sp87_medium = 0x60030002,
    fp_data_format_NORMALPEAK_sp87_high = 0x60030003,
    fp_data_format_NORMALPEAK_sp90_low = 0x60030004,
    fp_data_format_NORMALPEAK_sp90_medium = 0x60030005,
    fp_data_format_NORMALPEAK_sp90_high = 0x60030006,
    fp_data_format_NORMALPEAK_compact_0 = 0x60030040,
    fp_data_format_NORMALPEAK_compact_1 = 0x60030041,
    fp_data_format_NORMALPEAK_compact_2 = 0x60030042,
    fp_data_format_NORMALPEAK_compact_3 = 0x60030043,
    fp_data_format_NORMALPEAK_compact_4 = 0x60030044,
};

constexpr std::uint32_t to_u32(FpChunkType type) noexcept
{
    return static_cast<std::uint32_t>(type);
}

// 16-bit PCM at the input rate: 0x6001 followed by the rate in Hz.
constexpr std::uint32_t pcm_chunk_type(std::int32_t rate) noexcept
{
    return 0x60010000u + static_cast<std::uint32_t>(rate);
}

// Every chunk type with its name in the format's vocabulary.
struct chunk_type_entry {
    FpChunkType type;
    std::string_view name;
};

#define VXT_TYPE_NAME(t)                                                                                               \
    chunk_type_entry                                                                                                   \
    {                                                                                                                  \
        FpChunkType::t, #t                                                                                             \
    }
inline constexpr chunk_type_entry chunk_type_names[] = {
    VXT_TYPE_NAME(fp_data_format_header_undefined),
    VXT_TYPE_NAME(fp_data_list_start),
    VXT_TYPE_NAME(fp_search_info),
    VXT_TYPE_NAME(sig_sample_info),
    VXT_TYPE_NAME(fp_data_search_parameters),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_8000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_11025),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_16000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_32000),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_44100),
    VXT_TYPE_NAME(fp_data_format_pcm_16bit_mono_48000),
    VXT_TYPE_NAME(fp_data_format_resampled_pcm_16bit_mono_8000),
    VXT_TYPE_NAME(fp_data_format_resampled_pcm_16bit_mono_16000),
    VXT_TYPE_NAME(fp_data_format_external_FATPEAK_8000HZ),
    VXT_TYPE_NAME(fp_data_format_external_FATPEAK_16000HZ),
    VXT_TYPE_NAME(fp_data_section_header_NORMALPEAK),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_low),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_medium),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp87_high),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_low),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_medium),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_sp90_high),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_0),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_1),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_2),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_3),
    VXT_TYPE_NAME(fp_data_format_NORMALPEAK_compact_4),
};
#undef VXT_TYPE_NAME

inline constexpr std::string_view unknown_chunk_name = "unknown format";

// The format's name for a chunk type, "unknown format" for any other value.
constexpr std::string_view type_name_of(std::uint32_t type) noexcept
{
    for (const auto& entry : chunk_type_names) {
        if (to_u32(entry.type) == type)
            return entry.name;
    }
    return unknown_chunk_name;
}

constexpr bool is_known_type(std::uint32_t type) noexcept
{
    return type_name_of(type) != unknown_chunk_name;
}

// What a known chunk type's payload holds.
enum class chunk_content { none, sample_info, search_info, pcm, fat_peaks, band_peaks, compact_peaks };

constexpr chunk_content content_of(std::uint32_t type) noexcept
{
    if (!is_known_type(type))
        return chunk_content::none;
    if (type == to_u32(FpChunkType::sig_sample_info))
        return chunk_content::sample_info;
    if (type == to_u32(FpChunkType::fp_search_info))
        return chunk_content::search_info;
    switch (type & 0xFFFF0000u) {
    case 0x60010000u:
    case 0x60810000u: return chunk_content::pcm;
    case 0x60020000u: return chunk_content::fat_peaks;
    case 0x60030000u:
        if (type >= to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0))
            return chunk_content::compact_peaks;
        if (type >= to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp87_low))
            return chunk_content::band_peaks;
        return chunk_content::none;
    default: return chunk_content::none;
    }
}

// The band a band-peak chunk holds: 0..4 for the compact ones, 0..2 for the
// sp87 and 0..2 for the sp90 ones.
constexpr std::uint32_t band_of(std::uint32_t type) noexcept
{
    if (type >= to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0))
        return type - to_u32(FpChunkType::fp_data_format_NORMALPEAK_compact_0);
    return (type - to_u32(FpChunkType::fp_data_format_NORMALPEAK_sp87_low)) % 3;
}

// The rate of a PCM chunk type, in Hz.
constexpr std::int32_t pcm_rate_of(std::uint32_t type) noexcept
{
    return static_cast<std::int32_t>(type & 0xFFFFu);
}

// Lowercase hexadecimal, zero-filled to 8 digits.
std::string hex8(std::uint32_t value);

}  // namespace vxt
