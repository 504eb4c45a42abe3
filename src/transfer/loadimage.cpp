#include "loadimage.h"

#include "formats.h"
#include "model/error.h"
#include "yaffs2/tyaffs2obj.h"
#include "yaffs2/yaffs2_format.h"

#include <ctime>

namespace korvane {

namespace {

// "PATH: " before the reader's message, its places moved up by one, so the
// message can still be translated piece by piece.
Message prefixed(const std::string& path, const Message& m) {
    Message out{"%1: ", {path}};
    for (size_t i = 0; i < m.text.size(); ++i) {
        const char c = m.text[i], d = i + 1 < m.text.size() ? m.text[i + 1] : '\0';
        if (c == '%' && d == '%') {
            out.text += "%%";
            ++i;
        } else if (c == '%' && d >= '1' && d <= '8') {
            out.text += '%';
            out.text += static_cast<char>(d + 1);
            ++i;
        } else {
            out.text += c;
        }
    }
    out.args.insert(out.args.end(), m.args.begin(), m.args.end());
    return out;
}

} // namespace

std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink, const OpenOptions& opt) {
    std::unique_ptr<ImageData> data = ImageData::mapFile(path);
    if (data->size() < 4)
        throw Error(msg("%1 is too short to be an image (%2 bytes)", path, data->size()));
    const ImageReader* reader = chooseReader(data->span(), opt);
    if (!reader)
        throw Error(msg("%1 is not an image Korvane can read", path));
    std::unique_ptr<Timg> img = reader->make(opt);
    img->onwk = sink;
    try {
        img->Init(std::move(data));
        img->Open();
    } catch (const Error& e) {
        throw Error(prefixed(path, e.message()));
    }
    return img;
}

Bytes newImageChunk(uint32_t now) {
    using namespace yaffs2;
    Bytes chunk(kChunkSize, std::byte{0});
    std::fill(chunk.begin(), chunk.begin() + kDataSize, std::byte{0x01});
    ObjectHeader h;
    h.type = kHdrDirectory;
    h.parent = kObjIdRoot;
    h.mode = 040755;
    h.atime = h.mtime = h.ctime = now;
    encodeHeader(h, chunk.data(), std::byte{0x01});
    storeTags(chunk.data() + kTagOffsetPlain, {kSeqLowest, kObjIdRoot, 0, 0xFFFF});
    return chunk;
}

std::unique_ptr<Timg> newimage(WorkSink* sink) {
    auto img = std::make_unique<Tyaffs2obj>();
    img->onwk = sink;
    img->Init(ImageData::fromBytes(newImageChunk(static_cast<uint32_t>(std::time(nullptr)))));
    img->Open();
    return img;
}

} // namespace korvane
