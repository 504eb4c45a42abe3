// Writing objects of an image as a POSIX pax tar archive: owners, modes,
// times with nanoseconds, symbolic and hard links, device nodes, FIFOs and
// extended attributes, all without privilege, since nothing is created on
// disk but the archive.
#pragma once

#include "extract.h"
#include "model/timg.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

struct TarResult {
    std::vector<SkippedObject> skipped; // objects a tar archive cannot hold
    uint64_t written = 0;               // archive members written
    bool cancelled = false;
};

// Writes the objects ids, each with everything below it, as a pax archive.
// Members are named as extraction into a folder names the files below it; an
// id of the root writes the whole tree as `tar -C DIR -c .` would: "./" (with
// the root folder's attributes) and every object as "./PATH". A file's first
// name in the walk carries its contents, its other names are hard links to it;
// a hard link whose file is not written carries the contents itself. Holes of
// files are kept as sparse members. Sockets (tar cannot hold them) and
// objects whose name cannot be a file name are skipped and listed.
//
// To path as OutputFile writes it: a file through a temporary file renamed
// over it when complete (cancelled or failed, nothing is left and an
// existing file stays as it was); a FIFO or character device as a stream,
// which ends without an end marker when the run stops early.
// Reports through img.onwk as extraction does (flag 2) and stops before the
// next object once img.cancel is set. Throws Error when the archive cannot be
// written.
TarResult tarout(Timg& img, const std::vector<uint32_t>& ids, const std::string& path);

// As tarout, to the open descriptor fd (a pipe, standard output). Cancelled
// or failed, the archive ends where it stopped, with no end marker, so that
// readers see it is incomplete.
TarResult taroutfd(Timg& img, const std::vector<uint32_t>& ids, int fd);

} // namespace korvane
