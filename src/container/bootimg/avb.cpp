#include "avb.h"

#include "bootimg_format.h"

#include <cstdio>
#include <cstring>

namespace korvane::bootimg {

namespace {

// Bounds what a hostile vbmeta can make the reader take in.
constexpr uint64_t kMaxVbmeta = 1u << 20;

const char* algorithmName(uint32_t a) {
    static const char* const kNames[] = {"NONE",           "SHA256_RSA2048", "SHA256_RSA4096",
                                         "SHA256_RSA8192", "SHA512_RSA2048", "SHA512_RSA4096",
                                         "SHA512_RSA8192"};
    return a < 7 ? kNames[a] : "unknown";
}

std::string hex(ByteSpan b) {
    std::string out;
    char two[3];
    for (std::byte x : b) {
        std::snprintf(two, sizeof two, "%02x", std::to_integer<unsigned>(x));
        out += two;
    }
    return out;
}

} // namespace

std::optional<AvbFooter> readAvbFooter(const ImageSource& src) {
    const uint64_t size = src.size();
    if (size < avbf::kSize)
        return std::nullopt;
    const Bytes b = readBytes(src, size - avbf::kSize, avbf::kSize);
    if (std::memcmp(b.data(), avbf::kMagic, 4) != 0)
        return std::nullopt;
    AvbFooter f;
    f.versionMajor = load32be(b.data() + avbf::kVersionMajor);
    f.versionMinor = load32be(b.data() + avbf::kVersionMinor);
    f.originalSize = load64be(b.data() + avbf::kOriginalSize);
    f.vbmetaOffset = load64be(b.data() + avbf::kVbmetaOffset);
    f.vbmetaSize = load64be(b.data() + avbf::kVbmetaSize);
    f.partitionSize = size;
    const uint64_t limit = size - avbf::kSize;
    if (f.originalSize > limit || f.vbmetaOffset > limit || f.vbmetaSize > limit - f.vbmetaOffset)
        return std::nullopt;
    return f;
}

std::vector<std::pair<std::string, std::string>> avbFacts(const ImageSource& src,
                                                          const AvbFooter& f) {
    std::vector<std::pair<std::string, std::string>> out;
    out.push_back({"AVB footer", "version " + std::to_string(f.versionMajor) + "." +
                                     std::to_string(f.versionMinor) + ", image of " +
                                     std::to_string(f.originalSize) + " bytes in a partition of " +
                                     std::to_string(f.partitionSize)});
    out.push_back({"AVB vbmeta", std::to_string(f.vbmetaSize) + " bytes at byte " +
                                     std::to_string(f.vbmetaOffset)});
    if (f.vbmetaSize < avbh::kSize || f.vbmetaSize > kMaxVbmeta)
        return out;
    const Bytes v = readBytes(src, f.vbmetaOffset, static_cast<size_t>(f.vbmetaSize));
    const std::byte* h = v.data();
    if (std::memcmp(h, avbh::kMagic, 4) != 0) {
        out.push_back({"AVB vbmeta", "no vbmeta magic where the footer points"});
        return out;
    }
    const uint64_t auth = load64be(h + avbh::kAuthSize);
    const uint64_t aux = load64be(h + avbh::kAuxSize);
    out.push_back({"AVB algorithm", algorithmName(load32be(h + avbh::kAlgorithm))});
    out.push_back(
        {"AVB rollback index", std::to_string(load64be(h + avbh::kRollbackIndex)) + " (location " +
                                   std::to_string(load32be(h + avbh::kRollbackLocation)) + ")"});
    const std::string release = zeroTerminated(h + avbh::kReleaseString, 48);
    if (!release.empty())
        out.push_back({"AVB release", release});
    // Descriptors lie in the auxiliary block, after the header and the
    // authentication block.
    const uint64_t auxAt = avbh::kSize + auth;
    const uint64_t descAt = load64be(h + avbh::kDescriptorsOffset);
    const uint64_t descSize = load64be(h + avbh::kDescriptorsSize);
    if (auxAt > v.size() || aux > v.size() - auxAt || descAt > aux || descSize > aux - descAt)
        return out;
    uint64_t pos = auxAt + descAt;
    const uint64_t end = pos + descSize;
    while (pos + 16 <= end) {
        const std::byte* d = v.data() + pos;
        const uint64_t tag = load64be(d);
        const uint64_t length = load64be(d + 8);
        if (length > end - pos - 16)
            break;
        if (tag == avbh::kTagHash && length + 16 >= avbh::kHashFixedSize) {
            const uint32_t nameLen = load32be(d + avbh::kHashNameLength);
            const uint32_t saltLen = load32be(d + avbh::kHashSaltLength);
            const uint32_t digestLen = load32be(d + avbh::kHashDigestLength);
            if (uint64_t{nameLen} + saltLen + digestLen <= length + 16 - avbh::kHashFixedSize) {
                const std::byte* name = d + avbh::kHashFixedSize;
                out.push_back(
                    {"AVB hash", std::string(reinterpret_cast<const char*>(name), nameLen) + ": " +
                                     zeroTerminated(d + avbh::kHashAlgorithm, 32) + " of " +
                                     std::to_string(load64be(d + avbh::kHashImageSize)) +
                                     " bytes, digest " +
                                     hex(ByteSpan(name + nameLen + saltLen, digestLen))});
            }
        }
        pos += 16 + length;
    }
    return out;
}

Bytes serializeAvbFooter(const AvbFooter& f) {
    Bytes b(avbf::kSize);
    std::memcpy(b.data(), avbf::kMagic, 4);
    store32be(b.data() + avbf::kVersionMajor, f.versionMajor);
    store32be(b.data() + avbf::kVersionMinor, f.versionMinor);
    store64be(b.data() + avbf::kOriginalSize, f.originalSize);
    store64be(b.data() + avbf::kVbmetaOffset, f.vbmetaOffset);
    store64be(b.data() + avbf::kVbmetaSize, f.vbmetaSize);
    return b;
}

} // namespace korvane::bootimg
