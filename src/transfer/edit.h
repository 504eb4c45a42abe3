// The edit commands: new directory, delete, rename, and permission, UID and
// GID changes, and the operations of scripted edits on paths (new folders,
// links, device nodes and FIFOs, moves, modes, owners, times, extended
// attributes). They change the tree in memory only, on the calling thread,
// and mark the image modified when they change anything.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

enum class EditStatus {
    kDone,      // the tree changed
    kUnchanged, // nothing to do (empty input, same name)
    kExists,    // the name is taken (the app says "目录或文件已存在!")
    kInvalid,   // the input is not valid (the app says "输入有误！")
};

// The longest name a folder entry can hold, in bytes.
constexpr size_t kMaxNameBytes = 255;

// text without leading and trailing blanks and control characters.
std::string_view trimmed(std::string_view text);

// The permission bits of a permission code as the edit commands accept it: 1
// to 4 octal digits after trimming (0 and 0000 included). nullopt when it is
// not valid (so 888, 7a5 and 12345 are refused).
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
// kMaxNameBytes) gives kInvalid. The folder is sorted afterwards. Throws Error
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

// Sets the permission bits of e (the low 12 bits of perm; the file-type bits
// stay) as chmod(2) does: a POSIX access ACL (system.posix_acl_access) gets
// the owner's bits in its owner entry, the group's in its mask entry (in its
// group entry when it has no mask) and the others' in its other entry, so
// that the ACL and the mode agree.
void setPermissions(TImgEntry& e, uint32_t perm);

// Sets the permission bits (setPermissions) of the objects ids, each with its
// whole subtree when withChildren; symbolic links met then are left alone,
// as chmod -R leaves them. An empty text does nothing; an invalid code
// (permissioncode) gives kInvalid and changes nothing. The change of a hard
// link reaches the file it stands for, as the UID and GID changes do.
EditStatus changemode(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                      bool withChildren);

// Sets the UID, or the GID, of the objects ids, each with its whole subtree
// when withChildren. A text that is not a number (idvalue), also an empty one,
// gives kInvalid and changes nothing.
EditStatus changeuid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren);
EditStatus changegid(Timg& img, const std::vector<uint32_t>& ids, std::string_view text,
                     bool withChildren);

// ---- Operations on paths, for scripted edits --------------------------------
//
// A path names an object below the root: "/etc/hosts" and "etc/hosts" are the
// same; empty and "." components are passed over and ".." takes the previous
// one off. Symbolic links on the way are never followed. Each operation
// throws Error with a message that names the path when it cannot be done,
// and then leaves the tree as it was. Attribute changes made through a hard
// link change the file it stands for, as on disk.

// A moment: seconds since 1970-01-01 UTC (negative before) and nanoseconds.
struct Timestamp {
    int64_t sec = 0;
    uint32_t nsec = 0;

    friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// What a new object gets: permission bits (07777 at most), owner, and the
// time given to its atime, ctime and mtime.
struct NewObject {
    uint32_t perm = 0755;
    uint32_t uid = 0;
    uint32_t gid = 0;
    Timestamp time;
};

// A new object's attributes: perm, owner 0 and the current time.
NewObject newObjectNow(uint32_t perm);

// The components of path (see above). Throws Error when ".." would leave the
// root.
std::vector<std::string> splitImagePath(std::string_view path);

// The operations of one run on paths (a script, a device table). A folder
// looked into gets an index of its names on first use, and the folders
// objects were added to are put in order once, at finish() or when the run
// ends, so that a run that adds n objects to one folder costs O(n log n)
// where sorting after each would cost O(n^2 log n). Every other effect is
// immediate. A change of the tree by other means during the run (adding
// files) needs forget() before it. The free functions below are runs of one
// operation.
class PathEdits {
public:
    explicit PathEdits(Timg& img);
    PathEdits(const PathEdits&) = delete;
    PathEdits& operator=(const PathEdits&) = delete;
    ~PathEdits(); // finish()

    Timg& img() const { return img_; }
    Node* lookup(std::string_view path);
    Node* require(std::string_view path);
    Node* makedir(std::string_view path, const NewObject& attrs, bool parents);
    Node* makefile(std::string_view path, const NewObject& attrs);
    Node* makesymlink(std::string_view path, const std::string& target, const NewObject& attrs);
    Node* makehardlink(std::string_view path, std::string_view existing);
    Node* makespecial(std::string_view path, uint32_t typeBits, DevNum rdev,
                      const NewObject& attrs);
    void movepath(std::string_view from, std::string_view to);
    size_t removepath(std::string_view path, bool recursive);
    void changemodes(std::string_view path, std::string_view text, bool recursive);
    void changeowner(std::string_view path, std::string_view text, bool recursive);
    void settimes(std::string_view path, std::optional<Timestamp> atime,
                  std::optional<Timestamp> mtime);
    void setxattr(std::string_view path, const std::string& name, const std::string& value);
    void removexattr(std::string_view path, std::string_view name);

    // Puts the folders objects were added to in order.
    void finish();
    // finish(), and drops what the run knows of the tree.
    void forget();

private:
    struct State;
    // Where a new object goes: its folder and its name (free and usable).
    struct Place {
        Node* dir = nullptr;
        std::string name;
    };
    Node* child(Node* dir, std::string_view name);
    void added(Node* dir, Node* n);
    void leaving(Node* dir, const Node* n);
    Node* attach(Node* dir, TImgEntry e);
    Place placeFor(std::string_view path);
    Place placeInto(std::string_view path, const std::string& name);
    template <typename Fn>
    void forEachHolder(Node* n, bool recursive, Fn&& fn);

    Timg& img_;
    std::unique_ptr<State> s_;
};

// The node at path, the root for "" or "/"; nullptr when nothing is there.
Node* lookupPath(Timg& img, std::string_view path);
// As lookupPath, but throws Error when nothing is there.
Node* requirePath(Timg& img, std::string_view path);

// Creates the folder path. With parents, missing folders on the way are made
// too (mode 0755, with attrs' owner and time) and a folder that exists is no
// error, as mkdir -p. Returns the folder.
Node* makedir(Timg& img, std::string_view path, const NewObject& attrs, bool parents);

// Creates an empty regular file at path.
Node* makefile(Timg& img, std::string_view path, const NewObject& attrs);

// Creates a symbolic link at path holding target (any non-empty bytes; it is
// not resolved). When path names a folder, the link goes into it under the
// last name of target, as ln does. attrs.perm is taken as 0777.
Node* makesymlink(Timg& img, std::string_view path, const std::string& target,
                  const NewObject& attrs);

// Creates a hard link at path to the object at existing (not a folder; a hard
// link stands for the object it links to). When path names a folder, the link
// goes into it under existing's name.
Node* makehardlink(Timg& img, std::string_view path, std::string_view existing);

// Creates a device node, FIFO or socket at path: typeBits is kModeCharDevice,
// kModeBlockDevice, kModeFifo or kModeSocket; rdev counts for devices only
// and must fit the 12-bit major and 20-bit minor that images hold.
Node* makespecial(Timg& img, std::string_view path, uint32_t typeBits, DevNum rdev,
                  const NewObject& attrs);

// Moves the object at from (with everything below it) to to: into to when
// that is a folder, otherwise to to's folder under to's last name. Nothing
// is replaced: an object of that name in the target folder is an error, as is
// moving a folder into itself or moving the root.
void movepath(Timg& img, std::string_view from, std::string_view to);

// Removes the object at path; a folder only when recursive, with everything
// below it. A removed file's other names keep it (see deletenodes). Returns
// the number of objects removed.
size_t removepath(Timg& img, std::string_view path, bool recursive);

// The permission bits that text gives an object with permission bits perm:
// octal (1 to 4 digits; 0 included) or symbolic as chmod takes it
// ("u+x,go-w", "a=rX", "g=u"; without u, g, o or a it means a, no umask
// applies). nullopt when text is neither.
std::optional<uint32_t> applyModeText(std::string_view text, uint32_t perm, bool isDir);

// Sets the permission bits (setPermissions) of the object at path, and of
// everything below it but symbolic links when recursive (as GNU chmod -R), as
// text says (applyModeText). Throws Error for a bad text before anything
// changes.
void changemodes(Timg& img, std::string_view path, std::string_view text, bool recursive);

// An owner as chown takes it: "UID", "UID:GID", "UID:" or ":GID", decimal
// numbers up to kMaxId. nullopt when text is not one.
struct OwnerIds {
    std::optional<uint32_t> uid;
    std::optional<uint32_t> gid;
};
std::optional<OwnerIds> parseOwner(std::string_view text);

// Sets the owner and/or group of the object at path (and everything below it
// when recursive). Throws Error for a bad text before anything changes.
void changeowner(Timg& img, std::string_view path, std::string_view text, bool recursive);

// Sets the access and/or modification time of the object at path; the change
// time stays.
void settimes(Timg& img, std::string_view path, std::optional<Timestamp> atime,
              std::optional<Timestamp> mtime);

// Sets the extended attribute name (with its namespace: user., trusted.,
// security. or system.; at most 255 bytes) of the object at path to value,
// replacing a value it had.
void setxattr(Timg& img, std::string_view path, const std::string& name, const std::string& value);
// Removes the extended attribute name of the object at path; an error when it
// has none of that name.
void removexattr(Timg& img, std::string_view path, std::string_view name);

// Whether name can name an extended attribute (see setxattr).
bool validXattrName(std::string_view name);

} // namespace korvane
