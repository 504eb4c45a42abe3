// A new file written beside its target and renamed over it only when it is
// complete: a cancelled or failed save leaves an existing target as it was,
// and saving over the image that is open is safe (its mapping keeps the old
// file alive).
#pragma once

#include "bytes.h"

#include <cstdint>
#include <string>

namespace korvane {

// The process's umask, read without changing it.
uint32_t processUmask();

class OutputFile {
public:
    // Creates the temporary file in the target's folder. Throws Error.
    explicit OutputFile(std::string target);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless commit() succeeded.
    ~OutputFile();

    // Sets the file's length (new bytes read as zeros).
    void resize(uint64_t size);
    // Writes bytes at the end of what was appended so far.
    void append(ByteSpan bytes);
    // Writes bytes at offset, inside the size set by resize. Coherent with
    // the mapping.
    void writeAt(uint64_t offset, ByteSpan bytes);
    // Reads back bytes written before (a writer looking for a duplicate of
    // what it is about to write). Throws Error.
    void readAt(uint64_t offset, MutableByteSpan out) const;
    // Maps the whole file (as sized by resize) for reading and writing.
    MutableByteSpan map();
    // Gives the file the permissions (and, where allowed, the owner) of the
    // file it replaces, or those of a new file, syncs it to the disk, renames
    // it over the target and syncs the folder. Throws Error when any of it
    // fails (a write-back error too).
    void commit();

    const std::string& target() const { return target_; }

private:
    void unmap();

    std::string target_;
    std::string temp_;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t written_ = 0;
    std::byte* map_ = nullptr;
    bool committed_ = false;
};

} // namespace korvane
