// The one exception type of the core. Jobs and readers throw it for conditions
// that end a command; the CLI and the desktop app turn its message into text
// in the user's language (what() is the English).
#pragma once

#include "message.h"

#include <stdexcept>

namespace korvane {

class Error : public std::runtime_error {
public:
    explicit Error(Message m) : std::runtime_error(m.english()), message_(std::move(m)) {}
    // A fixed text without places: a template of its own, so give a literal
    // (anything built at run time goes through msg()).
    explicit Error(const char* text) : Error(Message{text, {}, {}}) {}

    const Message& message() const { return message_; }

private:
    Message message_;
};

// Error for a failed system call: "WHAT: " and the system's reason for err.
[[noreturn]] void throwSystemError(const char* what, int err);
[[noreturn]] void throwSystemError(Message what, int err);

} // namespace korvane
