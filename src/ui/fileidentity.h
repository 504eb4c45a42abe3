// Which file a path names, by device and inode, so that saving over the image
// that is open is recognised whatever the spelling of the target (relative,
// through a symbolic link, another hard link to it).
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace korvane::ui {

struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file at path, following symbolic links; nullopt when
// nothing is there.
std::optional<FileIdentity> fileIdentity(const QString& path);

} // namespace korvane::ui
