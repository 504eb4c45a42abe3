#include "checksums.h"

#include <QCryptographicHash>
#include <algorithm>

namespace korvane::ui {

std::optional<Checksums> computeChecksums(const ContentReader& reader,
                                          const std::atomic<bool>& cancel,
                                          const std::function<void(uint64_t)>& progress) {
    constexpr size_t kPiece = 1u << 20;
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QCryptographicHash md5(QCryptographicHash::Md5);
    Bytes buffer(kPiece);
    for (uint64_t at = 0; at < reader.size;) {
        if (cancel)
            return std::nullopt;
        const auto want = static_cast<size_t>(std::min<uint64_t>(kPiece, reader.size - at));
        const size_t got = reader.read(at, MutableByteSpan(buffer.data(), want));
        if (got == 0)
            break;
        const QByteArrayView piece(reinterpret_cast<const char*>(buffer.data()),
                                   static_cast<qsizetype>(got));
        sha.addData(piece);
        md5.addData(piece);
        at += got;
        if (progress)
            progress(at);
    }
    return Checksums{QString::fromLatin1(sha.result().toHex()),
                     QString::fromLatin1(md5.result().toHex())};
}

} // namespace korvane::ui
