// The service over a catalogue of three PostgreSQL shards: a recording is
// answered from the shard that holds its track; a shard that does not
// answer, even one that holds no track of the answer, makes the answer a
// 503, never a match from the others alone. Runs inside scripts/pg-session
// (three servers with --servers 3, else three databases of one).
#include <httplib.h>
#include <pqxx/pqxx>

#include <chrono>
#include <cstdlib>
#include <future>
#include <set>
#include <sstream>

#include "service_fixture.h"

namespace vxt::server::testing {
namespace {

std::string Uri()
{
    const char* uri = std::getenv("VXT_PG_URI");
    return uri ? uri : "";
}

std::vector<std::string> ShardUris()
{
    std::vector<std::string> words;
    std::istringstream in(std::getenv("VXT_PG_URIS") ? std::getenv("VXT_PG_URIS") : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.size() >= 3) {
        words.resize(3);
        return words;
    }
    words.clear();
    pqxx::connection connection(Uri());
    pqxx::nontransaction tx(connection);
    for (const char* name : {"service_shard_a", "service_shard_b", "service_shard_c"}) {
        if (tx.exec_params("SELECT 1 FROM pg_database WHERE datname = $1", name).empty())
            tx.exec(std::string("CREATE DATABASE ") + name);
        const std::string uri = Uri();
        words.push_back(uri.substr(0, uri.find("///") + 3) + name + uri.substr(uri.find('?')));
    }
    return words;
}

TEST(ShardedService, AShardThatDoesNotAnswerMakesTheAnswerA503)
{
    const std::vector<std::string> uris = ShardUris();
    for (const std::string& uri : uris) {
        pqxx::connection connection(uri);
        pqxx::nontransaction(connection)
            .exec("SET client_min_messages = warning; DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public");
    }
    matcher::StoreOptions options;
    options.read_timeout_ms = 1000;
    auto store = matcher::OpenStores(uris, matcher::OpenMode::ReadWrite, options);
    // The track heard, and others to fill the other shards.
    const std::vector<std::int16_t> track = SyntheticMusic(5, 30.0);
    std::uint32_t heard = 0;
    std::set<std::size_t> filled;
    for (std::uint32_t seed = 5; seed < 40 && filled.size() < 3; ++seed) {
        matcher::TrackInfo info;
        info.title = seed == 5 ? "Étude" : "Other " + std::to_string(seed);
        info.content = "c" + std::to_string(seed);
        info.frames = 3750;
        const std::vector<std::int16_t> music = seed == 5 ? track : SyntheticMusic(seed, 30.0);
        const std::uint32_t id = store->Add(info, matcher::SignatureLandmarks(read_signature(Sign(music, 1)))).id;
        if (seed == 5)
            heard = id;
        filled.insert((id - 1) % 3);
    }
    ASSERT_EQ(filled.size(), 3u);
    const std::size_t silent = heard % 3;  // a shard other than the heard track's, (heard - 1) % 3

    ServiceOptions service_options;
    service_options.host = "127.0.0.1";
    service_options.port = 0;
    service_options.threads = 2;
    Service service(*store, RecognizerOptions{}, service_options);
    const int port = service.Bind();
    std::jthread runner([&] { service.Run(); });

    const std::span<const std::int16_t> part(track.data() + 10 * kRate, 8 * kRate);
    const std::string body =
        nlohmann::json{{"signature", vxt::protocol::EncodeBase64(Sign(part, 2))}, {"samplems", 8000}}.dump();
    const auto post = [&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60, 0);
        return client.Post("/recognize", body, "application/json");
    };

    const httplib::Result before = post();
    ASSERT_TRUE(before);
    ASSERT_EQ(before->status, 200);
    const nlohmann::json answer = nlohmann::json::parse(before->body);
    ASSERT_EQ(answer["matches"].size(), 1u) << before->body;
    EXPECT_EQ(answer["matches"][0]["title"], "Étude");

    {
        pqxx::connection holder(uris[silent]);
        pqxx::work lock(holder);
        lock.exec("LOCK TABLE postings IN ACCESS EXCLUSIVE MODE");
        auto during = std::async(std::launch::async, post);
        ASSERT_EQ(during.wait_for(std::chrono::seconds(30)), std::future_status::ready)
            << "no answer 30 s into the shard's silence";
        const httplib::Result failed = during.get();
        ASSERT_TRUE(failed);
        EXPECT_EQ(failed->status, 503) << failed->body;
    }

    const httplib::Result after = post();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
    EXPECT_EQ(nlohmann::json::parse(after->body)["matches"][0]["title"], "Étude");
    service.Stop();
}

}  // namespace
}  // namespace vxt::server::testing

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:pqxx::connection_base::exec_prepared\n";
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (vxt::server::testing::Uri().empty()) {
        std::fprintf(stderr, "sharded_service_tests: VXT_PG_URI is not set: run inside scripts/pg-session %s\n",
                     argv[0]);
        return 1;
    }
    return RUN_ALL_TESTS();
}
