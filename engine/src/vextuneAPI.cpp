// The engine front: validation at creation, and no exception past the three
// working calls.
#include "vextune/vextuneAPI.h"

#include <cstdio>
#include <utility>

#include "engine_error.h"
#include "engine_version.h"
#include "signature_engine.h"

namespace vxt {

VXT_Exception::VXT_Exception(const std::string& text, const char* file, int line, std::int32_t code)
    : code_(code), message_(std::string(file) + "(" + std::to_string(line) + "): " + text)
{}

const char* error_name(std::int32_t code) noexcept
{
    switch (static_cast<error_code>(code)) {
    case error_code::ok: return "success";
    case error_code::unsupported_rate: return "unsupported sample rate";
    case error_code::invalid_configuration: return "invalid configuration";
    case error_code::failed: return "feed or signature failed";
    case error_code::no_engine: return "no engine resulted";
    case error_code::misuse: return "misuse or reset failed";
    }
    return "unknown code";
}

void engine_deleter::operator()(SignatureEngine* engine) const noexcept
{
    delete engine;
}

namespace {

// Runs a working call: any exception, of any type, becomes failure_code.
template <typename Call>
std::int32_t guarded(engine_handle& engine, std::int32_t failure_code, Call&& call) noexcept
{
    try {
        if (!engine)
            raise(error_misuse, "no engine: the handle is empty");
        return call(*engine);
    } catch (...) {
        return failure_code;
    }
}

}  // namespace

engine_handle create_engine(SignatureType type, std::int32_t sample_rate, EngineFlags flags)
{
    if (!is_supported_rate(sample_rate)) {
        std::fprintf(stderr, "Error: unsupported sample rate %d!\n", sample_rate);
        raise(error_unsupported_rate, "unsupported sample rate");
    }
    if (!is_valid_type(type))
        raise(error_invalid_configuration, "invalid configuration");
    engine_handle engine(new SignatureEngine(engine_config::decode(type, flags), sample_rate));
    if (!engine)
        raise(error_no_engine, "unkonwn error");
    return engine;
}

void destroy_engine(engine_handle& engine)
{
    engine.reset();
}

std::int32_t feed_samples(engine_handle& engine, const std::int16_t* samples, std::int32_t count)
{
    return guarded(engine, result_failed, [&](SignatureEngine& e) {
        e.feed(samples, count);
        return result_ok;
    });
}

std::int32_t get_signature(engine_handle& engine, std::vector<std::uint8_t>& out, double seconds)
{
    out.clear();
    return guarded(engine, result_failed, [&](SignatureEngine& e) { return e.make_signature(out, seconds); });
}

std::int32_t reset_engine(engine_handle& engine)
{
    return guarded(engine, result_reset_failed, [](SignatureEngine& e) {
        e.reset();
        return result_ok;
    });
}

std::int32_t set_wall_clock(engine_handle& engine, std::function<double()> clock_us)
{
    return guarded(engine, result_failed, [&](SignatureEngine& e) {
        e.set_clock(std::move(clock_us));
        return result_ok;
    });
}

const char* engine_version() noexcept
{
    return engine_version_text;
}

}  // namespace vxt
