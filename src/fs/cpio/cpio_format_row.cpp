#include "cpio_format_row.h"

#include "cpio_writer.h"
#include "ramdisk_codec.h"
#include "tcpio.h"

#include <archive.h>
#include <archive_entry.h>
#include <cctype>
#include <cstring>
#include <memory>

namespace korvane {

namespace {

using namespace cpio;

const SaveType kSaveTypes[] = {
    {"cpio", "cpio 归档(ramdisk)"},
};

const FormatOption kOptions[] = {
    {"ramdisk-compression", "ALG",
     "cpio: compression of the archive, gzip, lz4, lz4-legacy or none (default: as the "
     "source ramdisk, else none)",
     "gzip|lz4|lz4-legacy|none"},
};

constexpr uint64_t kLz4Probe = (8u << 20) + (64u << 10);

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

// The first bytes the compressed head unpacks to (what is there of them).
Bytes unpackedHead(ByteSpan head, Compression c) {
    std::unique_ptr<archive, ReadFree> a(archive_read_new());
    if (!a)
        return {};
    archive_read_support_format_raw(a.get());
    if (c == Compression::kGzip)
        archive_read_support_filter_gzip(a.get());
    else
        archive_read_support_filter_lz4(a.get());
    archive_entry* e = nullptr;
    if (archive_read_open_memory(a.get(), head.data(), head.size()) != ARCHIVE_OK ||
        archive_read_next_header(a.get(), &e) != ARCHIVE_OK)
        return {};
    Bytes out(512);
    const la_ssize_t n = archive_read_data(a.get(), out.data(), out.size());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// newc and crc headers begin with six ASCII digits and then hex fields; odc
// with octal ones; the binary form with 070707 as a 16-bit word.
const char* cpioForm(ByteSpan b) {
    if (b.size() >= 110 && std::memcmp(b.data(), "07070", 5) == 0 &&
        (b[5] == std::byte{'1'} || b[5] == std::byte{'2'})) {
        for (size_t i = 6; i < 110; ++i) {
            const char c = static_cast<char>(b[i]);
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return nullptr;
        }
        return "newc";
    }
    if (b.size() >= 76 && std::memcmp(b.data(), "070707", 6) == 0)
        return "odc";
    if (b.size() >= 26 && load16(b.data()) == 070707)
        return "binary";
    return nullptr;
}

Probe probeCpio(const ProbeInput& in) {
    const Compression c = compressionOf(in.head);
    if (c == Compression::kNone) {
        if (const char* form = cpioForm(in.head))
            return {kProbeStructure, msg("a %1 cpio header at byte 0", form)};
        return {kProbeNone, msg("no cpio header at byte 0, plain or compressed")};
    }
    // LZ4 gives nothing before a block is whole: its first block (8 MiB at
    // most in legacy framing, 4 MiB in frames) is read for it.
    Bytes more;
    ByteSpan packed = in.head;
    if (c != Compression::kGzip && in.source.size() > in.head.size()) {
        more = readBytes(in.source, 0,
                         static_cast<size_t>(std::min<uint64_t>(in.source.size(), kLz4Probe)));
        packed = more;
    }
    const Bytes inner = unpackedHead(packed, c);
    if (const char* form = cpioForm(inner))
        return {kProbeStructure,
                msg("a %1 stream that starts with a %2 cpio header", compressionName(c), form)};
    return {kProbeNone, msg("a %1 stream that holds no cpio archive", compressionName(c))};
}

std::unique_ptr<Timg> makeCpio(const OpenOptions&) {
    return std::make_unique<Tcpio>();
}

bool writeImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    return writeCpio(img, req.path, cpioParamsOf(img, req), rep, warnings);
}

} // namespace

const FormatRow& cpioFormatRow() {
    static const FormatRow row{
        .name = "cpio",
        .title = "cpio (ramdisk)",
        .role = FormatRole::kFilesystem,
        .probe = probeCpio,
        .make = makeCpio,
        .saveTypes = kSaveTypes,
        .write = writeImage,
        .options = kOptions,
    };
    return row;
}

} // namespace korvane
