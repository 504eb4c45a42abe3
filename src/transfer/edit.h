// The edit commands: new directory, delete, rename, and permission, UID and
// GID changes. They change the tree in memory only, on the calling thread,
// and mark the image modified when they change anything.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

enum class EditStatus {
    kDone,      // the tree changed
    kUnchanged, // nothing to do (empty input, same name)
    kExists,    // the name is taken: show kTextExists
    kInvalid,   // the input is not valid: show kTextInvalid
};

// The messages (caption "提示") for kExists and kInvalid.
inline constexpr const char* kTextExists = "目录或文件已存在!      ";
inline constexpr const char* kTextInvalid = "输入有误！     ";

// The longest name a folder entry can hold, in bytes.
constexpr size_t kMaxNameBytes = 255;

// text without leading and trailing blanks and control characters.
std::string_view trimmed(std::string_view text);

// The permission bits of a permission code as the edit commands accept it: at
// most 4 characters after trimming and a non-zero parsemode value. nullopt
// when it is not valid (so 0, 0000, 888 and 12345 are refused).
std::optional<uint32_t> permissioncode(std::string_view text);

// The largest UID or GID: 2^32 - 2 (2^32 - 1 is the kernel's "no id").
constexpr uint32_t kMaxId = 0xFFFFFFFEu;

// A UID or GID: a decimal number from 0 to kMaxId (blanks around it and a
// leading "+" allowed). Anything else, a negative number too, is refused.
std::optional<uint32_t> idvalue(std::string_view text);

struct NewDirResult {
    EditStatus status = EditStatus::kUnchanged;
    Node* node = nullptr; // the new folder when kDone
};

// Creates the folder name (as typed) in the directory dirId: mode 0755,
// owner 0, times now, a new object id. An empty name does nothing; a name
// that, trimmed, equals the trimmed name of an object in the directory gives
// kExists; a name that cannot stand in a folder (see safeFileName, and at most
// kMaxNameBytes) gives kInvalid. The tree is sorted afterwards. Throws Error
// when dirId is no directory of the tree or no object id is left.
NewDirResult newdir(Timg& img, uint32_t dirId, const std::string& name);

// Removes the objects ids with everything below them. Every removed node's
// slot in the node table is cleared, so no later lookup reaches it. A removed
// file that still has hard links elsewhere lives on in the first of them,
// which becomes the file (contents, attributes and id), as a file on disk
// lives on under its other names. Ids without a node and the root are passed
// over. Returns the number of nodes removed.
size_t deletenodes(Timg& img, const std::vector<uint32_t>& ids);

// Renames object id: an empty name or its own name does nothing; a name
// another object of its directory has gives kExists; the root, or a name that
// cannot stand in a folder, gives kInvalid. The tree is not re-sorted.
EditStatus renamenode(Timg& img, uint32_t id, const std::string& name);

// Sets the permission bits (the low 12 bits; file-type bits stay) of the
// objects ids, each with its whole subtree when withChildren. An empty text
// does nothing; an invalid code (permissioncode) gives kInvalid and changes
// nothing.
EditStatus changemode(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                      bool withChildren);

// Sets the UID, or the GID, of the objects ids, each with its whole subtree
// when withChildren. A text that is not a number (idvalue), also an empty one,
// gives kInvalid and changes nothing.
EditStatus changeuid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren);
EditStatus changegid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren);

} // namespace korvane
