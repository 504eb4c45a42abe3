#include "ubi_builders.h"

#include "container/ubi/ubi_format.h"
#include "fs/ubifs/ubifs_format.h"
#include "fs/ubifs/ubifs_node.h"
#include "fs/ubifs/ubifs_super.h"
#include "source/image_data.h"
#include "testutil.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace korvane::test {

namespace {

void mustSucceed(const std::string& command) {
    const CommandResult r = run(command);
    if (r.status != 0)
        throw std::runtime_error(command + " failed:\n" + r.out + r.err);
}

} // namespace

bool haveMtdUtils() {
    return haveProgram("mkfs.ubifs") && haveProgram("ubinize");
}

Bytes makeUbifs(const std::string& dir, const std::string& out, const UbifsParams& p) {
    std::string cmd = "mkfs.ubifs -r " + shellQuote(dir) + " -m " + std::to_string(p.minIo) +
                      " -e " + std::to_string(p.lebSize) + " -c " + std::to_string(p.maxLebs) +
                      " -x " + p.compr + " -o " + shellQuote(out);
    if (p.logLebs)
        cmd += " -l " + std::to_string(p.logLebs);
    if (!p.selinux.empty())
        cmd += " --selinux=" + shellQuote(p.selinux);
    mustSucceed(cmd);
    return readFile(out);
}

Bytes ubinize(const std::vector<UbiVolume>& volumes, const std::string& out,
              const UbinizeParams& p) {
    std::string ini;
    for (const UbiVolume& v : volumes) {
        ini += "[" + v.name + "]\nmode=ubi\nimage=" + v.image + "\nvol_id=" + std::to_string(v.id) +
               "\nvol_type=" + (v.dynamic ? "dynamic" : "static") + "\nvol_name=" + v.name + "\n";
        if (!v.size.empty())
            ini += "vol_size=" + v.size + "\n";
        if (v.autoresize)
            ini += "vol_flags=autoresize\n";
    }
    const std::string cfg = out + ".ini";
    writeFile(cfg, ini);
    std::string cmd = "ubinize -o " + shellQuote(out) + " -p " + std::to_string(p.pebSize) +
                      " -m " + std::to_string(p.minIo) + " -Q " + std::to_string(p.imageSeq);
    if (p.subPage)
        cmd += " -s " + std::to_string(p.subPage);
    mustSucceed(cmd + " " + shellQuote(cfg));
    return readFile(out);
}

UbiOffsets ubiOffsets(const Bytes& image) {
    return {load32be(image.data() + ubi::ec::kVidHdrOffset),
            load32be(image.data() + ubi::ec::kDataOffset)};
}

Bytes nandDump(const Bytes& data, uint32_t pageSize, uint32_t spareSize,
               const std::optional<nand::EccLayout>& ecc, const std::vector<uint64_t>& bad,
               uint32_t pagesPerBlock) {
    const uint64_t pages = (data.size() + pageSize - 1) / pageSize;
    Bytes out;
    out.reserve(pages * (pageSize + spareSize));
    Bytes page(pageSize), spare(spareSize), code(pageSize / 256 * 3);
    for (uint64_t p = 0; p < pages; ++p) {
        std::fill(page.begin(), page.end(), std::byte{0xFF});
        const size_t n = std::min<size_t>(pageSize, data.size() - p * pageSize);
        std::memcpy(page.data(), data.data() + p * pageSize, n);
        std::fill(spare.begin(), spare.end(), std::byte{0xFF});
        if (ecc) {
            nand::computeEcc(ecc->scheme, page.data(), pageSize, code.data());
            for (size_t i = 0; i < ecc->positions.size(); ++i)
                spare[ecc->positions[i]] = code[i];
        }
        if (p % pagesPerBlock == 0 &&
            std::find(bad.begin(), bad.end(), p / pagesPerBlock) != bad.end())
            spare[pageSize == 512 ? 5 : 0] = std::byte{0};
        out.insert(out.end(), page.begin(), page.end());
        out.insert(out.end(), spare.begin(), spare.end());
    }
    return out;
}

uint32_t r5Hash(const std::string& name) {
    uint32_t a = 0;
    for (char ch : name) {
        const int c = static_cast<signed char>(ch);
        a += static_cast<uint32_t>(c * 16);
        a += static_cast<uint32_t>(c >> 4);
        a *= 11;
    }
    a &= ubifs::kKeyLowMask;
    return a <= 2 ? a + 3 : a;
}

UbifsJournal::UbifsJournal(Bytes image) : image_(std::move(image)) {
    using namespace ubifs;
    const std::byte* sbNode = image_.data();
    lebSize_ = load32(sbNode + sb::kLebSize);
    minIo_ = load32(sbNode + sb::kMinIoSize);
    lebCnt_ = load32(sbNode + sb::kLebCnt);
    auto src = ImageData::fromBytes(image_);
    LebReader reader(*src, lebSize_, lebCnt_);
    const MasterCopies m = readMasters(reader);
    if (!m.copy[0])
        throw std::runtime_error("no master node in the image");
    logLnum_ = m.copy[0]->logLnum;
    highestInum_ = static_cast<uint32_t>(m.copy[0]->highestInum);
    // The reference node first: the kernel writes it before the bud's nodes.
    firstSqnum_ = std::max(m.copy[0]->sqnum, m.copy[1] ? m.copy[1]->sqnum : 0) + 100;
    sqnum_ = firstSqnum_;
}

void UbifsJournal::append(Bytes node, uint8_t type) {
    ubifs::sealNode(MutableByteSpan(node), type, ++sqnum_);
    bud_.resize((bud_.size() + 7) / 8 * 8, std::byte{0});
    bud_.insert(bud_.end(), node.begin(), node.end());
}

void UbifsJournal::inode(uint32_t inum, uint32_t mode, uint64_t size, uint32_t nlink, int64_t mtime,
                         const std::string& data, uint32_t flags) {
    using namespace ubifs;
    Bytes n(ino::kNodeSize + data.size(), std::byte{0});
    std::byte* p = n.data();
    storeKey(p + ino::kKey, makeKey(inum, kInoKey, 0));
    store64(p + ino::kCreatSqnum, sqnum_);
    store64(p + ino::kSize, size);
    for (size_t at : {ino::kAtimeSec, ino::kCtimeSec, ino::kMtimeSec})
        store64(p + at, static_cast<uint64_t>(mtime));
    store32(p + ino::kMtimeNsec, 123456789);
    store32(p + ino::kNlink, nlink);
    store32(p + ino::kMode, mode);
    store32(p + ino::kFlags, flags);
    store32(p + ino::kDataLen, static_cast<uint32_t>(data.size()));
    std::memcpy(p + ino::kData, data.data(), data.size());
    highestInum_ = std::max(highestInum_, inum);
    append(std::move(n), kInoNode);
}

void UbifsJournal::dent(uint32_t parent, const std::string& name, uint32_t inum, uint8_t itype,
                        bool xattr) {
    using namespace ubifs;
    Bytes n(dent::kNodeSize + name.size() + 1, std::byte{0});
    std::byte* p = n.data();
    storeKey(p + dent::kKey, makeKey(parent, xattr ? kXentKey : kDentKey, r5Hash(name)));
    store64(p + dent::kInum, inum);
    p[dent::kType] = std::byte{itype};
    store16(p + dent::kNlen, static_cast<uint16_t>(name.size()));
    std::memcpy(p + dent::kName, name.data(), name.size());
    append(std::move(n), xattr ? kXentNode : kDentNode);
}

void UbifsJournal::data(uint32_t inum, uint32_t block, ByteSpan bytes) {
    using namespace ubifs;
    Bytes n(data::kNodeSize + bytes.size(), std::byte{0});
    std::byte* p = n.data();
    storeKey(p + data::kKey, makeKey(inum, kDataKey, block));
    store32(p + data::kSize, static_cast<uint32_t>(bytes.size()));
    store16(p + data::kComprType, kComprNone);
    std::memcpy(p + data::kData, bytes.data(), bytes.size());
    append(std::move(n), kDataNode);
}

void UbifsJournal::truncate(uint32_t inum, uint64_t oldSize, uint64_t newSize) {
    using namespace ubifs;
    Bytes n(trun::kNodeSize, std::byte{0});
    store32(n.data() + trun::kInum, inum);
    store64(n.data() + trun::kOldSize, oldSize);
    store64(n.data() + trun::kNewSize, newSize);
    append(std::move(n), kTrunNode);
}

Bytes UbifsJournal::finish() {
    using namespace ubifs;
    if (bud_.size() > lebSize_)
        throw std::runtime_error("the bud does not fit one LEB");
    const uint32_t budLnum = lebCnt_;
    image_.resize(size_t{budLnum} * lebSize_, std::byte{0xFF});
    image_.resize(size_t{budLnum + 1} * lebSize_, std::byte{0xFF});
    std::memcpy(image_.data() + size_t{budLnum} * lebSize_, bud_.data(), bud_.size());

    // The superblock counts the new LEB.
    std::byte* sbNode = image_.data();
    store32(sbNode + sb::kLebCnt, lebCnt_ + 1);
    sealNode(MutableByteSpan(sbNode, load32(sbNode + ch::kLen)), kSbNode,
             load64(sbNode + ch::kSqnum));

    // The reference goes after what the log LEB holds, at the next write
    // unit.
    auto src = ImageData::fromBytes(image_);
    LebReader reader(*src, lebSize_, lebCnt_ + 1);
    const LebScan s = scanLeb(reader, logLnum_, 0, [](const ScannedNode&) { return true; });
    const uint32_t at = (s.end + minIo_ - 1) / minIo_ * minIo_;
    Bytes ref(ref::kNodeSize, std::byte{0});
    store32(ref.data() + ref::kLnum, budLnum);
    store32(ref.data() + ref::kOffs, 0);
    store32(ref.data() + ref::kJhead, 1);
    sealNode(MutableByteSpan(ref), kRefNode, firstSqnum_);
    std::memcpy(image_.data() + size_t{logLnum_} * lebSize_ + at, ref.data(), ref.size());
    return image_;
}

} // namespace korvane::test
