#include "digest.h"

#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <variant>

namespace korvane {

// Nettle's contexts need no set-up beyond their init call and nothing to
// free: starting a digest costs no configuration or provider lookup, which
// matters to a command that checks one super image's metadata and exits.
struct Digest::Context {
    std::variant<sha1_ctx, sha256_ctx, sha512_ctx> state;
};

namespace {

// Nettle's functions for each context.
template <typename C>
struct Sha;
template <>
struct Sha<sha1_ctx> {
    static constexpr auto update = sha1_update;
    static constexpr auto digest = sha1_digest;
};
template <>
struct Sha<sha256_ctx> {
    static constexpr auto update = sha256_update;
    static constexpr auto digest = sha256_digest;
};
template <>
struct Sha<sha512_ctx> {
    static constexpr auto update = sha512_update;
    static constexpr auto digest = sha512_digest;
};

} // namespace

size_t digestLength(DigestKind kind) {
    switch (kind) {
    case DigestKind::kSha1:
        return SHA1_DIGEST_SIZE;
    case DigestKind::kSha256:
        return SHA256_DIGEST_SIZE;
    case DigestKind::kSha512:
        return SHA512_DIGEST_SIZE;
    }
    return SHA256_DIGEST_SIZE;
}

Digest::Digest(DigestKind kind) : ctx_(std::make_unique<Context>()), kind_(kind) {
    switch (kind) {
    case DigestKind::kSha1:
        sha1_init(&ctx_->state.emplace<sha1_ctx>());
        break;
    case DigestKind::kSha256:
        sha256_init(&ctx_->state.emplace<sha256_ctx>());
        break;
    case DigestKind::kSha512:
        sha512_init(&ctx_->state.emplace<sha512_ctx>());
        break;
    }
}

Digest::~Digest() = default;

void Digest::update(ByteSpan bytes) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    std::visit([&](auto& c) { Sha<std::decay_t<decltype(c)>>::update(&c, bytes.size(), p); },
               ctx_->state);
}

Bytes Digest::finish() {
    Bytes out(digestLength(kind_));
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    std::visit([&](auto& c) { Sha<std::decay_t<decltype(c)>>::digest(&c, out.size(), p); },
               ctx_->state);
    return out;
}

Bytes digestOf(DigestKind kind, ByteSpan bytes) {
    Digest d(kind);
    d.update(bytes);
    return d.finish();
}

} // namespace korvane
