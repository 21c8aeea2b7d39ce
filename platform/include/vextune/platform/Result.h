// Status codes of the runtime side: 32-bit results, negative on failure.
//
// The capture reports every failure after construction as a code, never as
// an exception; the codes keep the values that applications of the
// component already know (E_FAIL, E_OUTOFMEMORY, the invalid-state code of
// StartCaptureAsync and StopCaptureAsync), and device failures have codes
// of their own in the same space.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace VextuneCore::Platform {

using HRESULT = std::int32_t;

constexpr HRESULT MakeResult(std::uint32_t bits) noexcept
{
    return static_cast<HRESULT>(bits);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = MakeResult(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = MakeResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeResult(0x80070057);
inline constexpr HRESULT E_NOINTERFACE = MakeResult(0x80004002);
// A call made in a state that does not accept it.
inline constexpr HRESULT E_INVALID_STATE = MakeResult(0x8007139F);
// Work items and queues.
inline constexpr HRESULT E_QUEUE_SHUT_DOWN = MakeResult(0xC00D3E85);  // the platform was shut down
inline constexpr HRESULT E_NOT_STARTED = MakeResult(0xC00D36B0);      // no Startup() in force
// Audio devices.
inline constexpr HRESULT E_DEVICE_NOT_FOUND = MakeResult(0x80070490);    // no default capture device
inline constexpr HRESULT E_DEVICE_INVALIDATED = MakeResult(0x88890004);  // the device went away
inline constexpr HRESULT E_UNSUPPORTED_FORMAT = MakeResult(0x88890008);
inline constexpr HRESULT E_NOT_INITIALIZED = MakeResult(0x88890001);
inline constexpr HRESULT E_ALREADY_INITIALIZED = MakeResult(0x88890002);
inline constexpr HRESULT E_BUFFER_ERROR = MakeResult(0x88890018);         // GetBuffer/ReleaseBuffer out of order
inline constexpr HRESULT E_SERVICE_NOT_RUNNING = MakeResult(0x88890010);  // no sound server to talk to
inline constexpr HRESULT E_BUFFER_SIZE_ERROR = MakeResult(0x88890016);    // released more frames than taken

constexpr bool Failed(HRESULT hr) noexcept
{
    return hr < 0;
}
constexpr bool Succeeded(HRESULT hr) noexcept
{
    return hr >= 0;
}

// A short name for a code ("E_FAIL", ...), or its hexadecimal value.
std::string ResultName(HRESULT hr);

// The exception that constructors throw; carries the code.
class PlatformException : public std::runtime_error {
public:
    explicit PlatformException(HRESULT hr, const std::string& what = {})
        : std::runtime_error(what.empty() ? ResultName(hr) : ResultName(hr) + ": " + what), hr_(hr)
    {}
    HRESULT Result() const noexcept { return hr_; }

private:
    HRESULT hr_;
};

}  // namespace VextuneCore::Platform
