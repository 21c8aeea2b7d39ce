// The work of `catalogue add`: files decoded, signed and given their
// landmarks on several threads, written to the store by one, in the order
// the files were given.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "catalogue.h"
#include "commands.h"
#include "vextune/matcher/Store.h"

namespace vxt::cli {

// One file made ready for the store: its track, or why it could not be read.
struct prepared_file {
    track_landmarks track;
    std::string error;  // empty when the track is good
};

// Reads one file into a track; may give up early (with any error) once
// stop is set. Runs on the worker threads, several at once.
using file_preparer = std::function<prepared_file(const std::string& path, const std::atomic<bool>& stop)>;

struct add_run {
    std::size_t files = 0;      // given
    std::size_t done = 0;       // written or reported, from the first on
    std::size_t added = 0;      // of done
    std::size_t present = 0;    // of done
    std::size_t failed = 0;     // of done
    double seconds = 0.0;       // of audio, over the files done and read
    double wall_seconds = 0.0;  // the run's
    bool interrupted = false;   // stop was set before every file was done
};

struct add_pipeline_options {
    unsigned jobs = 1;              // threads reading files; 1 reads them on the caller's
    bool progress = false;          // a line on standard error, redrawn
    std::size_t most_batched = 16;  // tracks written in one call to the store, at most
};

// Reads the files with options.jobs threads and adds their tracks to the
// store from the calling thread, in the files' order (ids follow it), at
// most 2 * jobs tracks read ahead of the writer. Prints one line a file on
// out, in order; a file that cannot be read is noted instead. Setting stop
// ends the run after the write under way: files not yet written are left
// out, and the run says it was interrupted. Throws cli_error when the store
// cannot be written (the files before are in the store and their lines
// printed).
add_run add_files(matcher::Store& store, const std::vector<std::string>& files, const add_pipeline_options& options,
                  const file_preparer& prepare, std::atomic<bool>& stop, std::ostream& out, const note_sink& note);

// Bytes of each file, 0 where it cannot be told: for estimating the time left.
std::vector<std::uint64_t> file_sizes(const std::vector<std::string>& files);

// "12/40 files, 1.5 h of audio, 1 210x real time, 2 min left" and the like.
std::string progress_text(const add_run& run, double fraction_done);
// The last word of a run, always said: how far it got and how fast.
std::string summary_text(const add_run& run);

}  // namespace vxt::cli
