// The network kind recorded with a result; see NetworkKind.h.
#include "vextune/client/NetworkKind.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace VextuneCore::Client {

namespace {

struct DefaultRoute {
    std::string interface;
    unsigned long metric = 0;
};

// The interface of the default route that is up, the lowest metric first
// and the first listed among equals; empty when there is none.
std::string DefaultRouteInterface(std::istream& routes)
{
    std::string line;
    std::getline(routes, line);  // the column titles
    bool found = false;
    DefaultRoute best;
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) {
            continue;
        }
        unsigned long flag_bits = 0;
        unsigned long metric_value = 0;
        const auto parse = [](const std::string& text, unsigned long& value, int base) {
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
            return error == std::errc{} && end == text.data() + text.size();
        };
        constexpr unsigned long kRouteUp = 0x1;
        if (destination != "00000000" || mask != "00000000" || !parse(flags, flag_bits, 16) ||
            (flag_bits & kRouteUp) == 0 || !parse(metric, metric_value, 10)) {
            continue;
        }
        if (!found || metric_value < best.metric) {
            best = {iface, metric_value};
            found = true;
        }
    }
    return best.interface;
}

}  // namespace

std::string NetworkKind(const std::string& root)
{
    std::ifstream routes(root + "/proc/net/route");
    if (!routes) {
        return "3g";
    }
    const std::string iface = DefaultRouteInterface(routes);
    // An interface name is one path component; anything else cannot be
    // looked up safely.
    if (iface.empty() || iface == "." || iface == ".." || iface.find('/') != std::string::npos) {
        return "3g";
    }
    std::error_code error;
    const bool wireless = std::filesystem::is_directory(root + "/sys/class/net/" + iface + "/wireless", error);
    return wireless && !error ? "wifi" : "3g";
}

}  // namespace VextuneCore::Client
