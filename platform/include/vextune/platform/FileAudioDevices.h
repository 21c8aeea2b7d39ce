// An audio file played as the system's one capture device (any format
// libsndfile reads).
//
// The device's mix format is 32-bit float (plain, not extensible) with the
// file's channels and rate; a client is initialized in shared mode with
// 16-bit PCM or 32-bit float, plain or extensible, of those channels and
// rate (anything else: E_UNSUPPORTED_FORMAT). Each activation plays the
// file from its start.
//
// The client is the device core's (vextune/platform/DeviceCore.h), with its
// rules, codes and overflow policy; packets are 20 ms of the file, and the
// queue holds ring_ms of them.
//   - Real time (no clock given): after Start a producer thread delivers
//     each packet once its 20 ms have passed on std::chrono::steady_clock
//     since Start, and sets the event.
//   - Simulated (a SimulatedClock given): Start queues the first packet,
//     and releasing a packet queues the next one (inside ReleaseBuffer, on
//     the consumer's thread), each setting the event; the clock reaches a
//     packet's end when GetBuffer hands the packet out. What the consumer
//     sees depends on its own calls alone, a run goes as fast as the
//     consumer, and the clock moves by exactly the duration of what was
//     taken.
// At the end of the file the stream ends: GetNextPacketSize gives 0 from
// then on, and on_end runs once, on a thread of the client, after the last
// packet was released (a command stops its capture there; calling Stop from
// on_end is allowed). With loop set it never ends: the file starts again
// without a gap, inside the packet that reaches its end, so packets stay
// 20 ms and the stream is the file repeated.
//
// On simulated time the consumer alone sets the pace, so whatever waits
// elsewhere (a recognition's HTTP exchange, a test's checks) sees the
// recording run on by as much as the consumer managed meanwhile, which
// depends on the machine. A PlaybackPace takes the pace out of the
// consumer's hands: the stream delivers only what its pace allows and holds
// (no packet, the clock still) until more is allowed.
//
// Stop ends the producer and keeps the packets not taken; Start after Stop
// goes on where the file stopped. The raw-processing lookup answers false.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vextune/platform/AudioDevices.h"
#include "vextune/platform/Clock.h"

namespace VextuneCore::Platform {

// How far a recording played on simulated time may go. A packet is
// delivered when it ends (on the clock) at or before the tick allowed, or
// else when packets allowed beyond that remain (each taking one); otherwise
// the stream is held until an Allow call lets it go on. Thread-safe; for one
// stream at a time (a client activated later takes over).
class PlaybackPace {
public:
    // Lets the stream run until the clock reaches tick_ms (the packets that
    // end by then); a tick already passed allows nothing.
    void AllowUntil(std::uint64_t tick_ms);
    // Lets the stream deliver count packets more, wherever they end.
    void AllowPackets(std::uint64_t count);
    // Blocks until the stream is held: what was allowed has been delivered
    // and released and the next packet waits for more, or the stream has
    // ended (it holds for good then). False after timeout (a stream that is
    // not running is never held).
    bool WaitUntilHeld(std::chrono::milliseconds timeout);
    bool Held();

    // For the device, under its client's lock: whether the packet that
    // would end at end_tick_ms may be delivered. When not, the stream is
    // held and resume runs once (on the thread of the next Allow call, with
    // no lock of the pace held) when more is allowed.
    bool Admit(std::uint64_t end_tick_ms, std::function<void()> resume);
    // For the device: the stream has ended, every packet released.
    void Ended();

private:
    void Allowed(std::unique_lock<std::mutex> hold);

    std::mutex lock_;
    std::condition_variable held_changed_;
    std::uint64_t until_ms_ = 0;
    std::uint64_t packets_ = 0;
    bool held_ = false;
    bool ended_ = false;
    std::function<void()> resume_;
};

struct FileDeviceOptions {
    // Simulated pacing when set; real time otherwise.
    std::shared_ptr<SimulatedClock> clock;
    // On simulated time, what the stream may deliver (see PlaybackPace); as
    // fast as the consumer takes packets when empty. Real time ignores it.
    std::shared_ptr<PlaybackPace> pace;
    // Plays the file again from its start each time it ends.
    bool loop = false;
    // Runs once per client when its stream has ended.
    std::function<void()> on_end;
    // How much audio the client holds before dropping (at least two packets).
    std::uint32_t ring_ms = 400;
    // Told libsndfile's message beside the code a failure gives, e.g.
    // "libsndfile: System error (E_DEVICE_INVALIDATED)"; on the calling or a
    // device thread, and never to call the device back.
    std::function<void(const std::string&)> diagnostics;
};

class FileAudioDevices final : public AudioDevices {
public:
    // Opens path; throws PlatformException (the sink is told too) with
    // E_DEVICE_NOT_FOUND when it
    // cannot be read as audio, E_UNSUPPORTED_FORMAT when its channels or
    // rate cannot make a stream format.
    explicit FileAudioDevices(std::string path, FileDeviceOptions options = {});
    ~FileAudioDevices() override;
    FileAudioDevices(const FileAudioDevices&) = delete;
    FileAudioDevices& operator=(const FileAudioDevices&) = delete;

    HRESULT GetDefaultAudioCaptureId(std::string* id) override;
    HRESULT ActivateAudioInterfaceAsync(const std::string& id,
                                        std::function<void(HRESULT, std::shared_ptr<AudioClient>)> completion) override;
    void LookupRawProcessingAsync(const std::string& id, std::function<void(bool supported)> completion) override;
    HRESULT ListCaptureDevices(std::vector<CaptureDeviceInfo>* devices) override;

    // The device id ("file:" and the path), the file's channels, rate and
    // length in frames.
    const std::string& Id() const { return id_; }
    std::uint16_t Channels() const { return channels_; }
    std::uint32_t Rate() const { return rate_; }
    std::uint64_t Frames() const { return frames_; }

private:
    std::string path_;
    std::string id_;
    FileDeviceOptions options_;
    std::uint16_t channels_ = 0;
    std::uint32_t rate_ = 0;
    std::uint64_t frames_ = 0;
    std::mutex threads_lock_;
    std::vector<std::thread> threads_;  // activations and lookups
};

}  // namespace VextuneCore::Platform
