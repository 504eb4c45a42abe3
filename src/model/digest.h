// Cryptographic digests of on-disk structures (the SHA-256 checksums of a
// super image's metadata, a boot image's SHA-1 id, the hashes AVB keeps),
// computed by Nettle.
#pragma once

#include "bytes.h"

#include <memory>

namespace korvane {

enum class DigestKind : uint8_t { kSha1, kSha256, kSha512 };

// Bytes of a digest of kind.
size_t digestLength(DigestKind kind);

// A digest fed piece by piece.
class Digest {
public:
    explicit Digest(DigestKind kind);
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    ~Digest();

    void update(ByteSpan bytes);
    // The digest of everything fed; the object is spent afterwards.
    Bytes finish();

private:
    struct Context;
    std::unique_ptr<Context> ctx_;
    DigestKind kind_;
};

Bytes digestOf(DigestKind kind, ByteSpan bytes);

} // namespace korvane
