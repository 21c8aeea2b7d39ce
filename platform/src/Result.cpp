#include "vextune/platform/Result.h"

#include <cstdio>

namespace VextuneCore::Platform {

std::string ResultName(HRESULT hr)
{
    struct named {
        HRESULT code;
        const char* name;
    };
    static constexpr named names[] = {
        {S_OK, "S_OK"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_INVALID_STATE, "E_INVALID_STATE"},
        {E_QUEUE_SHUT_DOWN, "E_QUEUE_SHUT_DOWN"},
        {E_NOT_STARTED, "E_NOT_STARTED"},
        {E_DEVICE_NOT_FOUND, "E_DEVICE_NOT_FOUND"},
        {E_DEVICE_INVALIDATED, "E_DEVICE_INVALIDATED"},
        {E_UNSUPPORTED_FORMAT, "E_UNSUPPORTED_FORMAT"},
        {E_NOT_INITIALIZED, "E_NOT_INITIALIZED"},
        {E_ALREADY_INITIALIZED, "E_ALREADY_INITIALIZED"},
        {E_BUFFER_ERROR, "E_BUFFER_ERROR"},
        {E_SERVICE_NOT_RUNNING, "E_SERVICE_NOT_RUNNING"},
        {E_BUFFER_SIZE_ERROR, "E_BUFFER_SIZE_ERROR"},
    };
    for (const named& n : names) {
        if (n.code == hr)
            return n.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace VextuneCore::Platform
