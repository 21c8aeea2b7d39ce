// catalogue add on several threads: the writer's order and bounds with
// made-up files in a store in memory, then the built tool on real clips:
// the same catalogue whatever the jobs, and runs stopped by SIGKILL and
// SIGINT leaving whole tracks that a second run completes.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "catalogue.h"
#include "catalogue_add.h"
#include "cli_error.h"
#include "cli_test_support.h"

extern char** environ;

namespace vxt::cli::test {
namespace {

// A made-up track for path: its content is its name, so "again/x" and "x"
// differ while two paths the same are one content. Paths starting "bad" fail.
prepared_file made_up(const std::string& path)
{
    prepared_file file;
    if (path.starts_with("bad")) {
        file.error = "not audio";
        return file;
    }
    const std::string name = path.substr(path.rfind('/') + 1);
    file.track.info.title = "title of " + path;
    file.track.info.content = name;
    file.track.info.frames = 100;
    file.track.seconds = 0.8;
    const auto seed = static_cast<std::uint32_t>(std::hash<std::string>{}(name));
    for (std::uint32_t i = 0; i < 20; ++i)
        file.track.landmarks.push_back({(seed + i * 7919u) & 0xffffu, i * 3});
    return file;
}

struct add_result {
    add_run run;
    std::string out;
    std::vector<std::string> notes;
    std::string error;  // what add_files threw
};

add_result run_add(matcher::Store& store, const std::vector<std::string>& files, unsigned jobs,
                   const file_preparer& prepare, std::atomic<bool>& stop)
{
    add_result r;
    std::ostringstream out;
    try {
        r.run = add_files(store, files, {.jobs = jobs, .progress = false, .most_batched = 3}, prepare, stop, out,
                          [&](const std::string& line) { r.notes.push_back(line); });
    } catch (const cli_error& e) {
        r.error = e.what();
    }
    r.out = out.str();
    return r;
}

std::vector<std::string> names(const std::vector<matcher::TrackInfo>& tracks)
{
    std::vector<std::string> titles;
    for (const auto& t : tracks)
        titles.push_back(std::to_string(t.id) + " " + t.title);
    return titles;
}

TEST(add_files, gives_ids_and_lines_in_file_order_whatever_the_jobs)
{
    // Failures among good files, a content given twice (present, its first
    // title shown), more files than fit in the window of any jobs here.
    std::vector<std::string> files;
    for (int i = 0; i < 23; ++i)
        files.push_back((i % 7 == 3 ? "bad/" : "dir/") + std::to_string(i));
    files.push_back("again/5");

    std::string expected;
    std::vector<std::string> expected_tracks;
    std::uint32_t id = 0;
    for (const std::string& f : files) {
        if (f.starts_with("bad"))
            continue;
        if (f == "again/5") {
            expected += "present\t5\ttitle of dir/5\t\tagain/5\n";
            continue;
        }
        expected += "added\t" + std::to_string(++id) + "\ttitle of " + f + "\t\t" + f + "\n";
        expected_tracks.push_back(std::to_string(id) + " title of " + f);
    }

    for (const unsigned jobs : {1u, 2u, 3u, 8u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        const auto store = matcher::MakeMemoryStore();
        std::atomic<bool> stop = false;
        const add_result r = run_add(
            *store, files, jobs, [](const std::string& path, const std::atomic<bool>&) { return made_up(path); }, stop);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.notes, (std::vector<std::string>{"bad/3: not audio", "bad/10: not audio", "bad/17: not audio"}));
        EXPECT_EQ(names(store->Tracks()), expected_tracks);
        EXPECT_EQ(r.run.done, files.size());
        EXPECT_EQ(r.run.added, expected_tracks.size());
        EXPECT_EQ(r.run.present, 1u);
        EXPECT_EQ(r.run.failed, 3u);
        EXPECT_FALSE(r.run.interrupted);
        EXPECT_NEAR(r.run.seconds, 0.8 * 21, 1e-9);
    }
}

TEST(add_files, reads_no_further_ahead_than_twice_the_jobs_behind_a_slow_file)
{
    // The first file is held until every file the window allows has been
    // read; the readers must then wait for it, not run on.
    for (const unsigned jobs : {2u, 3u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        std::vector<std::string> files;
        for (int i = 0; i < 20; ++i)
            files.push_back("dir/" + std::to_string(i));
        const std::size_t window = 2 * jobs;

        std::mutex lock;
        std::condition_variable changed;
        std::size_t started = 0;
        std::size_t finished = 0;
        std::size_t furthest_while_held = 0;
        bool filled = false;
        const file_preparer prepare = [&](const std::string& path, const std::atomic<bool>&) {
            const std::size_t index = std::stoul(path.substr(4));
            std::unique_lock hold(lock);
            ++started;
            if (index == 0) {
                filled = changed.wait_for(hold, std::chrono::seconds(30),
                                          [&] { return started >= window && finished + 1 == started; });
                // A reader that ignores the window starts the next file as
                // soon as it is free: give it the chance to show.
                hold.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                hold.lock();
                furthest_while_held = started;
            } else {
                ++finished;
                changed.notify_all();
            }
            return made_up(path);
        };
        const auto store = matcher::MakeMemoryStore();
        std::atomic<bool> stop = false;
        const add_result r = run_add(*store, files, jobs, prepare, stop);
        EXPECT_TRUE(filled) << "the window never filled: " << started << " files started";
        EXPECT_EQ(furthest_while_held, window);
        EXPECT_EQ(r.run.added, files.size());
        EXPECT_EQ(store->Tracks().size(), files.size());
    }
}

TEST(add_files, stops_after_the_write_under_way_and_keeps_what_it_printed)
{
    std::vector<std::string> files;
    for (int i = 0; i < 30; ++i)
        files.push_back("dir/" + std::to_string(i));
    for (const unsigned jobs : {1u, 2u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        const auto store = matcher::MakeMemoryStore();
        std::atomic<bool> stop = false;
        // The signal comes while file 6 is read; that reader gives up.
        const file_preparer prepare = [&](const std::string& path, const std::atomic<bool>& give_up) {
            if (path == "dir/6") {
                stop = true;
                while (!give_up && jobs > 1)
                    std::this_thread::yield();
                prepared_file failed;
                failed.error = "interrupted";
                return failed;
            }
            return made_up(path);
        };
        const add_result r = run_add(*store, files, jobs, prepare, stop);
        EXPECT_EQ(r.error, "");
        EXPECT_TRUE(r.run.interrupted);
        EXPECT_TRUE(r.notes.empty()) << r.notes.front();  // the file given up on is no failure
        // Whole tracks, a prefix of the files, each printed.
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_LE(lines.size(), 6u);
        if (jobs == 1) {
            EXPECT_EQ(lines.size(), 6u);
        }
        EXPECT_EQ(r.run.done, lines.size());
        EXPECT_EQ(store->Tracks().size(), lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], "added\t" + std::to_string(i + 1) + "\ttitle of dir/" + std::to_string(i) + "\t\tdir/" +
                                    std::to_string(i));
    }
}

// A store that refuses the nth track added (counting from 1), as a full
// disk would, having kept the ones before.
class refusing_store : public matcher::Store {
public:
    explicit refusing_store(int refused) : refused_(refused) {}
    Added Add(const matcher::TrackInfo& info, std::span<const matcher::Landmark> landmarks,
              std::span<const matcher::Peak> peaks) override
    {
        if (++calls_ >= refused_)
            throw matcher::StoreError("the disk is full");
        return inner_->Add(info, landmarks, peaks);
    }
    bool Remove(std::uint32_t id) override { return inner_->Remove(id); }
    std::optional<matcher::TrackInfo> Track(std::uint32_t id) const override { return inner_->Track(id); }
    std::optional<matcher::TrackInfo> TrackWithContent(std::string_view c) const override
    {
        return inner_->TrackWithContent(c);
    }
    std::vector<matcher::TrackInfo> Tracks() const override { return inner_->Tracks(); }
    matcher::StoreTotals Totals() const override { return inner_->Totals(); }
    void Lookup(std::span<const std::uint32_t> h, const matcher::PostingVisitor& v) const override
    {
        inner_->Lookup(h, v);
    }
    std::uint64_t IndexedFrames() const override { return inner_->IndexedFrames(); }
    std::vector<std::vector<matcher::Peak>> TrackPeaks(std::span<const matcher::PeakWindow> w) const override
    {
        return inner_->TrackPeaks(w);
    }

private:
    std::unique_ptr<matcher::Store> inner_ = matcher::MakeMemoryStore();
    int refused_;
    int calls_ = 0;
};

TEST(add_files, a_store_that_fails_keeps_the_lines_of_the_tracks_it_took)
{
    std::vector<std::string> files;
    for (int i = 0; i < 12; ++i)
        files.push_back((i == 1 ? "bad/" : "dir/") + std::to_string(i));
    for (const unsigned jobs : {1u, 2u}) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        refusing_store store(4);
        std::atomic<bool> stop = false;
        const add_result r = run_add(
            store, files, jobs, [](const std::string& path, const std::atomic<bool>&) { return made_up(path); }, stop);
        EXPECT_EQ(r.error, "the disk is full");
        EXPECT_EQ(r.out, "added\t1\ttitle of dir/0\t\tdir/0\n"
                         "added\t2\ttitle of dir/2\t\tdir/2\n"
                         "added\t3\ttitle of dir/3\t\tdir/3\n");
        EXPECT_EQ(r.notes, std::vector<std::string>{"bad/1: not audio"});
        EXPECT_EQ(store.Tracks().size(), 3u);
    }
}

TEST(add_files, says_how_far_it_got_and_how_fast)
{
    add_run run;
    run.files = 40;
    run.done = 10;
    run.added = 8;
    run.present = 1;
    run.failed = 1;
    run.seconds = 5400.0;
    run.wall_seconds = 4.5;
    EXPECT_EQ(progress_text(run, 0.25), "10/40 files, 1.50 h of audio, 1 200x real time, 14 s left");
    EXPECT_EQ(progress_text(run, 0.002), "10/40 files, 1.50 h of audio, 1 200x real time, 37 min left");
    EXPECT_EQ(progress_text(run, 0.0), "10/40 files, 1.50 h of audio, 1 200x real time");
    run.interrupted = true;
    EXPECT_EQ(summary_text(run), "catalogue add: interrupted after 10 of 40 files (8 added, 1 present, 1 failed), "
                                 "1.50 h of audio in 4.5 s, 1 200x real time; the same command again adds the rest");
    run.interrupted = false;
    run.files = run.done = 1;
    run.seconds = 0.0;
    run.wall_seconds = 200.0;
    EXPECT_EQ(summary_text(run), "catalogue add: 1 file (8 added, 1 present, 1 failed), 0.00 h of audio in 3 min");
}

// ---- the built tool ----

// vextune catalogue add running as a child, its standard output read a
// line at a time.
class running_add {
public:
    running_add(const std::vector<std::string>& args, const fs::path& err)
    {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> words = {vextune_path.string(), "catalogue", "add"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
    }
    ~running_add()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        ::close(out_);
    }
    running_add(const running_add&) = delete;
    running_add& operator=(const running_add&) = delete;

    // The next line, empty at the end of the output; gives up (failing the
    // test) after a minute without one.
    std::string line()
    {
        std::string text;
        char c = 0;
        while (text.empty() || text.back() != '\n') {
            pollfd ready{out_, POLLIN, 0};
            if (::poll(&ready, 1, 60'000) != 1) {
                ADD_FAILURE() << "no line from catalogue add in a minute; so far: " << text;
                return text;
            }
            if (::read(out_, &c, 1) != 1)
                return text;
            text += c;
        }
        return text;
    }
    void signal(int which) { ::kill(pid_, which); }
    // The exit status, or 128 + the signal that ended it.
    int wait()
    {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Whether the child still has sig pending, not yet taken.
    bool pending(int sig) const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("ShdPnd:") || line.starts_with("SigPnd:")) {
                if ((std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1)
                    return true;
            }
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

class catalogue_add_test : public scratch_test {
protected:
    // The clips, and each again a little quieter: other content, the same
    // music. Returns the paths.
    std::vector<std::string> clips(int versions)
    {
        std::vector<std::string> paths;
        for (int v = 0; v < versions; ++v) {
            for (const char* name : clip_names) {
                if (v == 0) {
                    paths.push_back(clip_path(name).string());
                    continue;
                }
                pcm audio = read_pcm(clip_path(name));
                for (std::int16_t& s : audio.samples)
                    s = static_cast<std::int16_t>(s * (1.0 - 0.05 * v));
                const fs::path path = file(std::to_string(v) + "-" + name + ".wav");
                write_wav(path, audio);
                paths.push_back(path.string());
            }
        }
        return paths;
    }

    // A named pipe that holds up whoever reads it until close_fifo, when
    // its reader meets its end and an empty file takes its place: one file
    // that takes as long as the test wants.
    std::string fifo()
    {
        const fs::path path = file("held.wav");
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        fifo_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);  // a writer: the reader's open goes through
        return path.string();
    }
    void close_fifo()
    {
        if (fifo_ < 0)
            return;
        // The empty file first: a reader that opens the path after this
        // gets it, one that has the pipe open meets its end.
        write_bytes(file("empty"), {});
        fs::rename(file("empty"), file("held.wav"));
        ::close(fifo_);
        fifo_ = -1;
    }
    void TearDown() override
    {
        close_fifo();
        scratch_test::TearDown();
    }

    run_result add(const std::string& db, const std::vector<std::string>& files, const std::string& jobs,
                   const std::vector<std::string>& more = {})
    {
        std::vector<std::string> args = {"catalogue", "add", "--db", db, "--jobs", jobs};
        args.insert(args.end(), more.begin(), more.end());
        args.insert(args.end(), files.begin(), files.end());
        return run_vextune(args);
    }
    std::vector<std::string> listed(const std::string& db)
    {
        const run_result r = run_vextune({"catalogue", "list", "--db", db});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return lines_of(r.out);
    }

    int fifo_ = -1;
};

// Every posting of the tracks' own landmarks, as the store gives them.
std::map<std::uint32_t, std::vector<matcher::Posting>> postings_of(const std::string& db,
                                                                   const std::vector<std::string>& files)
{
    std::set<std::uint32_t> hashes;
    for (const std::string& f : files)
        for (const matcher::Landmark& l : read_track(f).landmarks)
            hashes.insert(l.hash);
    const std::vector<std::uint32_t> sorted(hashes.begin(), hashes.end());
    std::map<std::uint32_t, std::vector<matcher::Posting>> found;
    matcher::OpenStore(db, matcher::OpenMode::ReadOnly)
        ->Lookup(sorted,
                 [&](std::uint32_t h, std::span<const matcher::Posting> p) { found[h].assign(p.begin(), p.end()); });
    return found;
}

TEST_F(catalogue_add_test, one_job_and_two_make_the_same_catalogue)
{
    const std::vector<std::string> audio = clips(2);
    std::vector<std::string> files = audio;
    write_bytes(file("notes.wav"), as_bytes("not audio"));
    files.insert(files.begin() + 2, file("notes.wav").string());
    files.push_back(files[0]);  // present by then

    const std::string one = file("one.db").string();
    const std::string two = file("two.db").string();
    const run_result r1 = add(one, files, "1");
    const run_result r2 = add(two, files, "2");
    EXPECT_EQ(r1.exit_code, 1) << r1.err;
    EXPECT_EQ(r2.exit_code, 1) << r2.err;
    EXPECT_EQ(r1.out, r2.out);
    const std::vector<std::string> lines = lines_of(r2.out);
    ASSERT_EQ(lines.size(), 7u) << r2.out;
    EXPECT_TRUE(lines[2].starts_with("added\t3\t")) << lines[2];
    EXPECT_TRUE(lines[6].starts_with("present\t1\trock-sectoid-metal-madness\t")) << lines[6];
    for (const run_result* r : {&r1, &r2}) {
        const std::vector<std::string> err = lines_of(r->err);
        ASSERT_EQ(err.size(), 3u) << r->err;  // the last: a first load compacted
        EXPECT_TRUE(err[0].starts_with("vextune: " + files[2] + ": ")) << err[0];
        EXPECT_TRUE(err[1].starts_with("vextune: catalogue add: 8 files (6 added, 1 present, 1 failed), 0.03 h of "
                                       "audio in "))
            << err[1];
        EXPECT_TRUE(err[2].starts_with("vextune: catalogue add: a first load, compacted: ")) << err[2];
    }
    EXPECT_EQ(listed(one), listed(two));
    const auto postings = postings_of(one, audio);
    EXPECT_GT(postings.size(), 1000u);
    EXPECT_EQ(postings, postings_of(two, audio));
}

TEST_F(catalogue_add_test, a_run_killed_midway_leaves_whole_tracks_and_the_rerun_adds_the_rest)
{
    // The third file holds the run up, so the kill comes after exactly two
    // tracks whatever the machine's speed; the readers are ahead by then.
    std::vector<std::string> files = clips(2);
    files.insert(files.begin() + 2, fifo());
    const std::string db = file("music.db").string();
    std::vector<std::string> args = {"--db", db, "--jobs", "2"};
    args.insert(args.end(), files.begin(), files.end());
    std::vector<std::string> before;
    {
        running_add run(args, file("err1"));
        for (int i = 0; i < 2; ++i)
            before.push_back(run.line());
        run.signal(SIGKILL);
        EXPECT_EQ(run.wait(), 128 + SIGKILL);
    }
    ASSERT_TRUE(before[0].starts_with("added\t1\trock-sectoid-metal-madness\t")) << before[0];
    ASSERT_TRUE(before[1].starts_with("added\t2\t")) << before[1];
    EXPECT_EQ(listed(db).size(), 2u);

    close_fifo();  // now an empty file: an error of its own
    const run_result again = add(db, files, "2", {"--progress"});
    EXPECT_EQ(again.exit_code, 1) << again.err;
    const std::vector<std::string> lines = lines_of(again.out);
    ASSERT_EQ(lines.size(), 6u) << again.out;
    EXPECT_EQ(lines[0] + "\n", "present" + before[0].substr(5));
    EXPECT_EQ(lines[1] + "\n", "present" + before[1].substr(5));
    for (std::size_t i = 2; i < lines.size(); ++i)
        EXPECT_TRUE(lines[i].starts_with("added\t" + std::to_string(i + 1) + "\t")) << lines[i];
    EXPECT_NE(again.err.find(files[2]), std::string::npos) << again.err;
    // The progress line, redrawn in place, though standard error is a file.
    EXPECT_NE(again.err.find("\r\x1b[K4/7 files, 0.01 h of audio, "), std::string::npos) << again.err;
    EXPECT_EQ(listed(db).size(), 6u);
}

TEST_F(catalogue_add_test, sigint_stops_the_run_with_whole_tracks_and_says_how_far_it_got)
{
    std::vector<std::string> files = clips(3);
    files.insert(files.begin() + 1, fifo());
    const std::string db = file("music.db").string();
    std::vector<std::string> args = {"--db", db, "--jobs", "1"};
    args.insert(args.end(), files.begin(), files.end());
    std::vector<std::string> printed;
    int status = -1;
    {
        running_add run(args, file("err"));
        printed.push_back(run.line());
        run.signal(SIGINT);
        // Taken (no longer pending) before the held file is let go, so the
        // run knows of it before it could read another file.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (run.pending(SIGINT) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close_fifo();
        for (std::string line = run.line(); !line.empty(); line = run.line())
            printed.push_back(line);
        status = run.wait();
    }
    EXPECT_EQ(status, 130);
    const std::vector<std::string> tracks = listed(db);
    ASSERT_LT(tracks.size(), files.size() - 1);
    EXPECT_EQ(tracks.size(), printed.size());
    const std::string err = read_text(file("err"));
    EXPECT_NE(err.find("catalogue add: interrupted after "), std::string::npos) << err;
    EXPECT_NE(err.find(" of " + std::to_string(files.size()) + " files"), std::string::npos) << err;

    close_fifo();
    const run_result again = add(db, files, "2");
    EXPECT_EQ(again.exit_code, 1) << again.err;
    EXPECT_EQ(lines_of(again.out).size(), files.size() - 1);
    EXPECT_EQ(listed(db).size(), files.size() - 1);
}

}  // namespace
}  // namespace vxt::cli::test
