// Text that does not follow the request or answer format.
#pragma once

#include <stdexcept>

namespace vxt::protocol {

// what() says what is wrong, in words fit for the sender (the service
// answers a request with it as it stands).
class Error : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace vxt::protocol
