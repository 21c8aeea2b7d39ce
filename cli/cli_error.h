// The one error of the vextune commands.
#pragma once

#include <stdexcept>

namespace vxt::cli {

// A failure worth one line on standard error; the command exits with 1.
class cli_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vxt::cli
