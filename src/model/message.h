// Messages of the core: an English template with numbered places ("%1" to
// "%9") and the arguments that fill them. The template is the message's
// identity: the CLI and the desktop app look it up in their catalogues to
// show it in the user's language, and fall back to the English. The core
// never builds finished sentences: a reason inside a context ("cannot read
// %1: %2") is an argument that is itself a message, so it is translated too.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvane {

struct Message {
    std::string text;              // the English template
    std::vector<std::string> args; // every argument as English readers see it
    // Arguments that are messages themselves: where nested[i] has a text,
    // argument i is that message, shown in the reader's language (args[i]
    // holds its English). Shorter than args when the last ones are plain.
    std::vector<Message> nested;

    // The template with its places filled, the way English readers see it.
    std::string english() const;
    // No message (a work event without a text, an object without a note).
    bool empty() const { return text.empty(); }

    friend bool operator==(const Message&, const Message&) = default;
};

// Fills "%1".."%9" in templ with args; "%%" is a percent sign. A place
// without an argument stays as it is.
std::string fillPlaces(std::string_view templ, const std::vector<std::string>& args);

namespace detail {
inline void addArg(Message& m, std::string s) {
    m.args.push_back(std::move(s));
}
inline void addArg(Message& m, std::string_view s) {
    m.args.emplace_back(s);
}
inline void addArg(Message& m, const char* s) {
    m.args.emplace_back(s);
}
// (No concepts here: Qt's moc reads this header through model/work.h.)
template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
void addArg(Message& m, T v) {
    m.args.push_back(std::to_string(v));
}
void addArg(Message& m, const Message& inner);
} // namespace detail

// msg("cannot read %1: %2", path, reason); an argument may be a Message.
template <typename... Args>
Message msg(std::string templ, Args&&... args) {
    Message m{std::move(templ), {}, {}};
    m.args.reserve(sizeof...(Args));
    (detail::addArg(m, std::forward<Args>(args)), ...);
    return m;
}

// The system's English text for errno err (strerror in the C locale), and
// the same as a message, which the catalogues' table of system errors
// translates.
std::string systemErrorText(int err);
Message systemMessage(int err);

// "WHAT: REASON", both parts translated on their own.
Message withReason(Message what, Message reason);

// A text shown as it stands, never translated: an object's name or path as
// the message of a work event.
inline Message verbatim(std::string text) {
    return msg("%1", std::move(text));
}

} // namespace korvane
