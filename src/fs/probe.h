// How sure a format is that some bytes are its own, and why. Every format of
// the registry answers with a Probe; the highest score opens the bytes. A
// structural signature at a fixed place whose geometry fits the bytes beats a
// statistical match on the contents, so an ext4 image holding a YAFFS2 image
// as a file opens as ext4.
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"
#include "model/message.h"

namespace korvane {

struct OpenOptions;

// Score levels; a format may answer anything between them.
constexpr int kProbeNone = 0;
// Contents that look like the format (a layout detector's statistics, a
// magic number without further checks).
constexpr int kProbeContents = 40;
// A signature at its place, but the geometry it gives does not fit the bytes.
constexpr int kProbeSignature = 50;
// A signature at its place whose geometry fits the bytes.
constexpr int kProbeStructure = 80;
// A signature with a checksum that verifies, or a structure that checks out
// in several independent places.
constexpr int kProbeVerified = 95;

struct Probe {
    int score = kProbeNone;
    Message why; // what was found (or, for a score of 0, what was missing)
};

// What a probe looks at: the whole source, and its first bytes already read
// (at most kProbeHeadBytes; fewer when the source is shorter).
struct ProbeInput {
    const ImageSource& source;
    ByteSpan head;
    const OpenOptions& options;
};

constexpr size_t kProbeHeadBytes = 64u << 10;

} // namespace korvane
