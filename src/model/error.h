// The one exception type of the core. Jobs and readers throw it for conditions
// that end a command; the CLI and the desktop app turn its message into text
// in the user's language (what() is the English).
#pragma once

#include "message.h"

#include <stdexcept>
#include <string>

namespace korvane {

class Error : public std::runtime_error {
public:
    explicit Error(Message m) : std::runtime_error(m.english()), message_(std::move(m)) {}
    // A message without places.
    explicit Error(const std::string& text) : Error(Message{text, {}}) {}
    explicit Error(const char* text) : Error(Message{text, {}}) {}

    const Message& message() const { return message_; }

private:
    Message message_;
};

// Error for a failed system call: the message, ": ", then strerror(err).
[[noreturn]] void throwSystemError(const std::string& what, int err);
[[noreturn]] void throwSystemError(Message what, int err);

} // namespace korvane
