#include "save_as.h"

#include "fs/yaffs2/yaffs2_format_row.h"
#include "support/save_as.h"

namespace korvane::test {

SaveRequest saveRequest(const std::string& path, const std::string& type, const SaveParams& params,
                        const ExtSaveParams& ext) {
    SaveRequest req;
    req.path = path;
    req.type = type;
    if (type.rfind("yaffs2", 0) == 0) {
        req.options = yaffs2LayoutOptions(params.layout);
        req.sparse = ext.sparse;
        return req;
    }
    req.likeSource = ext.likeSource;
    req.sparse = ext.sparse;
    FormatOptions& o = req.options;
    if (ext.blockSize)
        o["block-size"] = std::to_string(ext.blockSize);
    if (ext.inodeSize)
        o["inode-size"] = std::to_string(ext.inodeSize);
    if (ext.inodes)
        o["inodes"] = std::to_string(ext.inodes);
    if (ext.sizeFromTree)
        o["size"] = "auto";
    else if (ext.size)
        o["size"] = std::to_string(ext.size);
    if (ext.label)
        o["label"] = *ext.label;
    if (ext.uuid)
        o["uuid"] = uuidText(*ext.uuid);
    return req;
}

bool saveas(Timg& img, const std::string& path, const std::string& type, const SaveParams& params,
            std::vector<Message>* warnings) {
    return korvane::saveas(img, saveRequest(path, type, params), warnings);
}

bool saveas(Timg& img, const std::string& path, const std::string& type, const SaveParams& params,
            const ExtSaveParams& ext, std::vector<Message>* warnings) {
    return korvane::saveas(img, saveRequest(path, type, params, ext), warnings);
}

} // namespace korvane::test
