// The service's answer; see Answer.h.
#include "vextune/protocol/Answer.h"

#include <cmath>
#include <limits>

namespace vxt::protocol {

std::int32_t WholeMs(double value)
{
    if (std::isnan(value))
        return 0;
    const double t = std::trunc(value);
    if (t >= 2147483647.0)
        return std::numeric_limits<std::int32_t>::max();
    if (t <= -2147483648.0)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(t);
}

std::optional<std::int32_t> ReadRetryMs(const nlohmann::ordered_json& answer)
{
    const auto retry = answer.find(retry_ms_member);
    if (retry == answer.end())
        return std::nullopt;
    if (!retry->is_number())
        throw Error("the service's \"retryms\" is not a number");
    return WholeMs(retry->get<double>());
}

}  // namespace vxt::protocol
