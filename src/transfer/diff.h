// Comparing two trees: two images of any formats, or an image and a folder
// on disk. Objects are matched by path; what only one side has is added or
// removed (a folder once, not everything below it), what both have is
// changed when its type, contents, mode, owner, time, link target, device
// number or extended attributes differ. Contents are compared only where the
// sizes match, in ranges, several files at a time.
#pragma once

#include "model/timg.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace korvane {

enum class DiffKind : uint8_t { kAdded, kRemoved, kChanged };

// What differs in a changed object.
enum DiffWhat : uint16_t {
    kDiffType = 1 << 0,
    kDiffContents = 1 << 1,
    kDiffMode = 1 << 2,
    kDiffOwner = 1 << 3,
    kDiffTime = 1 << 4,
    kDiffTarget = 1 << 5, // symbolic link target, or the file a hard link names
    kDiffDevice = 1 << 6,
    kDiffXattrs = 1 << 7,
};

struct DiffEntry {
    std::string path; // "/etc/hosts"
    DiffKind kind = DiffKind::kChanged;
    uint16_t what = 0; // for kChanged
    TImgEntry a;       // the object on side a (kChanged, kRemoved)
    TImgEntry b;       // the object on side b (kChanged, kAdded)
};

// "contents", "mode", ...: the names of the bits of what, in bit order.
std::vector<std::string> diffWhatNames(uint16_t what);

struct DiffOptions {
    bool contentOnly = false; // compare types and contents only
    bool ignoreTimes = false;
    int workers = 0; // content comparisons at once; 0: one per core
    const std::atomic<int>* cancel = nullptr;
};

// One side of a comparison: the tree below a folder of an image, or a folder
// on disk.
class DiffSide {
public:
    static DiffSide image(Timg& img, const Node* top = nullptr);
    static DiffSide folder(std::string path);

    DiffSide(DiffSide&&) noexcept;
    DiffSide& operator=(DiffSide&&) noexcept;
    ~DiffSide();

    class Impl;
    Impl& impl() const { return *impl_; }

private:
    explicit DiffSide(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

struct DiffSummary {
    size_t added = 0;
    size_t removed = 0;
    size_t changed = 0;
    size_t compared = 0; // objects both sides have
    bool cancelled = false;
    bool equal() const { return added == 0 && removed == 0 && changed == 0; }
};

// Compares a with b, calling report for every difference in path order
// (folders before what they hold). Throws Error when a folder on disk cannot
// be read or contents cannot be read.
DiffSummary diffTrees(const DiffSide& a, const DiffSide& b, const DiffOptions& opt,
                      const std::function<void(const DiffEntry&)>& report);

} // namespace korvane
