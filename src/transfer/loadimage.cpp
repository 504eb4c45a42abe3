#include "loadimage.h"

#include "formats.h"
#include "model/error.h"
#include "fs/yaffs2/header.h"
#include "fs/yaffs2/tags.h"
#include "fs/yaffs2/tyaffs2obj.h"
#include "source/image_data.h"

#include <ctime>

namespace korvane {

std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink, const OpenOptions& opt) {
    std::unique_ptr<ImageData> data = ImageData::mapFile(path);
    if (data->size() < 4)
        throw Error(msg("%1 is too short to be an image (%2 bytes)", path, data->size()));
    std::unique_ptr<Timg> img;
    try {
        ChosenFormat chosen = chooseFormat(std::move(data), opt);
        if (!chosen.reader)
            throw Error(msg("not an image Korvane can read"));
        img = chosen.reader->make(opt);
        img->onwk = sink;
        img->Init(std::move(chosen.source));
        img->Open();
    } catch (const Error& e) {
        throw Error(msg("%1: %2", path, e.message()));
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
    std::byte* tags = chunk.data() + kTagOffsetPlain;
    storeTags(tags, {kSeqLowest, kObjIdRoot, 0, 0xFFFF});
    storeTagEcc(tags + kTagsSize, computeTagEcc(tags));
    return chunk;
}

std::unique_ptr<Timg> newimage(WorkSink* sink) {
    auto img = std::make_unique<Tyaffs2obj>();
    img->setLayout(yaffs2::kDefaultLayout);
    img->onwk = sink;
    img->Init(ImageData::fromBytes(newImageChunk(static_cast<uint32_t>(std::time(nullptr)))));
    img->Open();
    return img;
}

} // namespace korvane
