// The recognition operation over a fake signature source on made-up sample
// time, with the service played by a transport that answers from a script:
// the attempt loop, "retryms", failures and what is said of them, the
// result documents, the "info" record, cancellation and replacement.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fake_signature_source.h"
#include "vextune/client/Recognition.h"
#include "vextune/platform/Clock.h"

namespace VextuneCore::Client::test {
namespace {

using json = nlohmann::json;
using Platform::SimulatedClock;

// The service: answers from a script, then with its fallback.
class ScriptedService final : public HttpTransport {
public:
    HttpResult Post(const std::string& uri, const std::string& body, std::stop_token stop,
                    const std::function<void()>& on_started) override
    {
        if (throw_on_post)
            throw std::runtime_error("no sockets left");
        on_started();
        std::lock_guard hold(lock_);
        uris.push_back(uri);
        bodies.push_back(body);
        if (stop.stop_requested())
            return {HttpResult::Outcome::Cancelled, 0, {}, "cancelled"};
        if (answers.empty())
            return fallback;
        HttpResult next = answers.front();
        answers.pop_front();
        return next;
    }

    void Answer(const std::string& body, long status = 200)
    {
        std::lock_guard hold(lock_);
        answers.push_back({HttpResult::Outcome::Answered, status, body, {}});
    }
    void Fail(const std::string& error = "connection refused")
    {
        std::lock_guard hold(lock_);
        answers.push_back({HttpResult::Outcome::Failed, 0, {}, error});
    }
    std::vector<std::string> Bodies()
    {
        std::lock_guard hold(lock_);
        return bodies;
    }

    HttpResult fallback{HttpResult::Outcome::Answered, 200, R"({"match": "none"})", {}};
    std::atomic<bool> throw_on_post{false};

private:
    std::mutex lock_;
    std::deque<HttpResult> answers;
    std::vector<std::string> uris;
    std::vector<std::string> bodies;
};

std::string Request(double min_ms = 3000, double max_ms = 12000, const std::string& href = "\"http://127.0.0.1:9/id\"")
{
    return R"({"tag": {"href": )" + href + R"(, "maxsamplems": )" + std::to_string(max_ms) + R"(, "minsamplems": )" +
           std::to_string(min_ms) +
           R"(}, "tagid": "T-1", "data": {"sig": "{sigdata}", "ms": "{samplems}", "x": 1}, "extra": true})";
}

std::string Repeated(const std::string& text, std::size_t times)
{
    std::string all;
    for (std::size_t i = 0; i < times; ++i)
        all += text;
    return all;
}

class Recognizing : public ::testing::Test {
protected:
    std::shared_ptr<RecognitionOperation> Start(const std::string& request)
    {
        RecognitionServices services;
        services.http = service;
        services.clock = clock;
        services.network_kind = [] { return std::string("3g"); };
        services.diagnostics = diagnostics;
        return RecognitionOperation::Start(request, source, services);
    }

    json Run(const std::string& request)
    {
        auto operation = Start(request);
        last_text = operation->Get();
        return json::parse(last_text);
    }

    std::string last_text;  // the latest result document as written

    std::shared_ptr<SimulatedClock> clock = std::make_shared<SimulatedClock>();
    std::shared_ptr<FakeSignatureSource> source = std::make_shared<FakeSignatureSource>();
    std::shared_ptr<ScriptedService> service = std::make_shared<ScriptedService>();
    std::function<void(const std::string&)> diagnostics;
};

TEST_F(Recognizing, AnAnswerWithoutRetryEndsAfterOneRequest)
{
    service->Answer(R"({"match": {"title": "X"}, "unknown": [1, 2]})");
    const json result = Run(Request());
    ASSERT_EQ(service->Bodies().size(), 1u);
    EXPECT_EQ(result["tag"]["response"], json::parse(R"({"match": {"title": "X"}, "unknown": [1, 2]})"));
    const json& info = result["tag"]["info"];
    EXPECT_EQ(info["network"], "3g");
    EXPECT_EQ(info["rectype"], "network");
    EXPECT_EQ(info["unsubmitted"], false);
    EXPECT_EQ(info["tagid"], "T-1");
    for (const char* key : {"requestsize", "samplelength", "sigsize", "samplestartms", "requesttime", "responsetime",
                            "latency", "responsesize", "recordtime"})
        EXPECT_TRUE(info.contains(key) && info[key].is_number()) << key;
    EXPECT_FALSE(info.contains("code"));
    // Written in this order (the order of the document's members means
    // nothing to its readers, but shows when each was taken).
    std::vector<std::string> keys;
    const auto written = nlohmann::ordered_json::parse(last_text);
    for (const auto& item : written["tag"]["info"].items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"network", "rectype", "unsubmitted", "tagid", "requestsize",
                                              "samplelength", "sigsize", "samplestartms", "requesttime", "responsetime",
                                              "latency", "responsesize", "recordtime"}));
    // Two seconds of pre-roll: the minimum of 3000 ms is passed by the
    // first packet after one more second.
    EXPECT_EQ(info["samplelength"], 3020);

    // The body: the template with the signature and the sample length.
    const json body = json::parse(service->Bodies()[0]);
    EXPECT_EQ(body["ms"], 3020.0);
    EXPECT_NE(service->Bodies()[0].find("\"ms\":3020.0000"), std::string::npos) << service->Bodies()[0];
    EXPECT_GT(body["sig"].get<std::string>().size(), 100u);
    EXPECT_EQ(info["requestsize"], service->Bodies()[0].size());
    EXPECT_FALSE(source->Active());
}

TEST_F(Recognizing, RetryAsksForALongerSample)
{
    service->Answer(R"({"retryms": 6500.9})");
    service->Answer(R"({"match": 1})");
    const json result = Run(Request());
    const auto bodies = service->Bodies();
    ASSERT_EQ(bodies.size(), 2u);
    // 6500.9 is 6500 whole milliseconds: the first packet after it.
    EXPECT_EQ(json::parse(bodies[1])["ms"], 6520.0);
    EXPECT_EQ(result["tag"]["response"]["match"], 1);
}

TEST_F(Recognizing, TenRetriesEndWithTheTenth)
{
    for (int i = 1; i <= 10; ++i)
        service->Answer(R"({"retryms": )" + std::to_string(3000 + 200 * i) + R"(, "n": )" + std::to_string(i) + "}");
    const json result = Run(Request());
    EXPECT_EQ(service->Bodies().size(), 10u);
    EXPECT_EQ(result["tag"]["response"]["n"], 10);
    EXPECT_EQ(result["tag"]["response"]["retryms"], 5000);
}

// After a failed attempt the result is unsubmitted whatever comes later.
TEST_F(Recognizing, AFailureMakesTheResultUnsubmitted)
{
    service->Fail();
    service->Answer(R"({"match": 1})");
    const json result = Run(Request(3000, 12000));
    const auto bodies = service->Bodies();
    ASSERT_EQ(bodies.size(), 3u);
    ASSERT_TRUE(result.contains("pendingTag")) << result.dump();
    const json& pending = result["pendingTag"];
    ASSERT_TRUE(pending["request"]["data"].is_string());
    EXPECT_EQ(pending["request"]["data"], bodies.back());  // the request text of the last attempt
    EXPECT_EQ(pending["request"]["href"], "http://127.0.0.1:9/id");
    EXPECT_EQ(pending["info"]["unsubmitted"], true);
    // The last attempt answered: its response keys are there.
    EXPECT_TRUE(pending["info"].contains("latency"));
}

// The schedule after a failure. Each attempt waits until the sample has
// doubled, a second at least, and the last the limit leaves waits for the
// maximum: the request kept holds the longest signature there can be. It
// used to be one attempt per 20 ms packet from half the maximum on, until
// the ten were spent, and the request kept held 6.2 s of the 12 allowed.
TEST_F(Recognizing, AfterAFailureTheAttemptsKeepTheirSpacing)
{
    const struct {
        const char* name;
        double preroll_ms, min_ms, max_ms;
        int retries_first;  // answers with "retryms" (200 ms later each) before the failures
        std::vector<double> samples;
    } cases[] = {
        {"a failing service", 2000, 3000, 12000, 0, {3020, 6060, 12020}},
        {"a long maximum", 2000, 3000, 60000, 0, {3020, 6060, 12140, 24300, 48620, 60020}},
        {"short samples grow by a second", 0, 0, 3000, 0, {20, 1040, 2100, 3020}},
        {"the last attempt the limit leaves",
         2000,
         3000,
         12000,
         8,
         {3020, 3220, 3420, 3620, 3820, 4020, 4220, 4420, 4620, 12020}},
        {"the maximum from the start", 2000, 3000, 3000, 0, {3020}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        source = std::make_shared<FakeSignatureSource>(c.preroll_ms);
        service = std::make_shared<ScriptedService>();
        for (int i = 1; i <= c.retries_first; ++i)
            service->Answer(R"({"retryms": )" + std::to_string(3000 + 200 * i) + "}");
        service->fallback = {HttpResult::Outcome::Failed, 0, {}, "refused"};
        const json result = Run(Request(c.min_ms, c.max_ms));
        std::vector<double> samples;
        for (const std::string& body : service->Bodies())
            samples.push_back(json::parse(body)["ms"].get<double>());
        EXPECT_EQ(samples, c.samples);
        ASSERT_TRUE(result.contains("pendingTag"));
        EXPECT_EQ(result["pendingTag"]["info"]["samplelength"], c.samples.back());
    }
}

TEST_F(Recognizing, AFailureAtTheMaximumEndsAtOnce)
{
    service->fallback = {HttpResult::Outcome::Failed, 0, {}, "refused"};
    const json result = Run(Request(3000, 3000));
    EXPECT_EQ(service->Bodies().size(), 1u);
    ASSERT_TRUE(result.contains("pendingTag"));
    EXPECT_FALSE(result["pendingTag"]["info"].contains("latency"));  // no answer ever came
    EXPECT_TRUE(result["pendingTag"]["info"].contains("requesttime"));
}

TEST_F(Recognizing, AnswersThatAreNotObjectsAreFailures)
{
    for (const std::string& answer :
         {std::string("<html>busy</html>"), std::string(""), std::string("[1, 2]"),
          std::string(R"({"match": 1e99999})"),                                  // a number no double holds
          "{\"a\": " + std::string(70000, '[') + std::string(70000, ']') + "}",  // used to crash the client
          R"({"matches": [)" + Repeated("0,", 20000) + "0]}"}) {
        SCOPED_TRACE(answer.substr(0, 40));
        service = std::make_shared<ScriptedService>();
        service->Answer(answer);
        const json result = Run(Request(3000, 3000));
        EXPECT_TRUE(result.contains("pendingTag"));
        EXPECT_TRUE(result["pendingTag"]["info"].contains("responsesize"));  // a response text came
    }
}

// A service that says it failed has not answered: any 5xx is a failed
// attempt, whatever its body. It used to be taken as the answer, so that a
// catalogue outage gave {"tag": {"response": {"error": ...}}}, a result
// the application takes as submitted. Other statuses are not examined.
TEST_F(Recognizing, A5xxAnswerIsAFailedAttempt)
{
    const struct {
        long status;
        bool failed;
    } cases[] = {{500, true},  {503, true},  {599, true},  {200, false},
                 {400, false}, {404, false}, {499, false}, {600, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        service = std::make_shared<ScriptedService>();
        service->fallback = {
            HttpResult::Outcome::Answered, c.status, R"({"error": "the catalogue is unavailable"})", {}};
        const json result = Run(Request(3000, 12000));
        if (c.failed) {
            ASSERT_TRUE(result.contains("pendingTag")) << result.dump();
            EXPECT_EQ(result["pendingTag"]["info"]["unsubmitted"], true);
            EXPECT_TRUE(result["pendingTag"]["info"].contains("latency"));
            EXPECT_EQ(service->Bodies().size(), 3u);
        } else {
            ASSERT_TRUE(result.contains("tag")) << result.dump();
            EXPECT_EQ(result["tag"]["response"]["error"], "the catalogue is unavailable");
            EXPECT_EQ(service->Bodies().size(), 1u);
        }
    }
}

TEST_F(Recognizing, ANotANumberRetryFailsAndEndsTheRecognition)
{
    service->Answer(R"({"retryms": "soon"})");
    auto operation = Start(Request());
    try {
        operation->Get();
        FAIL();
    } catch (const RecognitionError& e) {
        EXPECT_EQ(e.ErrorKind(), RecognitionError::Kind::Json);
    }
    EXPECT_EQ(operation->Status(), AsyncStatus::Error);
    EXPECT_FALSE(source->Active());
}

TEST_F(Recognizing, BadRequestsFailBeforeTheCaptureIsTouched)
{
    for (const std::string& request :
         {std::string("not json"), std::string("[1]"), std::string(R"({"tagid": "x", "data": {}})"),
          std::string(R"({"tag": {"maxsamplems": 1, "minsamplems": 1}, "data": {}})"),
          std::string(R"({"tag": {"maxsamplems": "1", "minsamplems": 1}, "tagid": "x", "data": {}})"),
          std::string(R"({"tag": {"maxsamplems": 1, "minsamplems": 1}, "tagid": 5, "data": {}})"),
          std::string(R"({"tag": {"maxsamplems": 1e99999, "minsamplems": 1}, "tagid": "x", "data": {}})"),
          // Nested past the reader's bound, in the template or beside it:
          // these crashed the recognition.
          R"({"tag": {"maxsamplems": 1, "minsamplems": 1}, "tagid": "x", "data": {"a": )" + std::string(70000, '[') +
              std::string(70000, ']') + "}}",
          R"({"tag": {"maxsamplems": 1, "minsamplems": 1, "x": )" + std::string(70000, '[') + std::string(70000, ']') +
              R"(}, "tagid": "x", "data": {}})"}) {
        SCOPED_TRACE(request.substr(0, 100));
        auto operation = Start(request);
        EXPECT_THROW(operation->Get(), RecognitionError);
        EXPECT_FALSE(source->Active());
    }
    EXPECT_TRUE(service->Bodies().empty());
    try {
        ReadRequestDescription(R"({"data": )" + std::string(100, '[') + std::string(100, ']') + "}");
        ADD_FAILURE() << "read";
    } catch (const RecognitionError& e) {
        EXPECT_STREQ(e.what(), "the request nests arrays and objects more than 64 deep");
    }
}

TEST_F(Recognizing, OutOfRangeNumbersSaturate)
{
    service->Answer(R"({"retryms": 1e300})");
    source->Hear(60000);
    auto operation = Start(Request(3000, 1e20));
    // The retry asks for more than any recording: cancel once it waits.
    ASSERT_TRUE(source->AwaitWait(2));
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(source->Schedules().at(0), std::make_pair(3000.0, kMax));
    EXPECT_EQ(source->Dues().at(1), kMax);
    operation->Cancel();
    EXPECT_EQ(operation->Status(), AsyncStatus::Canceled);
}

TEST_F(Recognizing, CancelWhileWaitingReportsAtOnce)
{
    source->Hear(2000);
    auto operation = Start(Request(60000, 60000));
    ASSERT_TRUE(source->AwaitWait(1));
    std::atomic<int> callbacks{0};
    operation->OnCompleted([&](AsyncStatus status) {
        EXPECT_EQ(status, AsyncStatus::Canceled);
        ++callbacks;
    });
    operation->Cancel();
    EXPECT_EQ(operation->Status(), AsyncStatus::Canceled);
    EXPECT_THROW(operation->Get(), RecognitionCanceled);
    EXPECT_EQ(callbacks.load(), 1);
    operation.reset();  // joins the body, which stopped at its wait
    EXPECT_FALSE(source->Active());
    EXPECT_TRUE(service->Bodies().empty());
}

// A recognition that replaced another runs undisturbed by it.
TEST_F(Recognizing, ANewRecognitionReplacesTheOld)
{
    source->Hear(2000);
    auto old = Start(Request(60000, 60000));
    ASSERT_TRUE(source->AwaitWait(1));
    old->Cancel();
    source->Hear(60000);
    auto current = Start(Request());
    EXPECT_NO_THROW(current->Get());
    old.reset();
    EXPECT_EQ(service->Bodies().size(), 1u);
}

// Each recognition starts with no request text: one whose only attempt
// fails before its body is built hands out none of the one before.
TEST_F(Recognizing, TheRequestTextIsNotCarriedOver)
{
    Run(Request());
    const json result = Run(Request(3000, 3000, "42"));  // "href" not a string
    ASSERT_TRUE(result.contains("pendingTag"));
    EXPECT_EQ(result["pendingTag"]["request"]["data"], "");
    EXPECT_EQ(service->Bodies().size(), 1u);
}

// A recording that ends while the service still asks for more: the attempt
// waiting then gets all there is, and its answer is the result.
TEST_F(Recognizing, TheEndOfARecordingEndsTheAttempts)
{
    service->Answer(R"({"retryms": 40000})");
    service->Answer(R"({"retryms": 50000, "best": "so far"})");
    source->Hear(3020);
    auto operation = Start(Request(3000, 60000));
    ASSERT_TRUE(source->AwaitWait(2));  // the second attempt waits
    source->Hear(4020);
    source->Finish();
    const json result = json::parse(operation->Get());
    ASSERT_EQ(service->Bodies().size(), 2u);
    EXPECT_EQ(json::parse(service->Bodies()[0])["ms"], 3020.0);
    EXPECT_EQ(result["tag"]["response"]["best"], "so far");
    EXPECT_EQ(result["tag"]["info"]["samplelength"], 4020);
}

// An empty signature is still sent, and the result says it was invalid.
TEST_F(Recognizing, AnEmptySignatureIsSentAndMarked)
{
    source->bytes = [](double) { return std::vector<std::uint8_t>{}; };
    service->Answer(R"({"matches": []})");
    const json result = Run(Request());
    ASSERT_EQ(service->Bodies().size(), 1u);
    EXPECT_EQ(json::parse(service->Bodies()[0])["sig"], "");
    EXPECT_EQ(result["tag"]["info"]["sigsize"], 0);
    EXPECT_EQ(result["tag"]["info"]["code"], "invalidsignature");
}

// Why an attempt failed goes to the diagnostics, labelled by what it was,
// one line per failed attempt.
TEST_F(Recognizing, FailuresAreToldWithTheirReasons)
{
    const std::string post = "attempt 1: POST http://127.0.0.1:9/id: ";
    const struct {
        const char* name;
        std::function<void(ScriptedService&)> script;
        std::string href;
        std::string said;  // the start of the one line
    } cases[] = {
        {"transport", [](ScriptedService& s) { s.Fail("Couldn't connect to server"); }, "\"http://127.0.0.1:9/id\"",
         post + "Couldn't connect to server"},
        {"not JSON", [](ScriptedService& s) { s.Answer("<html>busy</html>"); }, "\"http://127.0.0.1:9/id\"",
         post + "the answer (HTTP 200) is not JSON: "},
        {"not an object", [](ScriptedService& s) { s.Answer("[1, 2]"); }, "\"http://127.0.0.1:9/id\"",
         post + "the answer (HTTP 200) is not a JSON object"},
        {"too deep", [](ScriptedService& s) { s.Answer(std::string(70000, '[') + std::string(70000, ']')); },
         "\"http://127.0.0.1:9/id\"", post + "the answer (HTTP 200) nests arrays and objects more than 64 deep"},
        {"too many values", [](ScriptedService& s) { s.Answer("[" + Repeated("0,", 10000) + "0]"); },
         "\"http://127.0.0.1:9/id\"", post + "the answer (HTTP 200) holds more than 10000 values"},
        {"a failed service", [](ScriptedService& s) { s.Answer("<html>busy</html>", 503); },
         "\"http://127.0.0.1:9/id\"", post + "the service failed (HTTP 503)"},
        {"a failed service's reason, one line of it",
         [](ScriptedService& s) { s.Answer(R"({"error": "store\ndown: )" + std::string(300, 'x') + R"("})", 500); },
         "\"http://127.0.0.1:9/id\"",
         post + "the service failed (HTTP 500): store down: " + std::string(188, 'x') + "..."},
        {"bad href", [](ScriptedService&) {}, "42", "attempt 1: \"href\" is not a string: 42"},
        {"a transport that throws", [](ScriptedService& s) { s.throw_on_post = true; }, "\"http://127.0.0.1:9/id\"",
         post + "the transport failed: no sockets left"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service = std::make_shared<ScriptedService>();
        c.script(*service);
        std::vector<std::string> said;
        diagnostics = [&](const std::string& line) { said.push_back(line); };
        // At the maximum from the first signature: one attempt only.
        const json result = Run(Request(3000, 3000, c.href));
        EXPECT_TRUE(result.contains("pendingTag"));
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0].substr(0, c.said.size()), c.said) << said[0];
        EXPECT_EQ(said[0].find('\n'), std::string::npos);
    }
}

TEST_F(Recognizing, NothingIsSaidOfAnsweredAttempts)
{
    service->Answer(R"({"retryms": 6000})");
    service->Answer(R"({"matches": []})", 404);
    std::vector<std::string> said;
    diagnostics = [&](const std::string& line) { said.push_back(line); };
    Run(Request());
    EXPECT_EQ(service->Bodies().size(), 2u);
    EXPECT_TRUE(said.empty());
}

// The diagnostics change nothing of the result, not even when they throw:
// the document is the same byte for byte, and has exactly its members.
TEST_F(Recognizing, TheDiagnosticsLeaveTheResultAsItIs)
{
    source->bytes = [](double) { return std::vector<std::uint8_t>{'s', 'i', 'g', '!'}; };
    const auto run = [&](std::function<void(const std::string&)> sink) {
        service = std::make_shared<ScriptedService>();
        service->Fail();
        diagnostics = std::move(sink);
        return (Run(Request(3000, 3000)), last_text);
    };
    int lines = 0;
    const std::string quiet = run({});
    EXPECT_EQ(run([&](const std::string&) { ++lines; }), quiet);
    EXPECT_EQ(run([](const std::string&) { throw std::runtime_error("log full"); }), quiet);
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(quiet, R"({"pendingTag":{"request":{"data":"{\"sig\":\"c2lnIQ==\",\"ms\":3020.0000,\"x\":1}",)"
                     R"("href":"http://127.0.0.1:9/id"},"info":{"network":"3g","rectype":"network","unsubmitted":true,)"
                     R"("tagid":"T-1","requestsize":39,"samplelength":3020,"sigsize":4,"samplestartms":1699999996980,)"
                     R"("requesttime":0,"recordtime":0}}})");
}

// A failure that is not the request's is not reported as a JSON error.
TEST_F(Recognizing, OtherFailuresAreLabelledAsSuch)
{
    RecognitionServices services;
    services.http = service;
    services.clock = clock;
    services.network_kind = []() -> std::string { throw std::runtime_error("no network information"); };
    auto operation = RecognitionOperation::Start(Request(), source, services);
    try {
        operation->Get();
        FAIL();
    } catch (const RecognitionError& e) {
        EXPECT_EQ(e.ErrorKind(), RecognitionError::Kind::Internal);
        EXPECT_STREQ(e.what(), "no network information");
    }
}

TEST(Recognition, WithoutACaptureItFails)
{
    RecognitionServices services;
    services.http = std::make_shared<ScriptedService>();
    services.clock = std::make_shared<SimulatedClock>();
    auto operation = RecognitionOperation::Start(Request(), nullptr, services);
    try {
        operation->Get();
        FAIL();
    } catch (const RecognitionError& e) {
        EXPECT_EQ(e.ErrorKind(), RecognitionError::Kind::NoCapture);
    }
}

}  // namespace
}  // namespace VextuneCore::Client::test
