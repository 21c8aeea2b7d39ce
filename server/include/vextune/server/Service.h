// The recognition service over HTTP.
//
//   POST /recognize   {"signature": base64, "samplems": N}  -> the answer object
//   GET  /health      {"status":"ok","tracks":N}
//
// Bad requests (not JSON, no signature, bad base64, a signature that fails
// its checks) get a 400 and {"error": "..."}; a body over the limit gets a
// 413; a catalogue that cannot be read a 503, and anything else that fails
// a 500, both with {"error": "..."} too; the service goes on serving. It
// only reads the store: nothing sent over HTTP changes the catalogue.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "vextune/matcher/Store.h"
#include "vextune/server/Recognizer.h"

namespace vxt::server {

struct ServiceOptions {
    std::string host = "127.0.0.1";  // loopback unless told otherwise
    int port = 8080;                 // 0: any free port
    int threads = 4;
    std::size_t max_body_bytes = 1 << 20;
    // One line per request ("POST /recognize 200 0.41ms samplems=3000
    // answer=retry"), from the serving threads; none when empty.
    std::function<void(const std::string&)> access_log;
    // One line per answer of 500 or more, with its cause, which the answer
    // itself does not always carry ("POST /recognize 500: std::bad_alloc"),
    // from the serving threads; nothing is said when empty.
    std::function<void(const std::string&)> diagnostics;
};

class Service {
public:
    Service(const matcher::Store& store, RecognizerOptions recognizer, ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds the address; returns the port. Throws std::runtime_error when
    // it cannot.
    int Bind();
    // Serves until Stop (from another thread or a signal watcher).
    void Run();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vxt::server
