// Extended attributes as people read them: an SELinux label as its text,
// file capabilities by their names (as getcap writes them), other values as
// text when they are printable, else as hex bytes.
#pragma once

#include "model/entry.h"

#include <optional>
#include <string>
#include <string_view>

namespace korvane::ui {

// "cap_net_admin,cap_net_raw=ep" for a security.capability value
// (vfs_cap_data, revisions 1 to 3; revision 3 adds " [rootid=N]"); nullopt
// when the value is not one.
std::optional<std::string> capabilityText(std::string_view value);

// The value of x for reading: see above. Trailing NUL bytes of text values
// are not shown.
std::string attributeText(const Xattr& x);

} // namespace korvane::ui
