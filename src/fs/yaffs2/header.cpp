#include "header.h"

#include <algorithm>
#include <cstring>

namespace korvane::yaffs2 {

namespace {

// The name-value area: records of a 32-bit length (the whole record's), the
// name with a zero byte, and the value. A length that does not fit ends the
// list, so the fill bytes of a header without attributes read as none.
constexpr uint32_t kRecordHead = 4;

std::vector<Xattr> decodeXattrs(const std::byte* area, uint32_t size, ByteOrder order) {
    std::vector<Xattr> out;
    uint32_t pos = 0;
    while (size >= kRecordHead && pos <= size - kRecordHead) {
        const auto len = static_cast<int32_t>(loadWord(area + pos, order));
        if (len <= static_cast<int32_t>(kRecordHead) || static_cast<uint32_t>(len) >= size - pos)
            break;
        const std::byte* rec = area + pos + kRecordHead;
        const uint32_t body = static_cast<uint32_t>(len) - kRecordHead;
        std::string name = zeroTerminated(rec, body);
        if (name.size() < body && !name.empty()) {
            const std::byte* value = rec + name.size() + 1;
            const size_t valueSize = body - name.size() - 1;
            out.push_back(
                {std::move(name), std::string(reinterpret_cast<const char*>(value), valueSize)});
        }
        pos += static_cast<uint32_t>(len);
    }
    return out;
}

} // namespace

uint64_t xattrBytes(const std::vector<Xattr>& xattrs) {
    uint64_t n = 0;
    for (const Xattr& x : xattrs)
        n += kRecordHead + x.name.size() + 1 + x.value.size();
    return n;
}

uint32_t xattrSpace(uint32_t dataSize) {
    return dataSize > kHeaderSize ? dataSize - kHeaderSize - 1 : 0;
}

ObjectHeader decodeHeader(const std::byte* p, uint32_t dataSize, ByteOrder o) {
    ObjectHeader h;
    h.type = loadWord(p + hdr::kType, o);
    h.parent = loadWord(p + hdr::kParent, o);
    h.name = zeroTerminated(p + hdr::kName, hdr::kNameSize);
    h.mode = loadWord(p + hdr::kMode, o);
    h.uid = loadWord(p + hdr::kUid, o);
    h.gid = loadWord(p + hdr::kGid, o);
    h.atime = loadWord(p + hdr::kAtime, o);
    h.mtime = loadWord(p + hdr::kMtime, o);
    h.ctime = loadWord(p + hdr::kCtime, o);
    h.fileSize = loadWord(p + hdr::kFileSize, o);
    h.equivId = loadWord(p + hdr::kEquivId, o);
    if (h.type == kHdrSymlink) // elsewhere the field holds fill bytes
        h.alias = zeroTerminated(p + hdr::kAlias, hdr::kAliasSize);
    h.rdev = loadWord(p + hdr::kRdev, o);
    if (dataSize > kHeaderSize)
        h.xattrs = decodeXattrs(p + kHeaderSize, dataSize - kHeaderSize, o);
    return h;
}

void encodeHeader(const ObjectHeader& h, std::byte* p, std::byte fill, uint32_t dataSize,
                  ByteOrder o) {
    std::memset(p, std::to_integer<int>(fill), std::max(dataSize, kHeaderSize));
    storeWord(p + hdr::kType, h.type, o);
    storeWord(p + hdr::kParent, h.parent, o);
    store16(p + hdr::kChecksum, 0xFFFF);
    std::memset(p + hdr::kName, 0, hdr::kNameSize + 2); // name and its two padding bytes
    std::memcpy(p + hdr::kName, h.name.data(), std::min(h.name.size(), hdr::kNameSize - 1));
    storeWord(p + hdr::kMode, h.mode, o);
    storeWord(p + hdr::kUid, h.uid, o);
    storeWord(p + hdr::kGid, h.gid, o);
    storeWord(p + hdr::kAtime, h.atime, o);
    storeWord(p + hdr::kMtime, h.mtime, o);
    storeWord(p + hdr::kCtime, h.ctime, o);
    storeWord(p + hdr::kFileSize, h.type == kHdrFile ? h.fileSize : 0xFFFFFFFF, o);
    switch (h.type) {
    case kHdrFile:
        storeWord(p + hdr::kFileSizeHigh, 0xFFFFFFFF, o);
        break;
    case kHdrHardlink:
        storeWord(p + hdr::kEquivId, h.equivId, o);
        break;
    case kHdrSymlink:
        storeWord(p + hdr::kEquivId, 0xFFFFFFFF, o);
        std::memset(p + hdr::kAlias, 0, hdr::kAliasSize);
        std::memcpy(p + hdr::kAlias, h.alias.data(), std::min(h.alias.size(), hdr::kAliasSize - 1));
        break;
    case kHdrSpecial:
        storeWord(p + hdr::kRdev, h.rdev, o);
        break;
    default:
        break;
    }
    if (h.xattrs.empty() || xattrBytes(h.xattrs) > xattrSpace(dataSize))
        return;
    std::byte* area = p + kHeaderSize;
    std::memset(area, 0, dataSize - kHeaderSize);
    for (const Xattr& x : h.xattrs) {
        const auto len = static_cast<uint32_t>(kRecordHead + x.name.size() + 1 + x.value.size());
        storeWord(area, len, o);
        std::memcpy(area + kRecordHead, x.name.data(), x.name.size());
        std::memcpy(area + kRecordHead + x.name.size() + 1, x.value.data(), x.value.size());
        area += len;
    }
}

ObjectHeader headerFromEntry(const TImgEntry& e, const TImgEntry* linkTarget) {
    ObjectHeader h;
    h.type = e.objType >= kTypeSpecial ? uint32_t{kHdrSpecial} : uint32_t{e.objType};
    const uint32_t typeBits = e.objType == kTypeHardlink && !(e.mode & kModeTypeMask) && linkTarget
                                  ? fileTypeBits(*linkTarget)
                                  : fileTypeBits(e);
    h.mode = typeBits | (e.mode & kModePermissionMask);
    h.uid = e.uid;
    h.gid = e.gid;
    auto time = [](int64_t t) {
        return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, 0xFFFFFFFFll));
    };
    h.atime = time(e.atime);
    h.mtime = time(e.mtime);
    h.ctime = time(e.ctime);
    h.fileSize = static_cast<uint32_t>(e.size);
    h.alias = e.alias;
    if (h.type == kHdrSpecial && (typeBits == kModeCharDevice || typeBits == kModeBlockDevice))
        h.rdev = encodeOldDev(e.rdev);
    if (h.type != kHdrHardlink)
        h.xattrs = e.xattrs;
    return h;
}

} // namespace korvane::yaffs2
