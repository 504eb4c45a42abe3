// The choices a writer takes, by name, as the user gave them: "--compress
// lz4hc,12" on the command line is {"compress", "lz4hc,12"}, a flag such as
// "--sparse" is {"sparse", ""}. Each format reads the names its registry row
// declares and checks the values itself.
#pragma once

#include "model/message.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace korvane {

using FormatOptions = std::map<std::string, std::string>;

inline bool hasOption(const FormatOptions& o, const std::string& name) {
    return o.count(name) != 0;
}

// The value of option name, nullopt when it was not given.
std::optional<std::string> optionText(const FormatOptions& o, const std::string& name);

// The value as a number in [min, max] (decimal, or with a K, M, G or T
// suffix when sizes is set); nullopt when not given. Throws Error naming the
// option when the value is no such number.
std::optional<uint64_t> optionNumber(const FormatOptions& o, const std::string& name, uint64_t min,
                                     uint64_t max, bool sizes = false);

// "64M" -> 67108864; nullopt for text that is no size.
std::optional<uint64_t> parseSize(const std::string& text);

} // namespace korvane
