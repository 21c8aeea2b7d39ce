// The catalogue, match and serve commands as a user runs them, on an LMDB
// catalogue of the committed clips: added once, listed, removed; recordings
// matched offline and through the service with the real client.
#include <csignal>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "catalogue.h"
#include "cli_error.h"
#include "cli_test_support.h"

extern char** environ;

namespace vxt::cli::test {
namespace {

class catalogue_test : public catalogue_of_clips_test {
protected:
    // seconds of a clip from offset on, as a WAV file of its own.
    std::string excerpt(const char* clip, double offset, double seconds)
    {
        const pcm whole = read_pcm(clip_path(clip));
        pcm part{whole.rate, whole.channels, {}};
        const auto from = static_cast<std::size_t>(offset * whole.rate) * static_cast<std::size_t>(whole.channels);
        const auto count = static_cast<std::size_t>(seconds * whole.rate) * static_cast<std::size_t>(whole.channels);
        part.samples.assign(whole.samples.begin() + static_cast<std::ptrdiff_t>(from),
                            whole.samples.begin() + static_cast<std::ptrdiff_t>(from + count));
        const fs::path path = file(std::string(clip) + ".excerpt.wav");
        write_wav(path, part);
        return path.string();
    }
};

TEST_F(catalogue_test, adds_each_audio_once_lists_and_removes)
{
    // The same audio under another name is present already; a file that is
    // not audio is reported and the rest still added.
    fs::copy_file(clip_path(clip_names[1]), file("copy.flac"));
    write_bytes(file("notes.flac"), as_bytes("not audio"));
    const run_result again = run_vextune({"catalogue", "add", "--db", db, file("copy.flac").string(),
                                          file("notes.flac").string(), excerpt(clip_names[0], 1.0, 5.0)});
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(again.err.find("notes.flac"), std::string::npos) << again.err;
    const std::vector<std::string> added = lines_of(again.out);
    ASSERT_EQ(added.size(), 2u) << again.out;
    EXPECT_TRUE(added[0].starts_with("present\t2\t")) << added[0];
    EXPECT_TRUE(added[1].starts_with("added\t4\t")) << added[1];

    const run_result list = run_vextune({"catalogue", "list", "--db", db});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    const std::vector<std::string> tracks = lines_of(list.out);
    ASSERT_EQ(tracks.size(), 4u);
    EXPECT_TRUE(tracks[0].starts_with("1\trock-sectoid-metal-madness\t\t15.0\t")) << tracks[0];

    EXPECT_EQ(run_vextune({"catalogue", "remove", "--db", db, "4"}).exit_code, 0);
    const run_result gone = run_vextune({"catalogue", "remove", "--db", db, "4"});
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_NE(gone.err.find("no track 4"), std::string::npos) << gone.err;

    const run_result stats = run_vextune({"catalogue", "stats", "--db", db});
    ASSERT_EQ(stats.exit_code, 0) << stats.err;
    const auto totals = nlohmann::json::parse(stats.out);
    EXPECT_EQ(totals["tracks"], 3);
    EXPECT_NEAR(totals["hours"].get<double>(), 45.0 / 3600.0, 1e-4);
    EXPECT_GT(totals["postings"].get<int>(), 1000);
    EXPECT_GT(totals["bytes"].get<int>(), 0);

    // A catalogue that is not there is an error, not a new one.
    const run_result missing = run_vextune({"catalogue", "list", "--db", file("nowhere").string()});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_FALSE(fs::exists(file("nowhere")));
}

// A disk that fills up under catalogue add: the add that does not fit is
// refused with the catalogue named once and the cause said once (LMDB's
// own word for a write cut short is "Input/output error"). The disk is a
// small tmpfs in a mount namespace of vextune's own, where the system lets
// one be made.
class catalogue_full_disk_test : public scratch_test {};

TEST_F(catalogue_full_disk_test, says_no_space_left_once_and_names_the_catalogue_once)
{
    const fs::path disk = file("disk");
    fs::create_directories(disk);
    const std::string mount =
        "mount --make-rprivate / && mount -t tmpfs -o size=200k tmpfs '" + disk.string() + "' && exec \"$0\" \"$@\"";
    run_options options;
    options.wrapper = {"unshare", "-m", "sh", "-c", mount};
    if (::geteuid() != 0)
        options.wrapper.insert(options.wrapper.begin() + 1, "-r");  // root in a user namespace of its own
    const run_result probe = run_vextune({"--version"}, options);
    if (probe.exit_code != 0)
        GTEST_SKIP() << "no mount namespace to be had here for a small disk: " << probe.err;

    const std::string db = (disk / "cat.db").string();
    std::vector<std::string> args = {"catalogue", "add", "--db", db};
    for (const char* name : clip_names)
        args.push_back(clip_path(name).string());
    const run_result r = run_vextune(args, options);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "vextune: " + db + ": committing: no space left on the device\n");
    EXPECT_TRUE(r.out.starts_with("added\t1\t")) << r.out;
}

TEST_F(catalogue_test, match_names_the_track_and_the_offset)
{
    const run_result r =
        run_vextune({"match", "--db", db, excerpt(clip_names[2], 4.0, 8.0), excerpt(clip_names[1], 6.5, 6.0)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u);
    const struct {
        const char* title;
        double offset_ms;
    } want[] = {{"electronic-torustrooper-tt1", 4000}, {"Through Space", 6500}};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto answer = nlohmann::json::parse(lines[i]);
        ASSERT_EQ(answer["matches"].size(), 1u) << lines[i];
        EXPECT_EQ(answer["matches"][0]["title"], want[i].title);
        EXPECT_NEAR(answer["matches"][0]["offsetms"].get<double>(), want[i].offset_ms, 16.0);
    }

    // Music that is not in the catalogue: no match.
    pcm other = read_pcm(clip_path(clip_names[0]));
    std::reverse(other.samples.begin(), other.samples.end());
    write_wav(file("reversed.wav"), other);
    const run_result none = run_vextune({"match", "--db", db, file("reversed.wav").string()});
    ASSERT_EQ(none.exit_code, 0) << none.err;
    EXPECT_EQ(nlohmann::json::parse(none.out)["matches"].size(), 0u) << none.out;
}

// The status of a GET on 127.0.0.1 (0 when there is no answer).
int http_get_status(int port, const std::string& path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char bytes[4096];
            for (ssize_t n; (n = ::recv(fd, bytes, sizeof bytes, 0)) > 0;)
                answer.append(bytes, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return answer.starts_with("HTTP/1.1 ") && answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

// The access-log lines of a text that are for path.
std::vector<nlohmann::json> log_lines_for(const std::string& text, const std::string& path)
{
    std::vector<nlohmann::json> found;
    for (const std::string& line : lines_of(text)) {
        if (!line.starts_with('{'))
            continue;
        nlohmann::json object = nlohmann::json::parse(line);
        if (object["path"] == path)
            found.push_back(std::move(object));
    }
    return found;
}

// The service as a separate process, the client's request through it, its
// access log on standard error and in a file that SIGHUP opens anew after
// it was moved away, and SIGTERM ending it cleanly.
// Reindexed from the stored peaks, the catalogue keeps its postings and
// still matches; compacted, it is smaller and matches alike; a catalogue
// that is not a folder is not compacted.
TEST_F(catalogue_test, reindex_and_compact_keep_the_catalogue_matching)
{
    const auto stats = [&] {
        const run_result r = run_vextune({"catalogue", "stats", "--db", db});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return nlohmann::json::parse(r.out);
    };
    const auto before = stats();
    const run_result reindex = run_vextune({"catalogue", "reindex", "--db", db});
    ASSERT_EQ(reindex.exit_code, 0) << reindex.err;
    const auto report = nlohmann::json::parse(reindex.out);
    EXPECT_EQ(report["tracks"], 3);
    EXPECT_EQ(report["postings"], before["postings"]);
    EXPECT_TRUE(report["withoutpeaks"].empty());
    EXPECT_EQ(report["format"], report["before"]);

    const run_result compact = run_vextune({"catalogue", "compact", "--db", db});
    ASSERT_EQ(compact.exit_code, 0) << compact.err;
    const auto sizes = nlohmann::json::parse(compact.out);
    // The first load was compacted already (see below).
    EXPECT_LE(sizes["bytesafter"].get<double>(), sizes["bytesbefore"].get<double>());
    EXPECT_EQ(stats()["postings"], before["postings"]);

    const run_result r = run_vextune({"match", "--db", db, excerpt(clip_names[2], 4.0, 8.0)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto answer = nlohmann::json::parse(lines_of(r.out).at(0));
    ASSERT_EQ(answer["matches"].size(), 1u) << r.out;
    EXPECT_EQ(answer["matches"][0]["title"], "electronic-torustrooper-tt1");

    const run_result memory = run_vextune({"catalogue", "compact", "--db", ":memory:"});
    EXPECT_NE(memory.exit_code, 0);
    EXPECT_NE(memory.err.find("only an LMDB catalogue"), std::string::npos) << memory.err;
}

// A first load into a new folder is compacted once it is in; adds to a
// catalogue that holds tracks already are left as they are.
TEST_F(catalogue_test, a_first_load_is_compacted_and_later_adds_are_not)
{
    const std::string fresh = file("fresh.db").string();
    const run_result first = run_vextune({"catalogue", "add", "--db", fresh, clip_path(clip_names[0]).string()});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_NE(first.err.find("a first load, compacted"), std::string::npos) << first.err;
    const run_result more = run_vextune({"catalogue", "add", "--db", fresh, clip_path(clip_names[1]).string()});
    ASSERT_EQ(more.exit_code, 0) << more.err;
    EXPECT_EQ(more.err.find("compacted"), std::string::npos) << more.err;
    const run_result list = run_vextune({"catalogue", "list", "--db", fresh});
    ASSERT_EQ(list.exit_code, 0) << list.err;
    EXPECT_EQ(lines_of(list.out).size(), 2u) << list.out;
}

TEST_F(catalogue_test, serve_answers_the_client_and_stops_on_sigterm)
{
    const std::string log = file("serve.log").string();
    const std::string access = file("access.log").string();
    background_service service({"--db", db, "--access-log", "--access-log-file", access}, log);
    const std::string port = std::to_string(service.port());
    ASSERT_NE(service.port(), 0);
    const int pid = service.pid();

    const std::string request = R"({"tag":{"href":"http://127.0.0.1:)" + port +
                                R"(/recognize","maxsamplems":12000,"minsamplems":3000},"tagid":"t",)"
                                R"("data":{"signature":"{sigdata}","samplems":"{samplems}"}})";
    write_bytes(file("request.json"), as_bytes(request));
    const run_result r = run_vextune(
        {"recognize", "--request", file("request.json").string(), "--input", excerpt(clip_names[0], 3.0, 10.0)});

    // Rotated: the file moved away, SIGHUP, and the next lines go to a new
    // file by the old name. The signal is taken between two requests, so
    // requests are made until one is logged there.
    const std::string rotated = file("access.log.1").string();
    ASSERT_EQ(std::rename(access.c_str(), rotated.c_str()), 0);
    kill(pid, SIGHUP);
    bool reopened = false;
    for (int i = 0; i < 200 && !reopened; ++i) {
        EXPECT_EQ(http_get_status(std::stoi(port), "/health"), 200);
        reopened = fs::exists(access) && !log_lines_for(read_text(access), "/health").empty();
        if (!reopened)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const int status = service.stop();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto result = nlohmann::json::parse(r.out);
    ASSERT_EQ(result["tag"]["response"]["matches"].size(), 1u) << r.out;
    EXPECT_EQ(result["tag"]["response"]["matches"][0]["title"], "rock-sectoid-metal-madness");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(reopened) << "SIGHUP did not open the access log anew";
    for (const std::string& text : {read_text(log), read_text(rotated)}) {
        const std::vector<nlohmann::json> lines = log_lines_for(text, "/recognize");
        ASSERT_FALSE(lines.empty()) << text;
        EXPECT_EQ(lines[0]["method"], "POST");
        EXPECT_EQ(lines[0]["status"], 200);
        EXPECT_EQ(lines[0]["outcome"], "match");
    }
    EXPECT_TRUE(log_lines_for(read_text(access), "/recognize").empty());
}

// --listen: the forms taken, and the refusals, which name the bracketed
// form wherever an IPv6 address may have been meant.
struct listen_case {
    const char* text;
    const char* host;  // nullptr: refused
    int port;
    const char* message;  // part of the refusal
};

TEST(serve_listen, parses_the_forms_and_refuses_the_rest)
{
    const listen_case cases[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080, nullptr},
        {"0.0.0.0:0", "0.0.0.0", 0, nullptr},
        {"localhost:65535", "localhost", 65535, nullptr},
        {":9000", "127.0.0.1", 9000, nullptr},
        {"9000", "127.0.0.1", 9000, nullptr},
        {"[::1]:8080", "::1", 8080, nullptr},
        {"[fe80::1%eth0]:80", "fe80::1%eth0", 80, nullptr},
        {"::1:8080", nullptr, 0, "an IPv6 address goes in brackets: [ADDRESS]:PORT"},
        {"fe80::1", nullptr, 0, "[ADDRESS]:PORT"},
        {"::", nullptr, 0, "[ADDRESS]:PORT"},
        {"[::1]", nullptr, 0, "[ADDRESS]:PORT"},
        {"[::1]:", nullptr, 0, "[ADDRESS]:PORT"},
        {"[::1]8080", nullptr, 0, "[ADDRESS]:PORT"},
        {"[]:8080", nullptr, 0, "[ADDRESS]:PORT"},
        {"[::1:8080", nullptr, 0, "[ADDRESS]:PORT"},
        {"a]:80", nullptr, 0, "HOST:PORT"},
        {"host:", nullptr, 0, "HOST:PORT"},
        {"host:http", nullptr, 0, "HOST:PORT"},
        {"host:65536", nullptr, 0, "HOST:PORT"},
        {"host:-1", nullptr, 0, "HOST:PORT"},
        {"", nullptr, 0, "HOST:PORT"},
    };
    for (const listen_case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.host) {
            const auto [host, port] = parse_listen(c.text);
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
            continue;
        }
        try {
            parse_listen(c.text);
            ADD_FAILURE() << "taken";
        } catch (const cli_error& e) {
            const std::string what = e.what();
            EXPECT_TRUE(what.starts_with("not an address to listen on: " + std::string(c.text) + " (")) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
}

}  // namespace
}  // namespace vxt::cli::test
