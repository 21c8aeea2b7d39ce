// A program outside the project, built against the installed engine: it sees
// only the public headers and links only the shared library (or the static
// one). Each check prints one line; the exit code is the number that failed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <vector>

#include <vextune/dump.h>
#include <vextune/signature.h>
#include <vextune/vextuneAPI.h>

namespace {

int failures = 0;

void check(bool ok, const char* what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += !ok;
}

// Two steady tones, 440 and 1250 Hz.
std::vector<std::int16_t> tones(int rate, double seconds)
{
    std::vector<std::int16_t> pcm(static_cast<std::size_t>(rate * seconds));
    const double two_pi = 6.283185307179586;
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        pcm[i] =
            static_cast<std::int16_t>(8000.0 * std::sin(two_pi * 440.0 * t) + 4000.0 * std::sin(two_pi * 1250.0 * t));
    }
    return pcm;
}

}  // namespace

int main()
{
    std::printf("engine %s\n", vxt::engine_version());

    const int rate = 16000;
    vxt::engine_handle engine = vxt::create_engine(1, rate, 0);
    check(static_cast<bool>(engine), "create_engine gives an engine");

    const auto pcm = tones(rate, 3.0);
    check(vxt::feed_samples(engine, pcm.data(), static_cast<std::int32_t>(pcm.size())) == vxt::result_ok,
          "feed_samples accepts three seconds of tones");

    std::vector<std::uint8_t> signature;
    check(vxt::get_signature(engine, signature, 0.0) == vxt::result_ok, "get_signature succeeds");
    check(!signature.empty(), "the signature has bytes");

    // The public reader decodes what the engine wrote: the tones' peaks sit
    // near 440 Hz (band 0) and 1250 Hz (band 1).
    const vxt::decoded_signature decoded = vxt::read_signature(signature);
    check(decoded.ok() && decoded.form == vxt::signature_form::compact, "read_signature validates the signature");
    check(decoded.bands.size() == 3, "the signature holds three band lists");
    bool near_440 = false;
    bool near_1250 = false;
    for (const vxt::band_list& band : decoded.bands) {
        for (const vxt::BandPeak& peak : band.peaks) {
            near_440 = near_440 || (band.band == 0 && std::fabs(vxt::frequency_hz(peak.frequency) - 440.0f) < 8.0f);
            near_1250 = near_1250 || (band.band == 1 && std::fabs(vxt::frequency_hz(peak.frequency) - 1250.0f) < 8.0f);
        }
    }
    check(near_440 && near_1250, "the decoded peaks lie at the tones' frequencies");
    std::ostringstream json;
    check(vxt::dump_signature_json(json, signature, 3).empty() &&
              json.str().find("\"valid\": true") != std::string::npos,
          "the JSON dump calls the signature valid");
    check(std::string(vxt::error_name(vxt::result_failed)) != "unknown code", "error_name names the codes");

    // The exception type crosses the library boundary: its type information
    // is exported, so it is caught here by type.
    bool caught = false;
    try {
        vxt::create_engine(1, 12345, 0);
    } catch (const vxt::VXT_Exception& e) {
        caught = e.code() == vxt::error_unsupported_rate;
    }
    check(caught, "an unsupported rate throws VXT_Exception with its code");

    vxt::destroy_engine(engine);
    check(!engine, "destroy_engine empties the handle");
    return failures;
}
