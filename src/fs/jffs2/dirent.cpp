#include "dirent.h"

#include "jffs2_crc.h"
#include "model/entry.h"
#include "node_header.h"

#include <cstring>

namespace korvane::jffs2 {

uint8_t direntType(uint32_t mode) {
    switch (mode & kModeTypeMask) {
    case kModeFifo:
        return kDtFifo;
    case kModeCharDevice:
        return kDtChr;
    case kModeDirectory:
        return kDtDir;
    case kModeBlockDevice:
        return kDtBlk;
    case kModeFile:
        return kDtReg;
    case kModeSymlink:
        return kDtLnk;
    case kModeSocket:
        return kDtSock;
    default:
        return kDtUnknown;
    }
}

DirentCheck checkDirent(const std::byte* p, uint32_t totlen, const Endian& e) {
    if (jffs2Crc(p, dirent::kNodeCrc) != e.u32(p + dirent::kNodeCrc))
        return DirentCheck::kBadNodeCrc;
    const uint8_t nsize = std::to_integer<uint8_t>(p[dirent::kNsize]);
    if (padded(direntSize(nsize)) != padded(totlen) || direntSize(nsize) > totlen)
        return DirentCheck::kBadLength;
    if (jffs2Crc(p + dirent::kSize, nsize) != e.u32(p + dirent::kNameCrc))
        return DirentCheck::kBadNameCrc;
    return DirentCheck::kOk;
}

Dirent decodeDirent(const std::byte* p, const Endian& e) {
    Dirent d;
    d.pino = e.u32(p + dirent::kPino);
    d.version = e.u32(p + dirent::kVersion);
    d.ino = e.u32(p + dirent::kIno);
    d.mctime = e.u32(p + dirent::kMctime);
    d.type = std::to_integer<uint8_t>(p[dirent::kType]);
    const uint8_t nsize = std::to_integer<uint8_t>(p[dirent::kNsize]);
    d.name.assign(reinterpret_cast<const char*>(p + dirent::kSize), nsize);
    return d;
}

void encodeDirent(const Dirent& d, std::byte* out, const Endian& e) {
    const size_t n = d.name.size();
    std::memset(out, 0, dirent::kSize);
    storeHeader(out, kTypeDirent, direntSize(n), e);
    e.put32(out + dirent::kPino, d.pino);
    e.put32(out + dirent::kVersion, d.version);
    e.put32(out + dirent::kIno, d.ino);
    e.put32(out + dirent::kMctime, d.mctime);
    out[dirent::kNsize] = static_cast<std::byte>(n);
    out[dirent::kType] = static_cast<std::byte>(d.type);
    std::memcpy(out + dirent::kSize, d.name.data(), n);
    e.put32(out + dirent::kNodeCrc, jffs2Crc(out, dirent::kNodeCrc));
    e.put32(out + dirent::kNameCrc, jffs2Crc(out + dirent::kSize, n));
}

} // namespace korvane::jffs2
