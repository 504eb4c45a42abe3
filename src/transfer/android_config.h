// The Android build's own metadata of a filesystem image: fs_config (every
// object's owner, mode and file capabilities, one line a path: "system/bin/sh
// 0 2000 0755 capabilities=0x0") and file_contexts (SELinux labels by regular
// expression: "/system/bin/sh u:object_r:shell_exec:s0"). Korvane writes both
// from an image and applies both while building one, so that a tree unpacked
// as an ordinary user, who cannot keep owners or labels on disk, packs back
// exactly as e2fsdroid and mkfs.erofs do it.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane {

// The 64-bit permitted set of a security.capability value (revision 1 or 2),
// nullopt when the value is no capability set.
std::optional<uint64_t> capabilityMask(const std::string& value);
// The security.capability value for a permitted set: revision 2, effective,
// nothing inheritable (as the Android build writes it).
std::string capabilityValue(uint64_t permitted);

// The path of node as fs_config names it: no leading "/", below the mount
// point ("system/bin/sh" for /bin/sh of an image mounted at /system; the root
// is "system", or "" at "/").
std::string fsConfigPath(const Node* node, const std::string& mountPoint);

// Writes one fs_config line per object of img, in tree order. Throws Error
// when the file cannot be written.
void writeFsConfig(Timg& img, const std::string& mountPoint, std::FILE* out);
// Writes one file_contexts line per object with a label: its absolute path
// below the mount point as an exact regular expression, and the label.
void writeFileContexts(Timg& img, const std::string& mountPoint, std::FILE* out);

class FsConfig {
public:
    struct Entry {
        uint32_t uid = 0;
        uint32_t gid = 0;
        uint32_t mode = 0; // permission bits, set-id and sticky bits included
        uint64_t capabilities = 0;
    };
    // Reads an fs_config file; a path given twice takes its last line.
    // Throws Error naming the line that cannot be read.
    static FsConfig load(const std::string& path);
    static FsConfig parse(const std::string& text, const std::string& where);
    const Entry* find(const std::string& path) const;
    size_t size() const { return entries_.size(); }

private:
    std::unordered_map<std::string, Entry> entries_;
};

class FileContexts {
public:
    // Reads a file_contexts file: "REGEX [TYPE] LABEL" lines, "#" comments,
    // TYPE one of -- -d -l -c -b -p -s (or none for any), LABEL "<<none>>"
    // for "leave unlabelled". Throws Error naming a line that cannot be read.
    static FileContexts load(const std::string& path);
    static FileContexts parse(const std::string& text, const std::string& where);
    FileContexts(FileContexts&&) noexcept;
    FileContexts& operator=(FileContexts&&) noexcept;
    ~FileContexts();

    // The label of the object at absolute path with mode's type bits: the
    // last line whose expression matches the whole path and whose type fits;
    // nullopt when none does or it says "<<none>>".
    std::optional<std::string> find(const std::string& path, uint32_t mode) const;
    size_t size() const;

private:
    FileContexts();
    struct Rules;
    std::unique_ptr<Rules> rules_;
};

struct AndroidConfigResult {
    size_t owned = 0;    // objects given owner and mode by fs_config
    size_t labelled = 0; // objects given a label by file_contexts
    size_t unlisted = 0; // objects fs_config has no line for (they keep their own)
    std::string firstUnlisted;
};

// Gives every object of img the owner, mode and capabilities fs_config names
// for its path, and the label file_contexts gives it (either may be null).
AndroidConfigResult applyAndroidConfig(Timg& img, const FsConfig* fsConfig,
                                       const FileContexts* contexts, const std::string& mountPoint);

} // namespace korvane
