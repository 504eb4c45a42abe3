#include "digest.h"

#include "error.h"

#include <openssl/evp.h>

namespace korvane {

namespace {

const EVP_MD* algorithm(DigestKind kind) {
    switch (kind) {
    case DigestKind::kSha1:
        return EVP_sha1();
    case DigestKind::kSha256:
        return EVP_sha256();
    case DigestKind::kSha512:
        return EVP_sha512();
    }
    return EVP_sha256();
}

} // namespace

struct Digest::Context {
    EVP_MD_CTX* md = nullptr;
    ~Context() { EVP_MD_CTX_free(md); }
};

size_t digestLength(DigestKind kind) {
    return static_cast<size_t>(EVP_MD_get_size(algorithm(kind)));
}

Digest::Digest(DigestKind kind) : ctx_(std::make_unique<Context>()), kind_(kind) {
    ctx_->md = EVP_MD_CTX_new();
    if (!ctx_->md || EVP_DigestInit_ex(ctx_->md, algorithm(kind), nullptr) != 1)
        throw Error("the digest library cannot start a digest");
}

Digest::~Digest() = default;

void Digest::update(ByteSpan bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(ctx_->md, bytes.data(), bytes.size()) != 1)
        throw Error("the digest library failed");
}

Bytes Digest::finish() {
    Bytes out(digestLength(kind_));
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx_->md, reinterpret_cast<unsigned char*>(out.data()), &n) != 1)
        throw Error("the digest library failed");
    out.resize(n);
    return out;
}

Bytes digestOf(DigestKind kind, ByteSpan bytes) {
    Digest d(kind);
    d.update(bytes);
    return d.finish();
}

} // namespace korvane
