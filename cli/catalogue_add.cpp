#include "catalogue_add.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "cli_error.h"

namespace vxt::cli {
namespace {

using clock_type = std::chrono::steady_clock;

// How often a waiting writer looks at the stop flag, which a signal sets
// without being able to wake anyone.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

// A file's outcome as the writer takes it: where it stands in the files.
struct slot {
    std::size_t index = 0;
    prepared_file file;
};

prepared_file prepare_guarded(const file_preparer& prepare, const std::string& path, const std::atomic<bool>& stop)
{
    try {
        return prepare(path, stop);
    } catch (const std::exception& e) {
        // Out of memory, say: this file's failure, not the run's.
        prepared_file failed;
        failed.error = e.what();
        return failed;
    }
}

// The worker threads and the reorder window between them and the writer:
// file i is read only while i < written + window, so at most window files
// are read ahead of the writer however slow one of them is.
class reader_pool {
public:
    reader_pool(const std::vector<std::string>& files, unsigned jobs, const file_preparer& prepare)
        : files_(files), prepare_(prepare), ring_(2 * static_cast<std::size_t>(jobs))
    {
        threads_.reserve(jobs);
        for (unsigned i = 0; i < jobs; ++i)
            threads_.emplace_back([this] { work(); });
    }
    ~reader_pool()
    {
        {
            std::lock_guard hold(lock_);
            quit_ = true;
        }
        abandon_ = true;
        room_.notify_all();
        threads_.clear();  // joins
    }
    reader_pool(const reader_pool&) = delete;
    reader_pool& operator=(const reader_pool&) = delete;

    // The files ready from the next one to write on, in order, at most
    // most of them; waits for the next one. Empty once stop is set.
    std::vector<slot> take(std::size_t most, const std::atomic<bool>& stop)
    {
        std::unique_lock hold(lock_);
        while (!stop && !ring_[written_ % ring_.size()])
            ready_.wait_for(hold, kStopPoll);
        std::vector<slot> taken;
        if (stop)
            return taken;
        for (std::size_t i = written_; i < files_.size() && taken.size() < most; ++i) {
            std::optional<prepared_file>& held = ring_[i % ring_.size()];
            if (!held)
                break;
            taken.push_back({i, std::move(*held)});
            held.reset();
        }
        return taken;
    }

    // The files taken are done with: their places are free for the next.
    void written(std::size_t count)
    {
        {
            std::lock_guard hold(lock_);
            written_ += count;
        }
        room_.notify_all();
    }

private:
    void work()
    {
        std::unique_lock hold(lock_);
        for (;;) {
            room_.wait(hold, [&] { return quit_ || next_ >= files_.size() || next_ < written_ + ring_.size(); });
            if (quit_ || next_ >= files_.size())
                return;
            const std::size_t i = next_++;
            hold.unlock();
            prepared_file file = prepare_guarded(prepare_, files_[i], abandon_);
            hold.lock();
            ring_[i % ring_.size()] = std::move(file);
            ready_.notify_one();
        }
    }

    const std::vector<std::string>& files_;
    const file_preparer& prepare_;
    std::mutex lock_;
    std::condition_variable ready_;  // a file read
    std::condition_variable room_;   // a place freed
    std::vector<std::optional<prepared_file>> ring_;
    std::size_t next_ = 0;     // the next file to read
    std::size_t written_ = 0;  // files the writer is done with
    bool quit_ = false;
    std::atomic<bool> abandon_ = false;  // readers give up on their files
    std::vector<std::jthread> threads_;  // last: joined first
};

class progress_line {
public:
    progress_line(bool shown, const std::vector<std::string>& files) : shown_(shown)
    {
        if (!shown_)
            return;
        sizes_ = file_sizes(files);
        for (const std::uint64_t size : sizes_)
            total_ += size;
    }
    void draw(const add_run& run, std::size_t through)
    {
        if (!shown_)
            return;
        for (; counted_ < through; ++counted_)
            done_bytes_ += sizes_[counted_];
        const double fraction = total_ > 0 ? static_cast<double>(done_bytes_) / static_cast<double>(total_)
                                           : static_cast<double>(run.done) / static_cast<double>(run.files);
        std::fprintf(stderr, "\r\x1b[K%s", progress_text(run, fraction).c_str());
        std::fflush(stderr);
    }
    void clear()
    {
        if (!shown_)
            return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }

private:
    bool shown_;
    std::vector<std::uint64_t> sizes_;
    std::uint64_t total_ = 0;
    std::uint64_t done_bytes_ = 0;
    std::size_t counted_ = 0;
};

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// 1234567 as "1 234 567".
std::string grouped(double value)
{
    const std::string digits = std::to_string(std::llround(std::max(value, 0.0)));
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ' ';
        text += digits[i];
    }
    return text;
}

std::string duration_text(double seconds)
{
    if (seconds < 90.0)
        return fixed(seconds, seconds < 10.0 ? 1 : 0) + " s";
    if (seconds < 90.0 * 60.0)
        return fixed(seconds / 60.0, 0) + " min";
    return fixed(seconds / 3600.0, 1) + " h";
}

std::string speed_text(const add_run& run)
{
    return run.wall_seconds > 0.0 ? grouped(run.seconds / run.wall_seconds) + "x real time" : "";
}

}  // namespace

std::vector<std::uint64_t> file_sizes(const std::vector<std::string>& files)
{
    std::vector<std::uint64_t> sizes;
    sizes.reserve(files.size());
    for (const std::string& path : files) {
        struct stat about {};
        const bool known = ::stat(path.c_str(), &about) == 0 && S_ISREG(about.st_mode);
        sizes.push_back(known ? static_cast<std::uint64_t>(about.st_size) : 0);
    }
    return sizes;
}

std::string progress_text(const add_run& run, double fraction_done)
{
    std::string text = std::to_string(run.done) + "/" + std::to_string(run.files) + " files, " +
                       fixed(run.seconds / 3600.0, 2) + " h of audio";
    if (run.wall_seconds > 0.0 && run.seconds > 0.0)
        text += ", " + speed_text(run);
    if (fraction_done > 0.0 && fraction_done < 1.0 && run.wall_seconds > 0.0)
        text += ", " + duration_text(run.wall_seconds * (1.0 - fraction_done) / fraction_done) + " left";
    return text;
}

std::string summary_text(const add_run& run)
{
    std::string text = "catalogue add: ";
    if (run.interrupted)
        text += "interrupted after " + std::to_string(run.done) + " of " + std::to_string(run.files) + " files";
    else
        text += std::to_string(run.files) + (run.files == 1 ? " file" : " files");
    text += " (" + std::to_string(run.added) + " added, " + std::to_string(run.present) + " present, " +
            std::to_string(run.failed) + " failed), " + fixed(run.seconds / 3600.0, 2) + " h of audio in " +
            duration_text(run.wall_seconds);
    if (run.seconds > 0.0 && run.wall_seconds > 0.0)
        text += ", " + speed_text(run);
    if (run.interrupted)
        text += "; the same command again adds the rest";
    return text;
}

add_run add_files(matcher::Store& store, const std::vector<std::string>& files, const add_pipeline_options& options,
                  const file_preparer& prepare, std::atomic<bool>& stop, std::ostream& out, const note_sink& note)
{
    const auto start = clock_type::now();
    add_run run;
    run.files = files.size();
    progress_line progress(options.progress, files);
    const auto elapsed = [&] { return std::chrono::duration<double>(clock_type::now() - start).count(); };

    const unsigned jobs = std::max(1u, options.jobs);
    const std::size_t most_batched = std::max<std::size_t>(1, options.most_batched);
    std::optional<reader_pool> pool;
    if (jobs > 1 && files.size() > 1)
        pool.emplace(files, jobs, prepare);

    // A file done with: its line, or its error.
    const auto report = [&](const slot& done, const matcher::Store::Added* added) {
        if (added) {
            const matcher::TrackInfo& info = done.file.track.info;
            const std::optional<matcher::TrackInfo> stored = added->added ? std::nullopt : store.Track(added->id);
            const matcher::TrackInfo& shown = stored ? *stored : info;
            progress.clear();  // standard output may be the same terminal
            out << (added->added ? "added" : "present") << '\t' << added->id << '\t' << shown.title << '\t'
                << shown.artist << '\t' << files[done.index] << '\n';
            out.flush();
            ++(added->added ? run.added : run.present);
            run.seconds += done.file.track.seconds;
        } else {
            progress.clear();
            note(files[done.index] + ": " + done.file.error);
            ++run.failed;
        }
        ++run.done;
        run.wall_seconds = elapsed();
        progress.draw(run, done.index + 1);
    };

    while (run.done < files.size() && !stop) {
        std::vector<slot> batch;
        if (pool) {
            batch = pool->take(most_batched, stop);
        } else {
            slot one{run.done, prepare_guarded(prepare, files[run.done], stop)};
            if (!stop)
                batch.push_back(std::move(one));
        }
        if (batch.empty())
            break;  // stopped

        std::vector<matcher::NewTrack> tracks;
        std::vector<std::size_t> places;  // in batch, of each track
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (batch[i].file.error.empty()) {
                const track_landmarks& t = batch[i].file.track;
                tracks.push_back({t.info, t.landmarks, t.peaks});
                places.push_back(i);
            }
        }
        std::size_t reported = 0;   // of batch
        std::size_t committed = 0;  // of tracks
        std::size_t offered = 0;    // of tracks, before the span given to the store
        const matcher::Store::CommittedSink on_committed = [&](std::size_t k, const matcher::Store::Added& added) {
            const std::size_t track = offered + k;
            for (; reported < places[track]; ++reported)
                report(batch[reported], nullptr);
            report(batch[reported++], &added);
            committed = track + 1;
        };
        try {
            try {
                store.AddAll(tracks, on_committed);
            } catch (const matcher::StoreError&) {
                // A batch that did not fit may have tracks that do: one at
                // a time, the first that does not names the cause.
                if (tracks.size() - committed < 2)
                    throw;
                for (offered = committed; offered < tracks.size(); ++offered)
                    store.AddAll(std::span(tracks).subspan(offered, 1), on_committed);
            }
        } catch (const matcher::StoreError& e) {
            progress.clear();
            throw cli_error(e.what());  // the store's errors name it
        }
        for (; reported < batch.size(); ++reported)
            report(batch[reported], nullptr);
        if (pool)
            pool->written(batch.size());
    }
    pool.reset();
    run.interrupted = run.done < files.size();
    run.wall_seconds = elapsed();
    progress.clear();
    return run;
}

}  // namespace vxt::cli
