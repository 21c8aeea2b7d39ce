// Load on a running recognition service: CLIENTS threads post signatures
// to /recognize back to back, each on a connection of its own, for
// SECONDS, and the run prints the requests a second and the latency
// percentiles, with how the answers went.
//
//   recognize_load URL SECONDS CLIENTS SIGNATURE...
//   e.g. recognize_load http://127.0.0.1:8080/recognize 20 4 queries/*.sig
//
// Signatures are files as `vextune signature --type 2` writes them; each is
// posted with "samplems" 10000, as a client would after ten seconds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "vextune/protocol/Base64.h"

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: recognize_load URL SECONDS CLIENTS SIGNATURE...\n");
        return 2;
    }
    const std::string url = argv[1];
    const double seconds = std::atof(argv[2]);
    const int clients = std::max(1, std::atoi(argv[3]));
    const auto scheme_end = url.find("://");
    const auto path_start = url.find('/', scheme_end + 3);
    const std::string host_port = url.substr(scheme_end + 3, path_start - scheme_end - 3);
    const std::string path = url.substr(path_start);
    const std::string host = host_port.substr(0, host_port.rfind(':'));
    const int port = std::atoi(host_port.substr(host_port.rfind(':') + 1).c_str());

    std::vector<std::string> bodies;
    for (int i = 4; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        bodies.push_back(R"({"signature":")" + vxt::protocol::EncodeBase64(bytes) + R"(","samplems":10000})");
    }

    std::mutex lock;
    std::vector<double> latencies;
    std::atomic<long> matches = 0, retries = 0, none = 0, failed = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::jthread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client(host, port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);
            std::vector<double> mine;
            for (std::size_t i = static_cast<std::size_t>(c); std::chrono::steady_clock::now() < end; i += clients) {
                const auto t0 = std::chrono::steady_clock::now();
                const auto result = client.Post(path, bodies[i % bodies.size()], "application/json");
                const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
                if (!result || result->status != 200) {
                    ++failed;
                    continue;
                }
                mine.push_back(took.count());
                if (result->body.find("\"retryms\"") != std::string::npos)
                    ++retries;
                else if (result->body.find("\"id\"") != std::string::npos)
                    ++matches;
                else
                    ++none;
            }
            std::lock_guard guard(lock);
            latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
    }
    threads.clear();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies.empty() ? 0.0
                                 : latencies[static_cast<std::size_t>(q * static_cast<double>(latencies.size() - 1))];
    };
    std::printf("%d clients, %zu signatures, %.1f s: %zu requests, %.0f a second; latency p50 %.2f ms, p99 %.2f ms, "
                "max %.2f ms; answers: %ld match, %ld retry, %ld none, %ld failed\n",
                clients, bodies.size(), took.count(), latencies.size(),
                static_cast<double>(latencies.size()) / took.count(), at(0.5), at(0.99), at(1.0), matches.load(),
                retries.load(), none.load(), failed.load());
    return failed > 0 ? 1 : 0;
}
