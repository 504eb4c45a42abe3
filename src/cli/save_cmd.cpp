#include "save_cmd.h"

#include "command.h"
#include "edit_cmd.h"
#include "extract_cmd.h"
#include "fs/registry.h"
#include "interrupt.h"
#include "model/error.h"
#include "model/output_file.h"
#include "transfer/addfiles.h"
#include "transfer/android_config.h"
#include "transfer/devtable.h"
#include "transfer/edit.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"
#include "transfer/tar_import.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>

namespace korvane::cli {

namespace {

// "none|yaffs|nand" -> {"none", "yaffs", "nand"}.
std::vector<std::string> splitChoices(const std::string& all) {
    std::vector<std::string> values;
    for (size_t at = 0; at <= all.size();) {
        const size_t bar = std::min(all.find('|', at), all.size());
        values.push_back(all.substr(at, bar - at));
        at = bar + 1;
    }
    return values;
}

// The first option of opts whose value is not one of the choices the
// writer gives it, or nullptr.
const FormatOption* wrongChoice(const FormatRow& writer, const FormatOptions& opts) {
    for (const FormatOption& fo : writer.options) {
        auto given = opts.find(fo.name);
        if (!fo.choices || given == opts.end())
            continue;
        const std::vector<std::string> values = splitChoices(fo.choices);
        if (std::find(values.begin(), values.end(), given->second) == values.end())
            return &fo;
    }
    return nullptr;
}

Message wrongChoiceMessage(const FormatRow& writer, const FormatOption& fo,
                           const std::string& value) {
    std::string list;
    for (const std::string& v : splitChoices(fo.choices))
        list += (list.empty() ? "" : ", ") + v;
    return msg("--%1 takes %2 for %3 images, not %4", fo.name, list, writer.title, value);
}

std::optional<uint32_t> octalPerm(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("01234567") != std::string::npos)
        return std::nullopt;
    return applyModeText(text, 0, false);
}

// --owner, --mode-dirs and --mode-files as overrides; throws Error when one is
// not valid.
TreeOverrides overridesOf(const PackOptions& pack) {
    TreeOverrides o;
    if (!pack.owner.empty()) {
        std::optional<OwnerIds> ids = parseOwner(pack.owner);
        if (!ids)
            throw Error(msg("--owner: not an owner (UID:GID, UID or :GID): %1", pack.owner));
        o.uid = ids->uid;
        o.gid = ids->gid;
    }
    if (!pack.modeDirs.empty() && !(o.dirPerm = octalPerm(pack.modeDirs)))
        throw Error(msg("--mode-dirs: not an octal mode: %1", pack.modeDirs));
    if (!pack.modeFiles.empty() && !(o.filePerm = octalPerm(pack.modeFiles)))
        throw Error(msg("--mode-files: not an octal mode: %1", pack.modeFiles));
    return o;
}

// The new image's tree from a folder: false (with the reasons on stderr) when
// anything could not be taken or the run was cancelled.
bool packFolder(Timg& img, const std::string& folder, const PackOptions& pack) {
    std::error_code ec;
    std::vector<std::string> paths;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        paths.push_back(it->path().string());
    if (ec)
        throw Error(msg("cannot read %1: %2", folder, systemMessage(ec.value())));
    std::sort(paths.begin(), paths.end());
    AddOptions add;
    add.keepAttributes = !pack.defaults;
    add.referToFiles = true; // the image is written right after
    if (add.keepAttributes)  // the root folder is the folder itself
        copyattributes(img, img.root()->entry.objId, folder);
    AddResult added;
    {
        InterruptCancels interrupt(img.cancel);
        added = addfiles(img, paths, img.root()->entry.objId, add);
    }
    if (added.cancelled)
        return false;
    for (const Message& line : added.errlist) // each names what it could not add
        tell(stderr, line);
    return added.errlist.empty();
}

// The new image's tree from an archive, as packFolder.
bool packArchive(Timg& img, const std::string& source) {
    TarImportResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = tarin(img, source, img.root()->entry.objId);
    }
    for (const Message& w : r.warnings)
        tell(stderr, msg("warning: %1", w));
    if (r.cancelled)
        return false;
    for (const Message& m : r.refused)
        tell(stderr, msg("cannot take %1", m));
    return r.refused.empty();
}

} // namespace

void addSaveOptions(CLI::App* cmd, SaveOptions& opt, bool toRequired, bool readsImage) {
    std::vector<std::string> types;
    for (const FormatRow& f : formats())
        for (const SaveType& t : f.saveTypes)
            if (!t.appOnly)
                types.push_back(t.name);
    auto* to = cmd->add_option("--to", opt.to,
                               toRequired ? "Format to write"
                                          : "Format to write (default: the image's own)")
                   ->check(CLI::IsMember(types));
    if (toRequired)
        to->required();
    cmd->add_flag("--sparse", opt.sparse, "Write an Android sparse image");
    // Every writer's options, each name once; a format that does not take
    // one refuses it when the save starts. Formats may share a name
    // (--block-size): the option then takes what any of them takes, and the
    // writer checks its own choices (saveRequest).
    struct Shared {
        const FormatOption* first = nullptr;
        std::string group;
        std::string help;
        std::vector<std::string> choices; // empty: any value
        bool anyValue = false;
    };
    std::vector<std::string> names;
    std::map<std::string, Shared> shared;
    for (const FormatRow& f : formats()) {
        for (const FormatOption& fo : f.options) {
            auto [it, fresh] = shared.try_emplace(fo.name);
            Shared& s = it->second;
            if (fresh) {
                names.push_back(fo.name);
                s.first = &fo;
                s.group = std::string(f.title) + " images";
                s.help = fo.help;
            } else {
                s.help += std::string("; ") + fo.help;
            }
            if (!fo.choices) {
                s.anyValue = true;
                continue;
            }
            for (const std::string& v : splitChoices(fo.choices))
                if (std::find(s.choices.begin(), s.choices.end(), v) == s.choices.end())
                    s.choices.push_back(v);
        }
    }
    std::map<std::string, CLI::Option*> added;
    for (const std::string& key : names) {
        const Shared& s = shared.at(key);
        const FormatOption& fo = *s.first;
        std::string flags = "--" + key;
        if (fo.outPrefix)
            flags = readsImage ? "--out-" + key : flags + ",--out-" + key;
        CLI::Option* o;
        if (fo.valueName) {
            o = cmd->add_option_function<std::string>(
                flags, [&opt, key](const std::string& v) { opt.options[key] = v; }, s.help);
            o->type_name(fo.valueName);
        } else {
            o = cmd->add_flag_callback(
                flags, [&opt, key] { opt.options[key] = ""; }, s.help);
        }
        o->group(s.group);
        if (!s.anyValue && !s.choices.empty())
            o->check(CLI::IsMember(s.choices));
        added[key] = o;
    }
    for (const FormatRow& f : formats()) {
        for (const FormatOption& fo : f.options) {
            if (!fo.excludes)
                continue;
            std::string all = fo.excludes;
            for (size_t at = 0; at <= all.size();) {
                size_t bar = std::min(all.find('|', at), all.size());
                auto other = added.find(all.substr(at, bar - at));
                if (other != added.end())
                    added[fo.name]->excludes(other->second);
                at = bar + 1;
            }
        }
    }
    // With --to given, a value the writer does not take is a usage error,
    // as any other wrong value of an option.
    cmd->parse_complete_callback([&opt] {
        const FormatRow* writer = opt.to.empty() ? nullptr : writerOf(opt.to);
        if (const FormatOption* fo = writer ? wrongChoice(*writer, opt.options) : nullptr)
            throw CLI::ValidationError(
                "--" + std::string(fo->name),
                wrongChoiceMessage(*writer, *fo, opt.options.at(fo->name)).english());
    });
}

SaveRequest saveRequest(const Timg& img, const SaveOptions& opt, bool likeSource) {
    SaveRequest req;
    if (opt.to.empty()) {
        req = sameAsSource(img, opt.out);
        req.likeSource = likeSource;
    } else {
        req.path = opt.out;
        req.type = opt.to;
        req.likeSource = likeSource;
        req.sparse = likeSource && readThroughSparse(img) && formatOf(img) == writerOf(opt.to);
    }
    req.sparse = req.sparse || opt.sparse;
    const FormatRow* writer = writerOf(req.type);
    for (const auto& [name, value] : opt.options) {
        const FormatOption* taken = nullptr;
        for (const FormatOption& fo : writer->options)
            if (name == fo.name)
                taken = &fo;
        if (!taken)
            throw Error(msg("--%1 is not an option of %2 images", name, writer->title));
    }
    if (const FormatOption* fo = wrongChoice(*writer, opt.options))
        throw Error(wrongChoiceMessage(*writer, *fo, opt.options.at(fo->name)));
    req.options = opt.options;
    // An image written to a block device fills it where the writer takes a
    // size and none was given: the space after a smaller image would be lost.
    const bool takesSize =
        std::any_of(writer->options.begin(), writer->options.end(),
                    [](const FormatOption& fo) { return fo.name == std::string("size"); });
    if (takesSize && !req.options.count("size"))
        if (const std::optional<uint64_t> device = outputDeviceSize(req.path))
            req.options["size"] = std::to_string(*device);
    return req;
}

namespace {

int saveReport(Timg& img, bool done, const std::vector<Message>& warnings,
               TerminalProgress& progress, const std::string& out) {
    (void)img;
    progress.clear();
    for (const Message& w : warnings)
        tell(stderr, msg("warning: %1", w));
    if (!done) {
        tell(stderr, msg("cancelled; %1 was not written", out));
        return 1;
    }
    return 0;
}

} // namespace

int saveImage(Timg& img, const SaveOptions& opt, TerminalProgress& progress, bool likeSource) {
    const SaveRequest req = saveRequest(img, opt, likeSource);
    img.onwk = &progress;
    bool done;
    std::vector<Message> warnings;
    {
        InterruptCancels interrupt(img.cancel);
        done = saveas(img, req, &warnings);
    }
    return saveReport(img, done, warnings, progress, opt.out);
}

int saveChain(ImageChain& chain, const SaveOptions& opt, TerminalProgress& progress,
              bool likeSource) {
    if (chain.depth() == 1)
        return saveImage(chain.top(), opt, progress, likeSource);
    // Options that only an image around the top takes are its writer's.
    SaveOptions topOpt = opt;
    FormatOptions around;
    const FormatRow* topWriter =
        writerOf(opt.to.empty() ? sameAsSource(chain.top(), "").type : opt.to);
    for (size_t level = 0; level + 1 < chain.depth(); ++level) {
        const SaveType* t = ownSaveType(chain.at(level));
        const FormatRow* w = t ? writerOf(t->name) : nullptr;
        for (const FormatOption& fo : w ? w->options : std::span<const FormatOption>{}) {
            bool topTakes = false;
            for (const FormatOption& tf :
                 topWriter ? topWriter->options : std::span<const FormatOption>{})
                topTakes = topTakes || std::string(tf.name) == fo.name;
            auto it = topOpt.options.find(fo.name);
            if (it != topOpt.options.end() && !topTakes) {
                around[it->first] = it->second;
                topOpt.options.erase(it);
            }
        }
    }
    SaveRequest req = saveRequest(chain.top(), topOpt, likeSource);
    req.options.insert(around.begin(), around.end());
    for (size_t level = 0; level < chain.depth(); ++level)
        chain.at(level).onwk = &progress;
    bool done;
    std::vector<Message> warnings;
    {
        InterruptCancels interrupt(chain.top().cancel);
        done = chain.save(req, &warnings);
    }
    return saveReport(chain.top(), done, warnings, progress, opt.out);
}

int convertCommand(ImageChain& chain, const SaveOptions& opt, TerminalProgress& progress) {
    return saveChain(chain, opt, progress, true);
}

void addAndroidOptions(CLI::App* cmd, AndroidOptions& opt) {
    const std::string group = "Android build metadata";
    cmd->add_option("--fs-config", opt.fsConfig,
                    "Set owners, modes and capabilities from this fs_config file (the last "
                    "line of a path wins)")
        ->group(group);
    cmd->add_option("--file-contexts", opt.fileContexts,
                    "Set SELinux labels from this file_contexts file (the last matching line "
                    "wins)")
        ->group(group);
    cmd->add_option("--mount-point", opt.mountPoint,
                    "Where the image is mounted on the device (/system): the prefix of the "
                    "paths in both files")
        ->group(group);
}

void applyAndroidOptions(Timg& img, const AndroidOptions& opt) {
    if (opt.fsConfig.empty() && opt.fileContexts.empty())
        return;
    std::optional<FsConfig> fs;
    std::optional<FileContexts> fc;
    if (!opt.fsConfig.empty())
        fs = FsConfig::load(opt.fsConfig);
    if (!opt.fileContexts.empty())
        fc = FileContexts::load(opt.fileContexts);
    const AndroidConfigResult r =
        applyAndroidConfig(img, fs ? &*fs : nullptr, fc ? &*fc : nullptr, opt.mountPoint);
    if (r.unlisted > 0)
        tell(stderr, msg("warning: %1 objects have no fs_config line and keep their own owner "
                         "and mode (the first: %2)",
                         r.unlisted, r.firstUnlisted));
}

int packCommand(const std::string& source, const SaveOptions& opt, const PackOptions& pack,
                const AndroidOptions& android, TerminalProgress& progress) {
    std::error_code ec;
    const bool folder = std::filesystem::is_directory(source, ec);
    if (!folder && source != "-" && !std::filesystem::exists(source, ec))
        throw Error(msg("%1 does not exist", source));
    if (!folder && pack.defaults)
        throw Error("--defaults is for folders; an archive gives every object its attributes");
    const TreeOverrides overrides = overridesOf(pack);

    auto img = newimage(&progress);
    const bool taken = folder ? packFolder(*img, source, pack) : packArchive(*img, source);
    progress.clear();
    // All or nothing: an image without some of the source's objects is not
    // the image that was asked for.
    if (!taken) {
        tell(stderr, img->cancel.load() ? msg("cancelled; %1 was not written", opt.out)
                                        : msg("%1 was not written", opt.out));
        return 1;
    }
    overrideAttributes(*img, overrides);
    if (!pack.devtable.empty())
        devtable(*img, pack.devtable);
    applyAndroidOptions(*img, android);
    return saveImage(*img, opt, progress, false);
}

void addSaveCommands(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::string source;
        OpenOptions open;
        SaveOptions save;
        PackOptions pack;
        AndroidOptions android;
        bool force = false; // convert over IN read with warnings
    };
    auto o = std::make_shared<Options>();

    if (auto* convert =
            addCommand(app, "convert", "Save an image as a new image of a given format")) {
        convert->add_option("IN", o->image, "Image to read")->required();
        convert->add_option("OUT", o->save.out, "Image to write (replaced when complete)")
            ->required();
        addSaveOptions(convert, o->save, false, true);
        addOpenOptions(convert, o->open);
        addAndroidOptions(convert, o->android);
        convert->add_flag("--force", o->force,
                          "Save over IN (OUT naming the same file) even when it was read with "
                          "warnings (what could not be read is lost)");
        out.push_back({convert, [o](Context& ctx) {
                           const std::optional<FileIdentity> opened = fileIdentity(o->image);
                           ImageChain& chain = openImage(ctx, o->image, o->open);
                           refuseUnsafeInPlace(chain, opened, o->save.out, o->force);
                           applyAndroidOptions(chain.top(), o->android);
                           return convertCommand(chain, o->save, ctx.progress);
                       }});
    }

    if (auto* pack = addCommand(
            app, "pack",
            "Make a new image of a folder's contents or of an archive (tar, cpio, ...)")) {
        pack->add_option("SOURCE", o->source,
                         "Folder whose contents become the image's root, or an archive (- for "
                         "standard input)")
            ->required();
        pack->add_option("OUT", o->save.out, "Image to write (replaced when complete)")->required();
        addSaveOptions(pack, o->save, true, false);
        pack->add_flag("--defaults", o->pack.defaults,
                       "Give every object mode 0777, owner 0, group 0 and the current time "
                       "instead of its own (folders only)");
        pack->add_option("--devtable", o->pack.devtable,
                         "Device table (genext2fs/Buildroot format) applied before saving");
        pack->add_option("--owner", o->pack.owner, "Give every object this owner (UID:GID)");
        pack->add_option("--mode-dirs", o->pack.modeDirs,
                         "Give every folder these permission bits (octal)");
        pack->add_option("--mode-files", o->pack.modeFiles,
                         "Give every regular file these permission bits (octal)");
        addAndroidOptions(pack, o->android);
        out.push_back({pack, [o](Context& ctx) {
                           return packCommand(o->source, o->save, o->pack, o->android,
                                              ctx.progress);
                       }});
    }
}

} // namespace korvane::cli
