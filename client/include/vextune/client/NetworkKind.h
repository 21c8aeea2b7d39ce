// The network kind recorded with each recognition's result.
#pragma once

#include <string>

namespace VextuneCore::Client {

// "wifi" when the interface of the default route is a wireless one, "3g"
// otherwise and whenever that cannot be told. Reads root + "/proc/net/route"
// (the default route that is up; of several, the lowest metric, the first
// listed among equals) and whether root + "/sys/class/net/IFACE/wireless"
// is a directory.
std::string NetworkKind(const std::string& root = "");

}  // namespace VextuneCore::Client
