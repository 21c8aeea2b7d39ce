// The service's HTTP front under clients that do not play fair: slow and
// idle connections beside a real request, the caps on connections,
// stopping with requests in flight, pipelined and malformed requests; and
// what an operator reads: the access log, /metrics, /health and /ready.
#include <httplib.h>

#include <cctype>
#include <sstream>

#include "service_fixture.h"

namespace vxt::server::testing {
namespace {

using namespace std::chrono_literals;

class ServiceFrontTest : public ServiceFixture {
protected:
    // Sends one byte of a request head that never ends to each connection
    // every period, from a thread of its own, until stopped.
    class Trickle {
    public:
        Trickle(std::vector<std::unique_ptr<RawConnection>>& connections, std::chrono::milliseconds period)
            : thread_([&connections, period](std::stop_token stop) {
                  const std::string head = "GET /health HTTP/1.1\r\nX-Slow: ";
                  for (std::size_t i = 0; !stop.stop_requested(); ++i) {
                      for (auto& c : connections)
                          c->Send(std::string(1, i < head.size() ? head[i] : 'a'));
                      std::this_thread::sleep_for(period);
                  }
              })
        {}

    private:
        std::jthread thread_;
    };

    static std::vector<std::unique_ptr<RawConnection>> Connect(int port, int count)
    {
        std::vector<std::unique_ptr<RawConnection>> connections;
        for (int i = 0; i < count; ++i) {
            connections.push_back(std::make_unique<RawConnection>(port));
            EXPECT_TRUE(connections.back()->Connected());
        }
        return connections;
    }

    // The samples of a metrics text, by name with labels as written
    // ("vextune_answers_total{outcome=\"match\"}").
    static std::map<std::string, double> Samples(const std::string& text)
    {
        std::map<std::string, double> samples;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line.starts_with('#'))
                continue;
            // NAME or NAME{LABELS}, a space, the value.
            const std::size_t name_end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz_");
            const std::size_t space = line.rfind(' ');
            const bool labelled = name_end != std::string::npos && line[name_end] == '{';
            const bool ok = name_end > 0 && space != std::string::npos &&
                            (labelled ? line[space - 1] == '}' : name_end == space) && space + 1 < line.size();
            EXPECT_TRUE(ok) << line;
            if (ok)
                samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
        }
        return samples;
    }

    std::map<std::string, double> Metrics()
    {
        httplib::Client client("127.0.0.1", port);
        const httplib::Result result = client.Get("/metrics");
        EXPECT_TRUE(result);
        if (!result)
            return {};
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(result->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
        return Samples(result->body);
    }
};

// More slow connections than workers, some sending a head a byte at a
// time, some sending nothing: a real request is answered beside them, and
// they are still open after it (they hold no worker). Stopping then closes
// them and Run returns at once. Two I/O threads share the connections.
TEST_F(ServiceFrontTest, ARealRequestIsAnsweredBesideSlowAndIdleConnections)
{
    ServiceOptions options = Options("127.0.0.1");
    options.threads = 2;
    options.io_threads = 2;
    options.request_timeout = 120s;
    options.idle_timeout = 120s;
    Start(options);
    std::vector<std::unique_ptr<RawConnection>> slow = Connect(port, 6);
    std::vector<std::unique_ptr<RawConnection>> idle = Connect(port, 6);
    {
        Trickle trickle(slow, 100ms);
        std::this_thread::sleep_for(300ms);  // the slow ones are under way (not needed for the verdict)

        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(20s);
        const httplib::Result result = client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json");
        ASSERT_TRUE(result) << httplib::to_string(result.error());
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(nlohmann::json::parse(result->body)["matches"][0]["title"], "Étude");
        for (auto& c : slow)
            EXPECT_TRUE(c->Open());
        for (auto& c : idle)
            EXPECT_TRUE(c->Open());
    }

    const auto stopping = std::chrono::steady_clock::now();
    service->Stop();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    for (auto& c : slow)
        EXPECT_TRUE(c->Ends(10s));
    for (auto& c : idle)
        EXPECT_TRUE(c->Ends(10s));
}

// Stop while a request is being matched (held in the store) and slow
// connections wait: the slow ones are closed at once, new connections are
// no longer taken, and the request in flight still gets its answer, after
// which Run returns.
TEST_F(ServiceFrontTest, StopFinishesTheRequestInFlightAndClosesTheRest)
{
    failing.lookups.Shut();
    std::optional<httplib::Result> in_flight;
    std::jthread poster([&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60s);
        in_flight = client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json");
    });
    ASSERT_TRUE(failing.lookups.Holds(20s));
    std::vector<std::unique_ptr<RawConnection>> slow = Connect(port, 4);
    slow[0]->Send("POST /recognize HTTP/1.1\r\nContent-Le");
    // The slow connections are taken before the service stops: each has
    // its answer to a request first.
    std::vector<std::unique_ptr<RawConnection>> served = Connect(port, 2);
    for (auto& c : served) {
        ASSERT_TRUE(c->Send(RawRequest("GET", "/health")));
        ASSERT_TRUE(c->Read());
    }

    service->Stop();
    for (auto& c : slow)
        EXPECT_TRUE(c->Ends(10s));
    for (auto& c : served)
        EXPECT_TRUE(c->Ends(10s));
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        RawConnection late(port);
        refused = !late.Connected() || late.Ends(1s);
    }
    EXPECT_TRUE(refused) << "a connection is still taken after Stop";

    const auto released = std::chrono::steady_clock::now();
    failing.lookups.Open();
    poster.join();
    runner.join();
    EXPECT_LT(std::chrono::steady_clock::now() - released, 5s);
    ASSERT_TRUE(in_flight && *in_flight) << (in_flight ? httplib::to_string(in_flight->error()) : "");
    EXPECT_EQ((*in_flight)->status, 200);
    EXPECT_EQ(nlohmann::json::parse((*in_flight)->body)["matches"].size(), 1u);
    EXPECT_EQ((*in_flight)->get_header_value("Connection"), "close");
}

// A head that keeps coming a byte at a time is cut off at the request's
// deadline with a 408, and a kept-alive connection that sends nothing more
// is closed after the idle time; both are counted.
TEST_F(ServiceFrontTest, SlowRequestsAndIdleConnectionsAreClosedOnTime)
{
    // The request deadline leaves room for a loaded machine between a
    // connection's accept and its request (here and in the scrape below).
    ServiceOptions options = Options("127.0.0.1");
    options.request_timeout = 3s;
    options.idle_timeout = 1s;
    Start(options);

    std::vector<std::unique_ptr<RawConnection>> slow = Connect(port, 1);
    RawConnection kept(port);
    ASSERT_TRUE(kept.Send(RawRequest("GET", "/health")));
    const std::optional<RawResponse> first = kept.Read();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 200);
    {
        Trickle trickle(slow, 50ms);
        const std::optional<RawResponse> cut = slow[0]->Read();
        ASSERT_TRUE(cut) << "the slow request was not cut off";
        EXPECT_EQ(cut->status, 408);
        EXPECT_EQ(nlohmann::json::parse(cut->body), (nlohmann::json{{"error", "the request took too long to arrive"}}));
        EXPECT_TRUE(slow[0]->Ends(10s));
    }
    EXPECT_TRUE(kept.Ends(10s));

    const auto samples = Metrics();
    EXPECT_EQ(samples.at(R"(vextune_connections_timed_out_total{phase="request"})"), 1);
    EXPECT_EQ(samples.at(R"(vextune_connections_timed_out_total{phase="idle"})"), 1);
    bool logged = false;
    for (const std::string& line : Log())
        logged = logged || nlohmann::json::parse(line)["status"] == 408;
    EXPECT_TRUE(logged);
}

// Beyond a cap, a new connection gets a 503 and is closed, counted by the
// cap it met; once a connection closes, the next is taken again.
TEST_F(ServiceFrontTest, ConnectionsBeyondTheCapsAreRefused)
{
    const struct {
        int in_all;
        int per_address;
        const char* counted;
    } cases[] = {
        {100, 2, R"(vextune_connections_refused_total{cap="address"})"},
        {2, 0, R"(vextune_connections_refused_total{cap="total"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.counted);
        ServiceOptions options = Options("127.0.0.1");
        options.max_connections = c.in_all;
        options.max_connections_per_address = c.per_address;
        Start(options);
        // Each of the two has had its answer, so it is surely counted.
        std::vector<std::unique_ptr<RawConnection>> taken = Connect(port, 2);
        for (auto& t : taken) {
            ASSERT_TRUE(t->Send(RawRequest("GET", "/health")));
            ASSERT_TRUE(t->Read());
        }
        RawConnection third(port);
        const std::optional<RawResponse> refusal = third.Read();
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->status, 503);
        EXPECT_EQ(nlohmann::json::parse(refusal->body),
                  (nlohmann::json{{"error", "the service has too many connections"}}));
        EXPECT_TRUE(third.Ends(10s));

        // The service sees the close when it next reads: until then, a
        // new connection may still be refused (and counted).
        taken.pop_back();
        int refusals = 1;
        std::optional<RawResponse> again;
        for (int i = 0; i < 200 && !(again && again->status == 200); ++i) {
            RawConnection next(port);
            next.Send(RawRequest("GET", "/metrics"));
            again = next.Read();
            if (again && again->status == 503) {
                ++refusals;
                std::this_thread::sleep_for(50ms);
            }
        }
        ASSERT_TRUE(again);
        ASSERT_EQ(again->status, 200);
        EXPECT_EQ(Samples(again->body).at(c.counted), refusals) << again->body;
    }
}

// Requests sent together on one connection are all answered, in order.
TEST_F(ServiceFrontTest, PipelinedRequestsAreAllAnsweredInOrder)
{
    RawConnection connection(port);
    ASSERT_TRUE(connection.Send(RawRequest("GET", "/health") +
                                RawRequest("POST", "/recognize", RecognizeBody(10.0, 8.0)) +
                                RawRequest("GET", "/catalogue") + RawRequest("POST", "/recognize", "not json")));
    const int statuses[] = {200, 200, 404, 400};
    std::vector<RawResponse> answers;
    for (const int status : statuses) {
        std::optional<RawResponse> answer = connection.Read();
        ASSERT_TRUE(answer) << "answered: " << answers.size();
        EXPECT_EQ(answer->status, status);
        answers.push_back(*answer);
    }
    EXPECT_EQ(nlohmann::json::parse(answers[0].body)["status"], "ok");
    EXPECT_EQ(nlohmann::json::parse(answers[1].body)["matches"][0]["title"], "Étude");
    // The connection is still good for more.
    ASSERT_TRUE(connection.Send(RawRequest("GET", "/health")));
    const std::optional<RawResponse> more = connection.Read();
    ASSERT_TRUE(more);
    EXPECT_EQ(more->status, 200);
}

// Heads that could be read two ways, bodies over the limit and requests
// that are not HTTP: each gets its JSON error and the connection closes.
TEST_F(ServiceFrontTest, MalformedRequestsGetAnErrorAndTheConnectionCloses)
{
    const std::string body = RecognizeBody(10.0, 4.0);
    const std::string length = std::to_string(body.size());
    std::string chunked_over = "POST /recognize HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 5; ++i)
        chunked_over += "4000\r\n" + std::string(0x4000, ' ') + "\r\n";
    chunked_over += "0\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"two lengths", RawRequest("POST", "/recognize", body, "Content-Length: " + length + "\r\n"), 400},
        {"a list of lengths",
         "POST /recognize HTTP/1.1\r\nContent-Length: " + length + ", " + length + "\r\n\r\n" + body, 400},
        {"a negative length", "POST /recognize HTTP/1.1\r\nContent-Length: -1\r\n\r\n" + body, 400},
        {"a length over the limit", "POST /recognize HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n", 413},
        {"chunks over the limit", chunked_over, 413},
        {"a coding other than chunked", RawRequest("POST", "/recognize", body, "Transfer-Encoding: gzip\r\n"), 400},
        {"a head over the limit", RawRequest("GET", "/health", {}, "X-Big: " + std::string(20000, 'a') + "\r\n"), 431},
        {"not HTTP", "HELLO\r\n\r\n", 400},
        {"a control character in the path", "GET /he\x01lth HTTP/1.1\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection connection(port);
        connection.Send(c.request);
        const std::optional<RawResponse> answer = connection.Read();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, c.status);
        EXPECT_EQ(answer->headers.at("content-type"), "application/json");
        EXPECT_EQ(answer->headers.at("connection"), "close");
        EXPECT_TRUE(nlohmann::json::parse(answer->body).contains("error")) << answer->body;
        EXPECT_TRUE(connection.Ends(10s));
    }
    httplib::Client client("127.0.0.1", port);
    const httplib::Result after = client.Post("/recognize", body, "application/json");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
}

// A Range header does not make the answer to a recognition a range of it;
// a path the service has with a method it does not take gets a 405.
TEST_F(ServiceFrontTest, RangeIsIgnoredAndWrongMethodsAreNamed)
{
    httplib::Client client("127.0.0.1", port);
    const httplib::Result ranged = client.Post("/recognize", httplib::Headers{{"Range", "bytes=0-10,20-30"}},
                                               RecognizeBody(10.0, 8.0), "application/json");
    ASSERT_TRUE(ranged);
    EXPECT_EQ(ranged->status, 200);
    EXPECT_EQ(ranged->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(ranged->body)["matches"].size(), 1u);

    const struct {
        const char* method;
        const char* path;
        const char* allow;
    } cases[] = {{"GET", "/recognize", "POST"}, {"POST", "/health", "GET, HEAD"}, {"DELETE", "/metrics", "GET, HEAD"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        RawConnection connection(port);
        connection.Send(RawRequest(c.method, c.path));
        const std::optional<RawResponse> answer = connection.Read();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 405);
        EXPECT_EQ(answer->headers.at("allow"), c.allow);
        EXPECT_EQ(nlohmann::json::parse(answer->body), (nlohmann::json{{"error", "the request cannot be served"}}));
    }
}

// Every access-log line is one JSON object, whatever bytes the path holds:
// an encoded newline, bytes that are not UTF-8.
TEST_F(ServiceFrontTest, TheAccessLogIsOneJsonObjectALine)
{
    httplib::Client client("127.0.0.1", port);
    ASSERT_TRUE(client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json"));
    const char* const targets[] = {"/health?probe=1", "/a%0A%7B%22status%22:200%7D%0Db", "/x\xff\xfe%00y",
                                   "/%E2%80%A8"};
    for (const char* target : targets) {
        RawConnection connection(port);
        connection.Send(RawRequest("GET", target));
        ASSERT_TRUE(connection.Read()) << target;
    }

    const std::vector<std::string> lines = Log();
    ASSERT_EQ(lines.size(), 5u);
    // RFC 3339 in UTC with milliseconds: 2025-01-31T09:04:05.123Z.
    const auto is_time = [](const std::string& text) {
        const std::string form = "dddd-dd-ddTdd:dd:dd.dddZ";
        if (text.size() != form.size())
            return false;
        for (std::size_t i = 0; i < form.size(); ++i)
            if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i])
                return false;
        return true;
    };
    std::vector<nlohmann::json> parsed;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        const nlohmann::json object = nlohmann::json::parse(line);
        ASSERT_TRUE(object.is_object());
        EXPECT_TRUE(is_time(object["time"].get<std::string>())) << object["time"];
        EXPECT_EQ(object["address"], "127.0.0.1");
        EXPECT_EQ(object["method"], i == 0 ? "POST" : "GET");
        EXPECT_TRUE(object["ms"].is_number());
        parsed.push_back(object);
    }
    EXPECT_EQ(parsed[0]["path"], "/recognize");
    EXPECT_EQ(parsed[0]["status"], 200);
    EXPECT_EQ(parsed[0]["outcome"], "match");
    EXPECT_GT(parsed[0]["score"], 0);
    EXPECT_EQ(parsed[1]["path"], "/health");
    EXPECT_EQ(parsed[2]["path"], "/a\n{\"status\":200}\rb");
    EXPECT_EQ(parsed[2]["status"], 404);
    EXPECT_EQ(parsed[3]["path"], std::string("/x\xef\xbf\xbd\xef\xbf\xbd\0y", 10));
    EXPECT_EQ(parsed[4]["path"], "/\xe2\x80\xa8");
}

// /metrics counts the requests by route and status, the answers by
// outcome, the store's failures and the connections, with histograms of
// the match and the whole request, and the catalogue's size.
TEST_F(ServiceFrontTest, MetricsCountWhatHappened)
{
    httplib::Client client("127.0.0.1", port);
    ASSERT_TRUE(client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json"));
    ASSERT_TRUE(client.Post("/recognize", "not json", "application/json"));
    failing.failure = FailingStore::Failure::Store;
    ASSERT_TRUE(client.Post("/recognize", RecognizeBody(10.0, 8.0), "application/json"));
    failing.failure = FailingStore::Failure::None;
    ASSERT_TRUE(client.Get("/health"));

    httplib::Client scraper("127.0.0.1", port);
    const httplib::Result result = scraper.Get("/metrics");
    ASSERT_TRUE(result);
    // Every family is introduced as the format has it.
    for (const char* family :
         {"vextune_http_requests_total", "vextune_match_seconds", "vextune_request_seconds", "vextune_answers_total",
          "vextune_store_errors_total", "vextune_connections_open", "vextune_connections_refused_total",
          "vextune_catalogue_tracks", "vextune_catalogue_postings"}) {
        EXPECT_NE(result->body.find(std::string("# HELP ") + family + " "), std::string::npos) << family;
        EXPECT_NE(result->body.find(std::string("# TYPE ") + family + " "), std::string::npos) << family;
    }
    const auto samples = Samples(result->body);
    const std::map<std::string, double> want = {
        {R"(vextune_http_requests_total{route="/recognize",status="200"})", 1},
        {R"(vextune_http_requests_total{route="/recognize",status="400"})", 1},
        {R"(vextune_http_requests_total{route="/recognize",status="503"})", 1},
        {R"(vextune_http_requests_total{route="/health",status="200"})", 1},
        {R"(vextune_answers_total{outcome="match"})", 1},
        {R"(vextune_answers_total{outcome="retry"})", 0},
        {R"(vextune_answers_total{outcome="none"})", 0},
        {"vextune_match_seconds_count", 1},
        {"vextune_request_seconds_count", 3},
        {"vextune_store_errors_total", 1},
        {R"(vextune_connections_refused_total{cap="total"})", 0},
        {"vextune_catalogue_tracks", 1},
    };
    for (const auto& [name, value] : want) {
        ASSERT_TRUE(samples.contains(name)) << name << "\n" << result->body;
        EXPECT_EQ(samples.at(name), value) << name;
    }
    EXPECT_GE(samples.at("vextune_connections_open"), 1);
    EXPECT_GT(samples.at("vextune_catalogue_postings"), 0);
    EXPECT_EQ(samples.at(R"(vextune_match_seconds_bucket{le="+Inf"})"), 1);
}

// /health answers from memory while the catalogue hangs; /ready asks the
// catalogue: it waits with it, then gives the totals, and a catalogue
// that fails makes it a 503 that names no internal address.
TEST_F(ServiceFrontTest, HealthAnswersFromMemoryAndReadyAsksTheCatalogue)
{
    failing.totals.Shut();
    // The one that waits is asked on a bare socket: cpp-httplib's clients
    // in two threads at once trip ThreadSanitizer inside the library.
    std::optional<RawResponse> ready;
    std::atomic<bool> answered = false;
    RawConnection asking(port);
    ASSERT_TRUE(asking.Send(RawRequest("GET", "/ready")));
    std::jthread asker([&] {
        ready = asking.Read();
        answered = true;
    });
    ASSERT_TRUE(failing.totals.Holds(20s));

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10s);
    const httplib::Result health = client.Get("/health");
    ASSERT_TRUE(health) << httplib::to_string(health.error());
    EXPECT_EQ(nlohmann::json::parse(health->body), (nlohmann::json{{"status", "ok"}, {"tracks", 1}}));
    // So does a scrape, from the totals last read.
    const httplib::Result scrape = client.Get("/metrics");
    ASSERT_TRUE(scrape) << httplib::to_string(scrape.error());
    EXPECT_EQ(Samples(scrape->body).at("vextune_catalogue_tracks"), 1);
    EXPECT_FALSE(answered) << "/ready did not wait for the catalogue";

    failing.totals.Open();
    asker.join();
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);
    const nlohmann::json totals = nlohmann::json::parse(ready->body);
    EXPECT_EQ(totals["status"], "ok");
    EXPECT_EQ(totals["tracks"], 1);
    EXPECT_GT(totals["postings"], 0);

    failing.failure = FailingStore::Failure::Store;
    const httplib::Result failed = client.Get("/ready");
    const httplib::Result still = client.Get("/health");
    failing.failure = FailingStore::Failure::None;
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);
    EXPECT_EQ(failed->body, R"({"error":"the catalogue cannot be read"})");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->status, 200);
    EXPECT_EQ(Said(), std::vector<std::string>{"GET /ready 503: the disk has gone"});
}

}  // namespace
}  // namespace vxt::server::testing
