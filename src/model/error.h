// The one exception type of the core. Jobs and readers throw it for conditions
// that end a command; the CLI and the desktop app turn it into a message.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Error for a failed system call: the message followed by strerror(errno).
[[noreturn]] void throwSystemError(const std::string& what, int err);

} // namespace korvane
