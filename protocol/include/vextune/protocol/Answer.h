// The service's answer: a JSON object. A recognition answer holds "matches"
// (the tracks recognized, empty for none) or "retryms" (the recording time,
// in milliseconds, at which the service wants the next signature); a
// request the service cannot read gets {"error": "..."}. The client
// interprets "retryms" only and keeps everything else as it came.
#pragma once

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

#include "vextune/protocol/Error.h"

namespace vxt::protocol {

inline constexpr char matches_member[] = "matches";
inline constexpr char retry_ms_member[] = "retryms";
inline constexpr char error_member[] = "error";

// A number of milliseconds as a whole number: truncated toward zero and
// saturated to 32 bits; not a number gives 0.
std::int32_t WholeMs(double value);

// The "retryms" of an answer object as whole milliseconds; none when the
// answer has no such member. Throws Error when it is there but not a
// number.
std::optional<std::int32_t> ReadRetryMs(const nlohmann::ordered_json& answer);

}  // namespace vxt::protocol
