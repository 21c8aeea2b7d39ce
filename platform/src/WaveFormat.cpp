#include "vextune/platform/AudioDevices.h"

#include <cmath>

namespace VextuneCore::Platform {

WaveFormat PcmFormat(std::uint16_t channels, std::uint32_t rate)
{
    WaveFormat f;
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<std::uint16_t>(channels * 2);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    return f;
}

WaveFormat FloatFormat(std::uint16_t channels, std::uint32_t rate, bool extensible)
{
    WaveFormat f;
    f.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_IEEE_FLOAT;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 32;
    f.nBlockAlign = static_cast<std::uint16_t>(channels * 4);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    if (extensible) {
        f.cbSize = 22;
        f.wValidBitsPerSample = 32;
        f.dwChannelMask = channels == 1 ? 0x4 : 0x3;
        f.subFormat = SubFormat::IeeeFloat;
    }
    return f;
}

std::int16_t FloatToPcm16(float value) noexcept
{
    const float scaled = value * 32768.0f;
    if (std::isnan(scaled))
        return 0;
    if (scaled <= -32768.0f)
        return -32768;
    if (scaled >= 32767.0f)
        return 32767;
    return static_cast<std::int16_t>(std::lround(scaled));
}

}  // namespace VextuneCore::Platform
