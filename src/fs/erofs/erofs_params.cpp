// The choices an EROFS image is written with: like the source image, or as
// the save's options say.
#include "erofs_writer.h"
#include "fs/ext/ext_choice.h"
#include "model/error.h"
#include "super.h"
#include "terofsobj.h"

#include <ctime>

namespace korvane {

using namespace erofs;

namespace {

// A UUID that depends only on the build time and the label, for images that
// must come out the same every time.
std::array<uint8_t, 16> fixedUuid(int64_t time, const std::string& label) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(time);
    for (char c : label)
        h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
    std::array<uint8_t, 16> u{};
    for (size_t i = 0; i < 16; ++i) {
        h += 0x9E3779B97F4A7C15ull;
        uint64_t z = h;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        u[i] = static_cast<uint8_t>(z ^ (z >> 31));
    }
    u[6] = static_cast<uint8_t>((u[6] & 0x0F) | 0x40);
    u[8] = static_cast<uint8_t>((u[8] & 0x3F) | 0x80);
    return u;
}

} // namespace

ErofsParams erofsParamsOf(const Timg& img, const SaveRequest& req) {
    const FormatOptions& o = req.options;
    ErofsParams p;
    p.buildTime = std::time(nullptr);
    bool uuidSet = false;
    const auto* source = req.likeSource ? dynamic_cast<const Terofsobj*>(&img) : nullptr;
    if (source) {
        const Superblock& s = source->superblock();
        p.compression = source->usesCompression() ? ErofsParams::kLz4hc : ErofsParams::kNone;
        p.uuid = s.uuid;
        uuidSet = true;
        p.label = s.volumeName;
        p.buildTime = s.epoch + s.buildTime;
        p.buildNsec = s.fixedNsec;
    }
    if (auto c = optionText(o, "compress")) {
        const size_t comma = c->find(',');
        const std::string alg = c->substr(0, comma);
        if (alg == "none" && comma == std::string::npos) {
            p.compression = ErofsParams::kNone;
        } else if (alg == "lz4" && comma == std::string::npos) {
            p.compression = ErofsParams::kLz4;
        } else if (alg == "lz4hc") {
            p.compression = ErofsParams::kLz4hc;
            if (comma != std::string::npos) {
                FormatOptions level{{"compress", c->substr(comma + 1)}};
                try {
                    p.level = static_cast<int>(*optionNumber(level, "compress", 1, 12));
                } catch (const Error&) {
                    throw Error(msg("--compress takes none, lz4 or lz4hc with an optional level "
                                    "from 1 to 12 (lz4hc,12); not %1",
                                    *c));
                }
            }
        } else {
            throw Error(msg("--compress takes none, lz4 or lz4hc with an optional level from 1 "
                            "to 12 (lz4hc,12); not %1",
                            *c));
        }
    }
    if (auto bs = optionText(o, "block-size"); bs && *bs != "4096")
        throw Error(msg("EROFS images are written with 4096-byte blocks only; not %1", *bs));
    if (auto label = optionText(o, "label")) {
        if (label->size() > sb::kVolumeNameSize)
            throw Error(
                msg("--label takes at most 16 bytes for EROFS; %1 has %2", *label, label->size()));
        p.label = *label;
    }
    if (auto t = optionText(o, "timestamp")) {
        const bool negative = !t->empty() && (*t)[0] == '-';
        FormatOptions v{{"timestamp", negative ? t->substr(1) : *t}};
        const uint64_t secs = *optionNumber(v, "timestamp", 0, uint64_t{1} << 62);
        p.buildTime = negative ? -static_cast<int64_t>(secs) : static_cast<int64_t>(secs);
        p.buildNsec = 0;
        if (!uuidSet)
            p.uuid = fixedUuid(p.buildTime, p.label);
        uuidSet = true;
    }
    if (auto uuid = optionText(o, "uuid")) {
        if (*uuid == "random") {
            p.uuid = randomUuid();
        } else {
            auto parsed = parseUuid(*uuid);
            if (!parsed)
                throw Error(msg("--uuid takes a UUID such as 0123abcd-4567-89ab-cdef-0123456789ab, "
                                "or random; not %1",
                                *uuid));
            p.uuid = *parsed;
        }
        uuidSet = true;
    }
    if (!uuidSet)
        p.uuid = randomUuid();
    return p;
}
} // namespace korvane
