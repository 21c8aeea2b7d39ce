// Helpers of the capture-device tests: activating a device the way the
// capture does and taking its packets.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vextune/platform/AudioDevices.h"

namespace VextuneCore::Platform::Testing {

struct Activation {
    HRESULT call = E_FAIL;       // what ActivateAudioInterfaceAsync returned
    HRESULT completed = E_FAIL;  // what the completion was given
    std::shared_ptr<AudioClient> client;
    std::thread::id completion_thread;
};

// Activates id and waits for the completion (when the call succeeded).
inline Activation Activate(AudioDevices& devices, const std::string& id)
{
    Activation a;
    std::promise<void> done;
    a.call = devices.ActivateAudioInterfaceAsync(id, [&](HRESULT hr, std::shared_ptr<AudioClient> client) {
        a.completed = hr;
        a.client = std::move(client);
        a.completion_thread = std::this_thread::get_id();
        done.set_value();
    });
    if (Succeeded(a.call))
        done.get_future().wait();
    return a;
}

// Takes every packet ready, appending its bytes and flags; the packets taken.
inline std::size_t Drain(AudioCaptureClient& capture, std::vector<std::uint8_t>* bytes,
                         std::vector<std::uint32_t>* flags = nullptr, std::uint32_t block_align = 0)
{
    std::size_t taken = 0;
    for (;;) {
        std::uint32_t next = 0;
        EXPECT_EQ(capture.GetNextPacketSize(&next), S_OK);
        if (next == 0)
            return taken;
        std::uint8_t* data = nullptr;
        std::uint32_t frames = 0, packet_flags = 0;
        EXPECT_EQ(capture.GetBuffer(&data, &frames, &packet_flags, nullptr, nullptr), S_OK);
        EXPECT_EQ(frames, next);
        if (bytes && block_align != 0)
            bytes->insert(bytes->end(), data, data + static_cast<std::size_t>(frames) * block_align);
        if (flags)
            flags->push_back(packet_flags);
        EXPECT_EQ(capture.ReleaseBuffer(frames), S_OK);
        ++taken;
    }
}

template <typename Sample>
std::vector<Sample> SamplesOf(const std::vector<std::uint8_t>& bytes)
{
    std::vector<Sample> samples(bytes.size() / sizeof(Sample));
    if (!samples.empty())
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(Sample));
    return samples;
}

}  // namespace VextuneCore::Platform::Testing
