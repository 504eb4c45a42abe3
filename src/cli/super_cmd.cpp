// korvane-cli pack-super: a super image from partition images, as lpmake
// builds one.
#include "command.h"
#include "container/super/super_build.h"
#include "fs/format_options.h"
#include "interrupt.h"
#include "model/error.h"
#include "source/image_data.h"

#include <map>

namespace korvane::cli {

namespace {

struct PackSuperOptions {
    std::string out;
    std::string deviceSize;
    uint32_t metadataSize = 65536;
    uint32_t slots = 2;
    uint32_t blockSize = 4096;
    std::string alignment = "1M";
    std::string deviceName = "super";
    std::vector<std::string> groups;
    std::vector<std::string> partitions;
    std::vector<std::string> images;
    bool sparse = false;
    bool virtualAb = false;
};

std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = 0; at <= text.size();) {
        const size_t colon = std::min(text.find(':', at), text.size());
        out.push_back(text.substr(at, colon - at));
        at = colon + 1;
    }
    return out;
}

uint64_t sizeOf(const std::string& what, const std::string& text) {
    const std::optional<uint64_t> v = parseSize(text);
    if (!v)
        throw Error(msg("%1: not a size: %2", what, text));
    return *v;
}

// The bytes of an image file, through any byte layer it is wrapped in (an
// Android sparse image is taken as the image it expands to, as lpmake does).
std::shared_ptr<const ImageSource> imageBytes(const std::string& path) {
    std::shared_ptr<const ImageSource> bytes = ImageData::mapFile(path);
    for (size_t depth = 0; depth < kMaxLayers; ++depth) {
        const std::vector<ProbeResult> probes = probeAll(*bytes, {});
        if (probes.empty() || probes.front().format->role != FormatRole::kLayer)
            break;
        bytes = probes.front().format->unwrap(std::move(bytes));
    }
    return bytes;
}

int packSuperCommand(Context& ctx, const PackSuperOptions& o) {
    lp::SuperShape shape;
    shape.geometry.metadataMaxSize = o.metadataSize;
    shape.geometry.slotCount = o.slots;
    shape.geometry.logicalBlockSize = o.blockSize;
    shape.alignment = static_cast<uint32_t>(sizeOf("--alignment", o.alignment));
    shape.deviceName = o.deviceName;
    shape.virtualAb = o.virtualAb;
    if (o.deviceSize != "auto")
        shape.deviceSize = sizeOf("--device-size", o.deviceSize);
    for (const std::string& g : o.groups) {
        const std::vector<std::string> f = fields(g);
        if (f.size() != 2)
            throw Error(msg("--group takes NAME:MAXSIZE, not %1", g));
        shape.groups.push_back({f[0], 0, sizeOf("--group " + f[0], f[1])});
    }
    std::map<std::string, std::string> images;
    for (const std::string& i : o.images) {
        const size_t eq = i.find('=');
        if (eq == std::string::npos || eq == 0)
            throw Error(msg("--image takes NAME=FILE, not %1", i));
        images[i.substr(0, eq)] = i.substr(eq + 1);
    }
    for (const std::string& p : o.partitions) {
        const std::vector<std::string> f = fields(p);
        if (f.size() < 3 || f.size() > 4)
            throw Error(msg("--partition takes NAME:ATTRIBUTES:SIZE[:GROUP], not %1", p));
        lp::PackPartition part;
        part.name = f[0];
        part.attributes = lp::parseAttributes(f[1]);
        part.size = f[2] == "auto" ? 0 : sizeOf("--partition " + f[0], f[2]);
        if (f.size() == 4)
            part.group = f[3];
        auto it = images.find(part.name);
        if (it != images.end()) {
            part.image = imageBytes(it->second);
            part.imageName = it->second;
            images.erase(it);
        }
        shape.partitions.push_back(std::move(part));
    }
    if (!images.empty())
        throw Error(msg("--image names %1, which no --partition gives", images.begin()->first));
    std::atomic<int> cancel{0};
    JobReporter rep(&ctx.progress, kFlagSave);
    rep.send(0, 0, 1, msg("Saving"));
    bool done;
    {
        InterruptCancels interrupt(cancel);
        done = lp::packSuper(std::move(shape), o.out, o.sparse, rep, cancel);
    }
    rep.send(0, 0, 6, msg("Done"));
    ctx.progress.clear();
    if (!done) {
        tell(stderr, msg("cancelled; %1 was not written", o.out));
        return kExitError;
    }
    return 0;
}

} // namespace

void addSuperCommand(CLI::App& app, Commands& out) {
    auto o = std::make_shared<PackSuperOptions>();
    auto* cmd = addCommand(app, "pack-super",
                           "Build an Android super image from partition images (as lpmake does)");
    if (!cmd)
        return;
    cmd->add_option("-o,--output", o->out, "The super image to write")->required();
    cmd->add_option("--device-size", o->deviceSize,
                    "Size of the super device (512M, 4G ...), or auto for what the partitions "
                    "and the groups' maximum sizes need")
        ->required();
    cmd->add_option("--metadata-size", o->metadataSize,
                    "Bytes each copy of the metadata may take (default 65536)");
    cmd->add_option("--metadata-slots", o->slots, "Metadata slots (default 2)");
    cmd->add_option("--block-size", o->blockSize, "Logical block size (default 4096)");
    cmd->add_option("--alignment", o->alignment, "Where partitions start (default 1M)");
    cmd->add_option("--super-name", o->deviceName, "Name of the block device (default super)");
    cmd->add_option("--group", o->groups, "A partition group, NAME:MAXSIZE (0: no maximum)")
        ->allow_extra_args(false);
    cmd->add_option("--partition", o->partitions,
                    "A partition, NAME:ATTRIBUTES:SIZE[:GROUP]; ATTRIBUTES is none or a list of "
                    "readonly, slot-suffixed, updated, disabled; SIZE may be auto with --image")
        ->allow_extra_args(false);
    cmd->add_option("--image", o->images, "The contents of a partition, NAME=FILE")
        ->allow_extra_args(false);
    cmd->add_flag("--sparse", o->sparse, "Write an Android sparse image");
    cmd->add_flag("--virtual-ab", o->virtualAb,
                  "Metadata 10.2 with the virtual A/B flag, as lpmake --virtual-ab");
    out.push_back({cmd, [o](Context& ctx) { return packSuperCommand(ctx, *o); }});
}

} // namespace korvane::cli
