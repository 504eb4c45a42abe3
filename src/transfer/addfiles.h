// Adding files and folders from disk to a directory of the image.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvane {

// How file clashes are settled during one run.
enum ClashMode : uint8_t {
    kClashAsk = 0,
    kClashOverwriteAll = 1,
    kClashSkipAll = 2,
};

// The answers to the clash question: "覆盖", "全覆盖", "否", "全否".
enum class ClashAnswer { kOverwrite, kOverwriteAll, kSkip, kSkipAll };

// Asked when a file or symbolic link from disk (sourcePath) meets an object
// of the same name that is not a folder. Called on the job's thread; the job
// waits for the answer.
using ClashQuestion =
    std::function<ClashAnswer(const std::string& sourcePath, const Node& existing)>;

struct AddOptions {
    // Keep the mode bits, owner, group, times and extended attributes of what
    // is on disk, instead of mode 0777, owner 0, group 0 and the current time.
    bool keepAttributes = false;
    // Without keepAttributes: keep the mode bits of what is on disk (owner
    // and group 0 and the current time still), instead of 0777.
    bool keepModeBits = false;
    // Leave regular files' contents on disk until they are read, instead of
    // copying them into the working file: for a run whose image is written
    // at once (pack, edit). A file that changes in between fails the save.
    bool referToFiles = false;
    // The clash mode a run starts with.
    ClashMode clashmode = kClashAsk;
    // Answers the clash question while the mode is kClashAsk; without it a
    // clash is skipped.
    ClashQuestion ask;
    // Called with an object just before an added file takes its place (its
    // entry is replaced), so that an edit journal can keep the old entry.
    std::function<void(const Node& existing)> beforeReplace;
};

struct AddResult {
    // What could not be added, one line each, for the "添加文件 错误信息" dialog.
    std::vector<Message> errlist;
    uint64_t added = 0;       // nodes created
    uint64_t overwritten = 0; // existing entries replaced
    bool cancelled = false;
};

// Adds the files, folders (with everything in them), symbolic links, device
// nodes, FIFOs and sockets at paths to the directory dirId; a file with
// several names in the run becomes one file and hard links to it (the first
// name met is the file). Files of any size are taken (what a format cannot
// hold is refused when saving). A relative path is taken from the current
// folder. Runs on the calling thread; reports through img.onwk with flag 3
// ("Counting the files to add", progress by bytes with each source path as
// message, then "Done", sent also when the job fails) and stops before the next entry
// once img.cancel is set. Folders that exist in the image are merged into;
// files that clash with a non-folder are settled by the clash mode; the rest
// go to errlist. File contents are appended to the working file. The whole
// tree is sorted afterwards and the image marked modified when anything
// changed. Throws Error when dirId is no directory of the tree or no object
// id is left (what was added until then stays).
AddResult addfiles(Timg& img, const std::vector<std::string>& paths, uint32_t dirId,
                   const AddOptions& opt = {});

// Gives object id the mode bits, owner, group, times and extended attributes
// of what is at path on disk (not followed when it is a symbolic link), as
// adding with keepAttributes would. Throws Error when path cannot be read.
void copyattributes(Timg& img, uint32_t id, const std::string& path);

// Total size of the regular files at path: the file itself, or everything
// below a folder. Symbolic links are not followed; what cannot be read counts 0.
uint64_t countpass(const std::string& path);

// Appends size bytes of the open file fd to the image's working file and
// returns the offset where they begin. Throws Error when they cannot be read
// or written; nothing is appended then.
int64_t appendtowork(Timg& img, int fd, uint64_t size);

} // namespace korvane
