#include "loadimage.h"

#include "model/error.h"
#include "source/image_data.h"
#include "source/materialize.h"

namespace korvane {

namespace {

// The row opt.format names; throws Error for a name no row has.
const FormatRow* forcedFormat(const OpenOptions& opt) {
    if (opt.format.empty())
        return nullptr;
    const FormatRow* r = formatNamed(opt.format);
    if (!r) {
        std::string names;
        for (const FormatRow& f : formats())
            names += (names.empty() ? "" : ", ") + std::string(f.name);
        throw Error(msg("no format is named %1; the formats are %2", opt.format, names));
    }
    return r;
}

// Why nothing reads the bytes: what each reader looked for and missed.
Message refusal(const ImageSource& src, const OpenOptions& opt) {
    const Bytes head =
        readBytes(src, 0, static_cast<size_t>(std::min<uint64_t>(src.size(), kProbeHeadBytes)));
    const ProbeInput in{src, head, opt};
    Message why;
    for (const FormatRow& r : formats()) {
        if (r.role == FormatRole::kLayer)
            continue;
        Message m = r.probe(in).why;
        why = why.empty() ? std::move(m) : msg("%1; %2", why, m);
    }
    return msg("not an image Korvane can read: %1", why);
}

} // namespace

Identification identify(std::shared_ptr<const ImageSource> bytes, const OpenOptions& opt) {
    Identification id;
    const FormatRow* forced = forcedFormat(opt);
    for (size_t depth = 0;; ++depth) {
        id.probes = probeAll(*bytes, opt);
        if (id.probes.empty() || id.probes.front().format->role != FormatRole::kLayer ||
            depth == kMaxLayers ||
            (forced && id.probes.front().format == forced && forced->role != FormatRole::kLayer))
            return id;
        const FormatRow* layer = id.probes.front().format;
        bytes = layer->unwrap(std::move(bytes));
        id.layers.push_back(layer->name);
    }
}

std::unique_ptr<Timg> openBytes(std::shared_ptr<const ImageSource> bytes, WorkSink* sink,
                                const OpenOptions& opt) {
    const FormatRow* forced = forcedFormat(opt);
    std::vector<std::string> layers;
    for (size_t depth = 0;; ++depth) {
        std::vector<ProbeResult> probes = probeAll(*bytes, opt);
        const FormatRow* row = probes.empty() ? nullptr : probes.front().format;
        if (forced && (!row || row->role != FormatRole::kLayer || row == forced))
            row = forced;
        if (!row)
            throw Error(refusal(*bytes, opt));
        if (row->role == FormatRole::kLayer) {
            if (depth == kMaxLayers)
                throw Error(msg("the image is wrapped in more than %1 layers", kMaxLayers));
            bytes = row->unwrap(std::move(bytes));
            layers.push_back(row->name);
            if (row == forced)
                forced = nullptr;
            continue;
        }
        std::unique_ptr<Timg> img = row->make(opt);
        img->setFormatId(row->name);
        img->setLayers(std::move(layers));
        img->onwk = sink;
        if (row->needsOnePiece)
            bytes = inOnePiece(std::move(bytes), &img->cancel, opt.copyLimit);
        img->Init(std::move(bytes));
        if (!opt.factsOnly || !row->describesFromHeaders)
            img->Open();
        return img;
    }
}

std::unique_ptr<Timg> loadimage(const std::string& path, WorkSink* sink, const OpenOptions& opt) {
    std::unique_ptr<ImageData> data = ImageData::mapFile(path);
    if (data->size() < 4)
        throw Error(msg("%1 is too short to be an image (%2 bytes)", path, data->size()));
    try {
        return openBytes(std::move(data), sink, opt);
    } catch (const Error& e) {
        throw Error(msg("%1: %2", path, e.message()));
    }
}

std::unique_ptr<Timg> newimage(WorkSink* sink) {
    std::unique_ptr<Timg> img = makeEmptyImage();
    img->onwk = sink;
    img->Open();
    return img;
}

} // namespace korvane
