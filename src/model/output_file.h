// Where an image or an archive is written, by what the target path names
// once symbolic links are followed:
//
// - a regular file, or a name not taken yet: a new file is written beside it
//   and renamed over it only when complete, so a cancelled or failed save
//   leaves it as it was, and saving over the image that is open is safe (its
//   mapping keeps the old file alive). A symbolic link (a chain of them; one
//   that leads nowhere names the file to make) stays: the file it names is
//   replaced, in that file's own folder;
// - a block device: written in place, once it is known not to be mounted and
//   to be large enough; what the writer leaves unwritten is zeroed, so the
//   device reads as the image would, and everything is synced at the end;
// - a character device, a FIFO or "-" (standard output): a stream. A writer
//   that only appends writes straight through; any other writes into an
//   unnamed temporary file, which is copied to the stream when complete.
#pragma once

#include "bytes.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace korvane {

// The process's umask, read without changing it.
uint32_t processUmask();

// Which file a path names: its device and inode, or for a block device its
// device number (two device nodes of one device are the same device).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool blockDevice = false;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file path names, following symbolic links; nullopt
// when nothing is there, or for "-".
std::optional<FileIdentity> fileIdentity(const std::string& path);

// Whether writing to out writes over the file opened: the same file
// whatever the spelling (relative, through symbolic links, another hard link
// to it) or the same block device. "-" never does.
bool writesOver(const std::string& out, const FileIdentity& opened);

// The size an image written to path must have: the size of the block device
// path names (through symbolic links); nullopt for files and streams. Throws
// Error when the device cannot be examined.
std::optional<uint64_t> outputDeviceSize(const std::string& path);

class OutputFile {
public:
    // How the writer writes: kRandom uses resize, writeAt and map as it
    // likes; kAppendOnly only appends, so a stream takes its bytes at once.
    enum class Access : uint8_t { kRandom, kAppendOnly };
    enum class Kind : uint8_t { kFile, kBlockDevice, kStream };

    // Prepares the target (see above): the temporary file in the folder of
    // the file to replace, the device opened (and checked), or the stream.
    // Throws Error naming target when it cannot be written: a folder, a
    // socket, a mounted or busy device, a terminal as standard output.
    explicit OutputFile(std::string target, Access access = Access::kRandom);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless commit() succeeded. A device keeps
    // what was written to it; a stream ends where the writing stopped.
    ~OutputFile();

    // Sets the image's length (new bytes read as zeros). On a block device,
    // at most its size.
    void resize(uint64_t size);
    // Writes bytes at the end of what was appended so far.
    void append(ByteSpan bytes);
    // Writes bytes at offset, inside the size set by resize. Coherent with
    // the mapping. Safe to call from several threads at once (not on a
    // stream, which takes its bytes in order).
    void writeAt(uint64_t offset, ByteSpan bytes);
    // Reads back bytes written before (a writer looking for a duplicate of
    // what it is about to write). Throws Error.
    void readAt(uint64_t offset, MutableByteSpan out) const;
    // Maps the whole file (as sized by resize) for reading and writing.
    MutableByteSpan map();
    // Completes the output: a file gets the permissions (and, where allowed,
    // the owner) of the file it replaces, or those of a new file, is synced,
    // renamed over the file it replaces and its folder synced; a device gets
    // its unwritten rest zeroed and is synced; a stream gets the bytes of the
    // temporary file. Throws Error when any of it fails (a write-back error
    // too).
    void commit();

    const std::string& target() const { return target_; }
    Kind kind() const { return kind_; }
    // The size the image must have when it is written in place on a block
    // device (the device's size); nullopt for files and streams.
    std::optional<uint64_t> fixedSize() const;

private:
    void openFile(const std::string& path);
    void openDevice(const std::string& path, uint64_t rdev);
    void openStream(const std::string& path);
    void openTemporary();
    void unmap();
    void noteWritten(uint64_t begin, uint64_t end);
    void checkRoom(uint64_t end) const;
    void zeroUnwritten(uint64_t end);
    void copyToStream();

    std::string target_;
    std::string path_; // the file to replace, links followed
    std::string temp_; // the temporary file's name (files only)
    Kind kind_ = Kind::kFile;
    Access access_ = Access::kRandom;
    int fd_ = -1;           // the temporary file or the device
    int streamFd_ = -1;     // the stream
    bool ownStream_ = true; // false for standard output
    bool direct_ = false;   // appends go straight to the stream
    uint64_t size_ = 0;
    uint64_t written_ = 0;
    uint64_t deviceSize_ = 0;
    std::map<uint64_t, uint64_t> deviceWritten_; // begin -> end, merged
    std::mutex writtenMutex_;                    // guards deviceWritten_
    std::byte* map_ = nullptr;
    bool committed_ = false;
};

} // namespace korvane
