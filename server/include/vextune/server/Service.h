// The recognition service over HTTP.
//
//   POST /recognize   {"signature": base64, "samplems": N}  -> the answer object
//   GET  /health      {"status":"ok","tracks":N}, from memory: N is the last count read
//   GET  /ready       {"status":"ok","tracks":N,"postings":M}, read from the catalogue; 503 when it cannot be
//   GET  /metrics     the service's counters in the Prometheus text format
//
// Bad requests (not JSON, no signature, bad base64, a signature that fails
// its checks, a malformed head) get a 400 and {"error": "..."}; a body over
// the limit, or a request that would cost more than any real recording, a
// 413; a catalogue that cannot be read a 503 {"error":"the catalogue cannot
// be read"}, and anything else that fails a 500, both with the cause said
// to the diagnostics only; the service goes on serving. It only reads the
// store: nothing sent over HTTP changes the catalogue.
//
// Connections are read and written on io_threads threads and cost no
// worker while they wait for bytes; the matching (and every call into the
// store) runs on `threads` workers. A request's head and body must arrive
// within request_timeout of its first byte, a kept-alive connection may
// wait idle_timeout for its next request, and an answer must be taken
// within write_timeout; a connection past its time is closed. Requests
// pipelined on one connection are answered in order. Beyond
// max_connections open connections, or max_connections_per_address from
// one client address, a new connection gets a 503 {"error": "..."} written
// at once and is closed without being read.
#pragma once

#include <chrono>
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
    int threads = 4;                 // requests matched at once
    int io_threads = 1;              // threads reading and writing the connections (1 or 2 are plenty)
    std::size_t max_body_bytes = 1 << 20;
    std::size_t max_header_bytes = 16 * 1024;  // a request's line and header fields
    // A request's head and body, in all, from its first byte (a new
    // connection's first request: from its accept).
    std::chrono::milliseconds request_timeout{5000};
    // A kept-alive connection waiting for the first byte of its next request.
    std::chrono::milliseconds idle_timeout{15000};
    // An answer's writing, for a client that does not read it.
    std::chrono::milliseconds write_timeout{10000};
    int max_connections = 1024;            // open at once, in all; 0: no cap
    int max_connections_per_address = 64;  // open at once from one client address; 0: no cap
    // One JSON object a line, one line per request (time, address, method,
    // path, status, ms, and for recognitions samplems, outcome and score;
    // error or cause where the answer is one), without its newline, from
    // the I/O threads; none when empty.
    std::function<void(const std::string&)> access_log;
    // One line per answer of 500 or more, with its cause, which the answer
    // itself does not carry ("POST /recognize 503: the disk has gone"), and
    // what the front itself meets (a full descriptor table); from any of
    // the service's threads; nothing is said when empty.
    std::function<void(const std::string&)> diagnostics;
};

class Service {
public:
    Service(const matcher::Store& store, RecognizerOptions recognizer, ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds the address and reads the catalogue's totals once (the count
    // /health gives until a later read); returns the port. Throws
    // std::runtime_error when it cannot listen.
    int Bind();
    // Serves until Stop (from another thread or a signal watcher); binds
    // first if Bind was not called.
    void Run();
    // Stops accepting, closes the connections that wait for or are reading
    // a request, and lets those whose request is being answered have their
    // answer (within a second to write it); Run returns when they are done.
    // Safe from any thread, before or during Run, and more than once.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vxt::server
