#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vextune/signature.h"

namespace vxt::cli {

// ---- signature ----

std::vector<std::uint8_t> sign_file(const std::string& path, const signature_options& options, const note_sink& note)
{
    audio_reader reader(path, options.channels);
    return sign_audio(reader, options, note);
}

std::vector<std::uint8_t> sign_audio(audio_reader& reader, const signature_options& options, const note_sink& note,
                                     const block_sink& on_block)
{
    if (reader.converting() && note)
        note("converting " + std::to_string(reader.file_rate()) + " Hz to " + std::to_string(reader.rate()) + " Hz");

    engine_handle engine;
    try {
        engine = create_engine(options.type, reader.rate(), options.flags);
    } catch (const VXT_Exception& e) {
        throw cli_error("cannot create the engine (code " + std::to_string(e.code()) + ")");
    }

    // Captured audio grows with the input: stop as soon as the signature
    // would pass the size limit, rather than after decoding the whole file.
    const engine_config config = engine_config::decode(options.type, options.flags);
    const double capture_bytes_per_sample =
        (config.capture_input ? 2.0 : 0.0) + (config.capture_resampled ? 2.0 * internal_rate / reader.rate() : 0.0);
    double capture_bytes = 0.0;

    std::vector<std::int16_t> block;
    block.reserve(audio_reader::block_frames);
    std::uint64_t samples = 0;
    while (reader.read(block)) {
        samples += block.size();
        capture_bytes += capture_bytes_per_sample * static_cast<double>(block.size());
        if (capture_bytes > static_cast<double>(max_signature_bytes))
            throw cli_error("the audio attached by the capture flags passes the " +
                            std::to_string(max_signature_bytes >> 20) +
                            " MiB limit of a signature; sign a shorter file or leave out flags 10000 and 20000");
        // A block holds at most block_frames samples: the count fits.
        if (feed_samples(engine, block.data(), static_cast<std::int32_t>(block.size())) != result_ok)
            throw cli_error("the engine failed while taking audio");
        if (on_block)
            on_block(block);
    }

    std::vector<std::uint8_t> bytes;
    if (get_signature(engine, bytes, options.seconds) != result_ok)
        throw cli_error("the engine failed to make a signature");
    // A signature of nothing is valid, but rarely what was meant. Without
    // anyone to tell, the signature is not decoded just to look.
    if (!note)
        return bytes;
    if (samples == 0)
        note("the file held no audio: the signature is empty");
    else if (const decoded_signature d = read_signature(bytes); d.band_peak_count() + d.fat_peak_count() == 0)
        note("the audio held no peaks: the signature is empty");
    return bytes;
}

// ---- dump ----

std::vector<std::uint8_t> read_signature_file(const std::string& path)
{
    const bool standard_input = path == "-";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, std::fclose);
    std::FILE* file = stdin;
    if (!standard_input) {
        owned.reset(std::fopen(path.c_str(), "rb"));
        if (!owned)
            throw cli_error(std::strerror(errno));
        file = owned.get();
    }

    std::vector<std::uint8_t> bytes;
    std::uint8_t buffer[65536];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (bytes.size() + got > max_signature_bytes)
            throw cli_error("larger than " + std::to_string(max_signature_bytes >> 20) +
                            " MiB, too large for a signature");
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (got < sizeof buffer)
            break;
    }
    if (std::ferror(file))
        throw cli_error(std::string("read error: ") + std::strerror(errno));
    return bytes;
}

}  // namespace vxt::cli
