#include "saveas.h"

#include "model/error.h"
#include "model/output_file.h"
#include "source/image_data.h"
#include "source/sparse/sparse_writer.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace korvane {

namespace {

// Block size of the sparse images made from plain ones.
constexpr uint32_t kSparseBlock = 4096;

// Writes the plain image beside the target, then its sparse form over it.
bool saveSparse(Timg& img, const FormatRow& row, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    OutputFile out(req.path);
    SaveRequest plain = req;
    plain.sparse = false;
    plain.path = req.path + ".plain-" + std::to_string(::getpid());
    struct Remove {
        std::string path;
        ~Remove() { std::remove(path.c_str()); }
    } remove{plain.path};
    if (!row.write(img, plain, rep, warnings))
        return false;
    std::unique_ptr<ImageData> data = ImageData::mapFile(plain.path);
    const uint64_t size = (data->size() + kSparseBlock - 1) / kSparseBlock * kSparseBlock;
    writeSparseImage(
        size, kSparseBlock, {{0, data->size()}}, {},
        [&](uint64_t offset, MutableByteSpan span) { data->readThrough(offset, span); }, out);
    out.commit();
    return true;
}

} // namespace

bool saveas(Timg& img, const SaveRequest& req, std::vector<Message>* warnings) {
    const FormatRow* row = writerOf(req.type);
    if (!row || !row->write)
        throw Error(msg("Korvane cannot write %1 images", req.type));
    JobReporter rep(img.onwk, row->saveFlag);
    rep.send(0, 0, 1, msg("Saving"));
    bool done = false;
    try {
        if (req.sparse && !row->writesSparse)
            done = saveSparse(img, *row, req, rep, warnings);
        else
            done = row->write(img, req, rep, warnings);
    } catch (...) {
        rep.send(0, 0, 6, msg("Done"));
        throw;
    }
    rep.send(0, 0, 6, msg("Done"));
    return done;
}

SaveRequest sameAsSource(const Timg& img, std::string path) {
    const SaveType* t = ownSaveType(img);
    if (!t)
        throw Error(
            msg("Korvane cannot write %1 images; choose a format with --to", img.formatName()));
    SaveRequest req;
    req.path = std::move(path);
    req.type = t->name;
    req.likeSource = true;
    req.sparse = readThroughSparse(img);
    return req;
}

} // namespace korvane
