// The catalogue commands, offline matching and the recognition service:
// vextune catalogue add|list|remove|stats, vextune match, vextune serve.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "vextune/matcher/Landmarks.h"
#include "vextune/matcher/Store.h"

namespace vxt::cli {

// A track as the catalogue takes it: what it is and its landmarks.
struct track_landmarks {
    matcher::TrackInfo info;  // title, artist, source, content, frames
    std::vector<matcher::Landmark> landmarks;
    std::vector<matcher::Peak> peaks;  // in time order, for checking candidates
    double seconds = 0.0;
};

// Decodes an audio file (all channels averaged, as a microphone hears
// them), signs the whole of it and makes its landmarks (and keeps its peaks). The title and
// artist come from the file's tags, else the title is the file name; the
// content hash covers the samples the engine was fed, so the same audio
// under another name or with other tags is the same content. Throws
// cli_error, also when give_up is set while the file is being read.
track_landmarks read_track(const std::string& path, const std::atomic<bool>* give_up = nullptr);

// The catalogue: one name (an LMDB folder, a postgresql:// URI), or one
// postgresql:// URI a shard of one catalogue, always in the same order.
using catalogue_names = std::vector<std::string>;

// The names as a message shows them, separated by spaces.
std::string shown_names(const catalogue_names& db);

// The catalogue the names give (an LMDB folder, a PostgreSQL URI, or one
// shard a name), checked as every command checks it. Throws cli_error.
std::unique_ptr<matcher::Store> open_catalogue(const catalogue_names& db, matcher::OpenMode mode,
                                               const note_sink& diagnostics);

struct catalogue_add_options {
    catalogue_names db;
    std::vector<std::string> files;
    bool progress = false;  // a progress line on standard error, redrawn
    unsigned jobs = 1;      // threads reading files (the store is written from one)
};

struct catalogue_add_outcome {
    std::size_t failed = 0;  // files that could not be read
    int signal = 0;          // the signal that stopped the run early, 0 when it ran to its end
};

// Every command here that opens the catalogue tells its diagnostics sink
// (note where there is one) what the store met and got over by itself.

// Adds each file, one line per file on out in the files' order ("added" or
// "present", the id, title, artist and file, tab-separated; ids follow the
// order too); a file that cannot be read is reported on note and skipped.
// options.jobs threads read the files. SIGINT or SIGTERM stop the run once
// the track being written is in: every track is whole, and the same
// command again adds the rest. A summary line goes to note at the end (not
// when the catalogue fails). A first load into a new LMDB folder that runs
// to its end is compacted after it (see catalogue compact). Throws
// cli_error when the catalogue cannot be opened or written.
catalogue_add_outcome catalogue_add(const catalogue_add_options& options, std::ostream& out, const note_sink& note);

void catalogue_list(const catalogue_names& db, std::ostream& out, const note_sink& diagnostics);
// False when there is no such track.
bool catalogue_remove(const catalogue_names& db, std::uint32_t id, const note_sink& diagnostics);
// One JSON object: tracks, postings, hours, bytes, bytesperhour.
void catalogue_stats(const catalogue_names& db, std::ostream& out, const note_sink& diagnostics);
// Makes every track's postings again from its stored peaks with this
// program's landmarks and records their format; a track without stored
// peaks is named on note and keeps no postings. One JSON object on out:
// format (the new one), before (the old), tracks, postings, withoutpeaks.
void catalogue_reindex(const std::string& db, std::ostream& out, const note_sink& note, const note_sink& diagnostics);
// Rewrites an LMDB catalogue compactly, in this program's layout. One JSON
// object on out: bytesbefore, bytesafter.
void catalogue_compact(const std::string& db, std::ostream& out, const note_sink& diagnostics);

// Matches each recording, one JSON line per file: the answer object the
// service would give for the whole recording, with "file", "ms" (time
// spent matching) and "evidence" (landmarks, the best track's score, the
// best other track's, the threshold). Returns how many could not be read.
// most_speed_change: recordings played this much fast or slow (0.08: 8 %)
// are looked for too, and "speed" says at what speed one was found.
int match_files(const catalogue_names& db, const std::vector<std::string>& files, std::ostream& out,
                const note_sink& note, double most_speed_change = 0.0);

struct serve_options {
    catalogue_names db;
    std::string listen = "127.0.0.1:8080";
    int threads = 4;
    int io_threads = 1;
    std::uint32_t max_sample_ms = 12000;
    std::uint32_t retry_step_ms = 3000;
    double most_speed_change = 0.0;  // recordings this much fast or slow are looked for too (0.08: 8 %)
    bool access_log = false;         // on standard error
    std::string access_log_file;     // appended to, opened anew on SIGHUP; none when empty
    int request_timeout_s = 5;
    int idle_timeout_s = 15;
    int write_timeout_s = 10;
    int max_connections = 1024;
    int max_connections_per_address = 64;
};

// Where to listen, as --listen gives it: "HOST:PORT", "[ADDRESS]:PORT" (an
// IPv6 address), ":PORT" or "PORT" (both on 127.0.0.1). Throws cli_error
// naming the forms, also for an IPv6 address without its brackets.
std::pair<std::string, int> parse_listen(const std::string& text);

// Serves until SIGINT or SIGTERM, which let the requests in flight have
// their answers; SIGHUP opens the access-log file anew (after it was
// rotated). Notes where it listens once it does, and the access log's
// lines when asked for on standard error. diagnostics hears the store's
// reasons and the cause of every answer of 500 or more. The service's
// threads call both sinks, several at once. Raises the soft limit on open
// files to the hard one, and lowers max_connections to what that limit
// allows (said to diagnostics). Throws cli_error.
void serve(const serve_options& options, const note_sink& note, const note_sink& diagnostics);

}  // namespace vxt::cli
