#include "yaffs1_format_row.h"

#include "fs/yaffs2/ecc.h"
#include "fs/yaffs2/header.h"
#include "tags1.h"
#include "tyaffs1obj.h"
#include "yaffs1_writer.h"

#include <algorithm>
#include <cstring>

namespace korvane {

using namespace yaffs1;

namespace {

const SaveType kSaveTypes[] = {
    {"yaffs1", "YAFFS1 镜像"},
};

// Pages a probe looks at: the first ones, and more spread over the image.
constexpr uint64_t kHeadPages = 64;
constexpr uint64_t kSpreadPages = 64;

// Does the page read as an object header?
bool headerChecks(const std::byte* page) {
    const uint32_t type = load32(page + yaffs2::hdr::kType);
    const uint32_t parent = load32(page + yaffs2::hdr::kParent);
    return type >= yaffs2::kHdrFile && type <= yaffs2::kHdrSpecial &&
           (parent == kObjIdRoot || (parent >= 2 && parent <= kMaxObjectId)) &&
           std::memchr(page + yaffs2::hdr::kName, 0, yaffs2::hdr::kNameSize) != nullptr;
}

// Sampled pages whose YAFFS1 tags agree with their ECC exactly and make
// sense, a header among them; the data ECC agreeing too makes it sure. The
// tags of YAFFS2 images in the same geometry lie elsewhere in the spare and
// fail here (their object id puts a cleared page status where YAFFS1 looks).
Probe probeYaffs1(const ProbeInput& in) {
    const uint64_t pages = in.source.size() / kRecordSize;
    if (pages == 0)
        return {kProbeNone, msg("no YAFFS1 page: the image is shorter than 528 bytes")};
    std::vector<uint64_t> plan;
    for (uint64_t q = 0; q < std::min(pages, kHeadPages); ++q)
        plan.push_back(q);
    if (pages > kHeadPages)
        for (uint64_t k = 0; k < kSpreadPages; ++k)
            plan.push_back(kHeadPages + (pages - kHeadPages) * k / kSpreadPages);
    std::sort(plan.begin(), plan.end());
    plan.erase(std::unique(plan.begin(), plan.end()), plan.end());
    unsigned wrong = 0, passed = 0, headers = 0, eccTelling = 0, eccOk = 0;
    Bytes rec(kRecordSize);
    for (uint64_t q : plan) {
        const std::byte* page = rec.data();
        if ((q + 1) * kRecordSize <= in.head.size())
            page = in.head.data() + q * kRecordSize;
        else
            in.source.read(q * kRecordSize, MutableByteSpan(rec));
        const std::byte* spare = page + kPageSize;
        Tags1 t;
        const TagState s = readTags(spare, t);
        // Erased and deleted pages, pages of blocks marked bad and tags with a
        // flipped bit say nothing either way.
        if (s == TagState::kErased || s == TagState::kDeleted || s == TagState::kCorrected ||
            spare[spare::kBlockStatus] != std::byte{0xFF})
            continue;
        const bool plausible =
            s == TagState::kClean && (t.objectId == kObjIdRoot || t.objectId >= kFirstOrdinaryId) &&
            (t.chunkId == 0 ? headerChecks(page) : t.byteCount > 0 && t.byteCount <= kPageSize);
        if (!plausible) {
            ++wrong;
            continue;
        }
        ++passed;
        headers += t.chunkId == 0;
        std::byte stored[6], computed[6];
        gatherDataEcc(spare, stored);
        if (std::all_of(stored, stored + 6, [](std::byte b) { return b == std::byte{0xFF}; }))
            continue;
        ++eccTelling;
        yaffs2::storeDataEcc(page, kPageSize, yaffs2::kEccYaffs, computed);
        eccOk += std::memcmp(stored, computed, 6) == 0;
    }
    const unsigned sampled = passed + wrong;
    const bool enough = passed >= 3 || (wrong == 0 && passed > 0);
    if (headers == 0 || !enough || wrong * 5 > passed)
        return {kProbeNone,
                msg("no YAFFS1 tags check out (%1 of %2 sampled pages)", passed, sampled)};
    if (eccTelling > 0 && eccOk * 4 >= eccTelling * 3)
        return {kProbeVerified - 5, msg("YAFFS1 tags and data ECC that check out on %1 of %2 "
                                        "sampled pages",
                                        passed, sampled)};
    return {kProbeStructure,
            msg("YAFFS1 tags that check out on %1 of %2 sampled pages", passed, sampled)};
}

std::unique_ptr<Timg> makeYaffs1(const OpenOptions&) {
    return std::make_unique<Tyaffs1obj>();
}

bool writeImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    return writeYaffs1(img, req.path, rep, warnings);
}

} // namespace

const FormatRow& yaffs1FormatRow() {
    static const FormatRow row{
        .name = "yaffs1",
        .title = "YAFFS1",
        .role = FormatRole::kFilesystem,
        .probe = probeYaffs1,
        .make = makeYaffs1,
        .saveTypes = kSaveTypes,
        .write = writeImage,
        .saveFlag = kFlagSave,
    };
    return row;
}

} // namespace korvane
