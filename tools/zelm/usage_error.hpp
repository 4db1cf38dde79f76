// The error of a command whose arguments turn out wrong only once it looks
// at them.
#pragma once

#include <stdexcept>

namespace zelm::tool {

// A command's arguments that turn out wrong only once the command looks at
// them, such as a description that names no listed device: bad usage, like a
// malformed argument, not a failed operation.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zelm::tool
