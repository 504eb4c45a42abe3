#include "summary.h"

#include "jffs2_crc.h"

namespace korvane::jffs2 {

SummaryCheck checkSummary(const std::byte* p, uint32_t totlen, const Endian& e, bool checkSum) {
    SummaryCheck c;
    c.nodeCrcOk = jffs2Crc(p, summary::kSumCrc) == e.u32(p + summary::kNodeCrc);
    c.entries = e.u32(p + summary::kSumNum);
    if (checkSum)
        c.sumCrcOk =
            jffs2Crc(p + summary::kSize, totlen - summary::kSize) == e.u32(p + summary::kSumCrc);
    if (totlen >= summary::kSize + summary::kMarkerSize) {
        const std::byte* m = p + totlen - summary::kMarkerSize;
        c.markerOk = e.u32(m + summary::kMarkerMagic) == kSummaryMagic;
        c.blockOffset = e.u32(m + summary::kMarkerOffset);
    }
    return c;
}

} // namespace korvane::jffs2
