#include "timg.h"

#include "error.h"

#include <limits>

namespace korvane {

Timg::Timg() = default;
Timg::~Timg() = default;

void Timg::DoWork(int64_t pos, int64_t max, int kind, const std::string& message, uint8_t flag) {
    if (onwk)
        onwk->report(pos, max, kind, message, flag);
}

void Timg::Init(std::unique_ptr<ImageData> data) {
    image_ = std::move(data);
    nodeTable.clear();
    root_.reset();
    warnings_.clear();
    maxObjId = 0;
    modified = false;
}

uint32_t Timg::newobjid() {
    if (maxObjId >= kObjIdLimit - 1)
        throw Error("no object id is left in this image: it already uses ids up to " +
                    std::to_string(maxObjId) + ", and new objects may not go beyond " +
                    std::to_string(kObjIdLimit - 1));
    ++maxObjId;
    if (nodeTable.size() <= maxObjId)
        nodeTable.resize(static_cast<size_t>(maxObjId) + 1, nullptr);
    return maxObjId;
}

void Timg::setNode(uint32_t id, Node* node) {
    if (id >= nodeTable.size()) {
        if (!node)
            return;
        nodeTable.resize(static_cast<size_t>(id) + 1, nullptr);
    }
    nodeTable[id] = node;
}

WorkFile& Timg::workfile() {
    if (!workfile_)
        workfile_ = std::make_unique<WorkFile>();
    return *workfile_;
}

void Timg::readAdded(const TImgEntry& entry, Bytes& buffer) {
    buffer = contentBuffer(entry.size);
    if (entry.size == 0)
        return;
    if (!workfile_)
        throw Error("the contents of " + entry.name + " are missing from the working file");
    workfile_->read(entry.dataPos, MutableByteSpan(buffer.data(), static_cast<size_t>(entry.size)));
}

Bytes contentBuffer(uint64_t size) {
    if (size == 0)
        return {};
    uint64_t rounded = (size + 1023) / 1024 * 1024;
    if (rounded > std::numeric_limits<size_t>::max() / 2)
        throw Error("file too large to hold in memory");
    return Bytes(static_cast<size_t>(rounded));
}

} // namespace korvane
