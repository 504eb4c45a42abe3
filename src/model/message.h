// Messages of the core: an English template with numbered places ("%1" to
// "%9") and the arguments that fill them. The template is the message's
// identity: the CLI and the desktop app look it up in their catalogues to
// show it in the user's language, and fall back to the English.
#pragma once

#include <concepts>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

struct Message {
    std::string text; // the English template
    std::vector<std::string> args;

    // The template with its places filled, the way English readers see it.
    std::string english() const;

    friend bool operator==(const Message&, const Message&) = default;
};

// Fills "%1".."%9" in templ with args; "%%" is a percent sign. A place
// without an argument stays as it is.
std::string fillPlaces(std::string_view templ, const std::vector<std::string>& args);

namespace detail {
inline std::string argText(std::string s) {
    return s;
}
inline std::string argText(std::string_view s) {
    return std::string(s);
}
inline std::string argText(const char* s) {
    return s;
}
template <std::integral T>
std::string argText(T v) {
    return std::to_string(v);
}
} // namespace detail

// msg("cannot read %1: %2", path, reason)
template <typename... Args>
Message msg(std::string templ, Args&&... args) {
    return Message{std::move(templ), {detail::argText(std::forward<Args>(args))...}};
}

} // namespace korvane
