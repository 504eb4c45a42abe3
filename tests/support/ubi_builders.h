// Making UBI, UBIFS and raw NAND test images: the mtd-utils peers
// (mkfs.ubifs, ubinize) run on a folder, PEBs rewritten in place, a journal
// bud appended to an image mkfs.ubifs made (which never writes one), and
// raw NAND dumps with spare areas, ECC and flipped bits.
#pragma once

#include "container/ubi/ubi_headers.h"
#include "model/bytes.h"
#include "source/nand/nand_ecc.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::test {

// Whether mkfs.ubifs and ubinize are installed.
bool haveMtdUtils();

struct UbifsParams {
    std::string compr = "lzo"; // lzo, zlib, zstd, none, favor_lzo
    uint32_t minIo = 2048;
    uint32_t lebSize = 126976;
    uint32_t maxLebs = 200;
    std::string selinux;  // a file_contexts file, or empty
    uint32_t logLebs = 0; // 0: as mkfs.ubifs chooses
};

// mkfs.ubifs -r dir; fails the test when it fails.
Bytes makeUbifs(const std::string& dir, const std::string& out, const UbifsParams& p = {});

struct UbiVolume {
    std::string name;
    std::string image; // file whose bytes the volume holds
    uint32_t id = 0;
    bool dynamic = true;
    std::string size; // vol_size ("8MiB"), empty for the image's size
    bool autoresize = false;
};

struct UbinizeParams {
    uint32_t pebSize = 128 * 1024;
    uint32_t minIo = 2048;
    uint32_t subPage = 512; // 0: as minIo
    uint32_t imageSeq = 4711;
};

// ubinize with an ini file of the volumes; fails the test when it fails.
Bytes ubinize(const std::vector<UbiVolume>& volumes, const std::string& out,
              const UbinizeParams& p = {});

// The offsets an image's first EC header gives.
struct UbiOffsets {
    uint32_t vidHdr = 0;
    uint32_t data = 0;
};
UbiOffsets ubiOffsets(const Bytes& image);

// Rewrites the VID header of PEB peb (pebSize bytes each) with fields set by
// change, and the header's CRC.
template <typename Change>
void changeVid(Bytes& image, uint32_t pebSize, uint64_t peb, Change&& change);

// A raw NAND dump of data: each page followed by a spare area of FF bytes
// holding the ECC in layout ecc (when given); blocks listed in bad get a
// bad-block marker (00 in the first spare byte of their first page).
Bytes nandDump(const Bytes& data, uint32_t pageSize, uint32_t spareSize,
               const std::optional<nand::EccLayout>& ecc, const std::vector<uint64_t>& bad = {},
               uint32_t pagesPerBlock = 64);

// The UBIFS journal the kernel leaves after writing without a commit: a
// bud LEB appended to an image mkfs.ubifs made, holding the nodes given,
// and a reference to it in the log.
class UbifsJournal {
public:
    explicit UbifsJournal(Bytes image);

    uint32_t highestInum() const { return highestInum_; }
    uint32_t lebSize() const { return lebSize_; }

    void inode(uint32_t inum, uint32_t mode, uint64_t size, uint32_t nlink, int64_t mtime,
               const std::string& data = {}, uint32_t flags = 0);
    // inum 0 removes the entry called name.
    void dent(uint32_t parent, const std::string& name, uint32_t inum, uint8_t itype,
              bool xattr = false);
    void data(uint32_t inum, uint32_t block, ByteSpan bytes);
    void truncate(uint32_t inum, uint64_t oldSize, uint64_t newSize);

    // The image with the bud and the log reference.
    Bytes finish();

private:
    void append(Bytes node, uint8_t type);

    Bytes image_;
    uint32_t lebSize_ = 0;
    uint32_t minIo_ = 0;
    uint32_t lebCnt_ = 0;
    uint32_t logLnum_ = 0;
    uint32_t highestInum_ = 0;
    uint64_t firstSqnum_ = 0; // the log reference's
    uint64_t sqnum_ = 0;      // the last node's
    Bytes bud_;
};

// The name hash of UBIFS directory entry keys (the "r5" hash).
uint32_t r5Hash(const std::string& name);

template <typename Change>
void changeVid(Bytes& image, uint32_t pebSize, uint64_t peb, Change&& change) {
    const UbiOffsets o = ubiOffsets(image);
    std::byte* hdr = image.data() + peb * pebSize + o.vidHdr;
    std::optional<ubi::VidHeader> v = ubi::loadVidHeader(hdr);
    ubi::VidHeader h = v ? *v : ubi::VidHeader{};
    change(h);
    ubi::storeVidHeader(hdr, h);
}

} // namespace korvane::test
