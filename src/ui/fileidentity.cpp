#include "fileidentity.h"

#include <QFile>
#include <sys/stat.h>

namespace korvane::ui {

std::optional<FileIdentity> fileIdentity(const QString& path) {
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

} // namespace korvane::ui
