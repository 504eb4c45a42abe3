// Extraction: writes objects of the image, each with everything below it,
// into a folder on disk.
#pragma once

#include "addfiles.h"
#include "model/timg.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvane {

struct ExtractOptions {
    // Act as root: give every object its owner and group, apply modes without
    // the umask, and create device nodes, FIFOs and sockets. By default, when
    // the process runs as root.
    bool privileged = runningAsRoot();
    // Masks the permission bits unless privileged. By default the process's.
    uint32_t umask = processUmask();
    // Threads that write regular files while the walk goes on; 0: one per
    // core, 1: everything on the calling thread.
    unsigned workers = 0;

    // Asked, on the job's thread, before something that exists in the target
    // (anything but a folder) is replaced; path is below the target folder.
    // "全覆盖" and "全否" answer the rest of the run. Without it, existing
    // entries are replaced.
    std::function<ClashAnswer(const std::string& path)> askReplace;

    static bool runningAsRoot();
    static uint32_t processUmask();
};

// An object that was not written, or not completely.
struct SkippedObject {
    std::string path; // below the target folder, names joined by "/"
    Message reason;

    // "PATH: REASON"
    Message line() const { return msg("%1: %2", path, reason); }
};

struct ExtractResult {
    std::vector<SkippedObject> skipped;
    uint64_t written = 0;  // objects written to disk
    uint64_t replaced = 0; // of them, written over something that existed
    uint64_t kept = 0;     // objects not written, to keep what existed (with what is below them)
    bool cancelled = false;
};

// Extracts the objects ids, each with its whole subtree, into folder, which is
// created with its parents when it does not exist. An id that names the root
// extracts the root's children. Runs on the calling thread, with workers that
// write regular files meanwhile (ExtractOptions::workers); reports through
// img.onwk with flag 2 ("Preparing..", then one progress event per object with
// its path as message, then "Done", sent also when the job fails) and stops
// before the next object once img.cancel is set.
//
// Folders, files, symbolic links and hard links are recreated with the
// objects' modes (masked by the umask unless privileged), times and, when
// privileged, owners; device nodes, FIFOs and sockets only when privileged. A
// hard link whose target is not extracted becomes a copy. Nothing is written
// outside folder: a name that is empty, "." or "..", or holds "/" or a NUL
// byte is never used, and symbolic links that exist in the target are not
// followed. An object that cannot be written is skipped and listed; the job
// goes on. Throws Error when folder cannot be created or opened. Raises the
// process's soft limit of open files to its hard limit, since every folder on
// the way down holds a descriptor.
ExtractResult outfiles(Timg& img, const std::vector<uint32_t>& ids, const std::string& folder,
                       const ExtractOptions& opt = {});

// Writes the contents of the regular file id as the new file name in the open
// folder dirfd, replacing any non-folder of that name without following it,
// and gives it the object's mode, times and (privileged) owner. Throws Error
// when the file cannot be created or written; nothing of it is left then.
// Returns an empty message or a note about attributes that could not be set.
Message outonefile(Timg& img, uint32_t id, int dirfd, const std::string& name,
                   const ExtractOptions& opt = {});

} // namespace korvane
