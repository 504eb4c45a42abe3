// The one table of the formats Korvane reads and writes: byte layers (an
// Android sparse image, a NAND dump's spare areas), containers (formats whose
// content is a list of named members) and filesystems. Each row says how the
// format probes, how it opens, which save types it offers, how it writes and
// which options its writer takes. Opening, saving, the command line and the
// app's save dialog read this table; nothing else asks which format an image
// is. Adding a format is a folder of its own and a row here.
#pragma once

#include "format_options.h"
#include "model/timg.h"
#include "open_options.h"
#include "probe.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

enum class FormatRole : uint8_t {
    kLayer,      // bytes in another form: opening gives the bytes it holds
    kContainer,  // a list of named members, each a byte source (a Timg of members)
    kFilesystem, // a tree of objects
};

// A choice a writer takes. On the command line it is --NAME (with a value
// when valueName is set); in a save request it is options[NAME].
struct FormatOption {
    const char* name;
    const char* valueName; // "N", "ALG[,LEVEL]"; nullptr for a flag
    const char* help;      // English, for --help
    // The values it takes, "|"-separated ("none|yaffs|nand"); nullptr for any.
    const char* choices = nullptr;
    // Named --out-NAME on commands that read an image too, where --NAME says
    // how the image is read (the YAFFS2 layout options).
    bool outPrefix = false;
    // Options it cannot be given with, "|"-separated.
    const char* excludes = nullptr;
};

// A type of the save dialog and a value of --to.
struct SaveType {
    const char* name;  // "ext4": what --to names
    const char* label; // "EXT4 镜像": the save dialog's type (the app translates it)
    // Offered by the app only (a variant whose choices come from its
    // settings dialog, such as YAFFS2 with a layout picked there).
    bool appOnly = false;
};

// What a save is to write.
struct SaveRequest {
    std::string path;
    std::string type;      // a SaveType's name
    FormatOptions options; // the writer's choices
    // Keep what the image being saved says of itself (geometry, layout,
    // compression) where it is of the same format and no option says
    // otherwise.
    bool likeSource = false;
    bool sparse = false; // write an Android sparse image
};

struct FormatRow {
    const char* name;  // "ext", "yaffs2", "sparse": what --format names
    const char* title; // "EXT2/3/4", shown where formats are listed
    FormatRole role;
    Probe (*probe)(const ProbeInput&);
    // Layers: the bytes the layer holds. Throws Error.
    std::unique_ptr<ImageSource> (*unwrap)(std::shared_ptr<const ImageSource> bytes) = nullptr;
    // Containers and filesystems: a new image object, to be given its bytes
    // (Init) and read (Open).
    std::unique_ptr<Timg> (*make)(const OpenOptions& opt) = nullptr;
    // What its writer writes, in the order the save dialog offers them.
    std::span<const SaveType> saveTypes = {};
    // The save type that keeps an image of this format as it is (nullptr:
    // the first of saveTypes; nothing when there are none).
    const char* (*ownSaveType)(const Timg& img) = nullptr;
    // Writes img's tree as req.type. Returns false when the image's cancel
    // flag stopped it; nothing is left behind then. Throws Error. What the
    // format holds only in part is added to warnings, naming the object.
    bool (*write)(Timg& img, const SaveRequest& req, JobReporter& rep,
                  std::vector<Message>* warnings) = nullptr;
    std::span<const FormatOption> options = {};
    // The reader walks its bytes by pointer: a source that is not in memory
    // in one piece (a member, a sparse image) is copied into a file first.
    bool needsOnePiece = false;
    // Its images' describe() has the facts `info` prints after Init alone,
    // from the headers: `info` leaves the walk of the tree (Open) out.
    bool describesFromHeaders = false;
    // The job flag of its saves' work events.
    uint8_t saveFlag = kFlagSave;
    // The writer makes Android sparse images itself; for the others a
    // sparse save writes the plain image first and converts it.
    bool writesSparse = false;
    // The app's page of "保存设置" for this format's choices ("yaffs2",
    // "ext", or "" for the options above as a form).
    const char* settingsPage = "";
    // A new, empty image of this format holding only its root (nullptr: the
    // format cannot start one).
    std::unique_ptr<Timg> (*makeEmpty)() = nullptr;
    // Its probe is a statistic over the contents, which scores below
    // kProbeStructure and costs milliseconds: it is left out when another
    // probe has verified the bytes (it could neither win nor come close).
    bool statisticalProbe = false;
};

std::span<const FormatRow> formats();
const FormatRow* formatNamed(std::string_view name);
// The row an open image was read by (nullptr for none, e.g. a bare tree).
const FormatRow* formatOf(const Timg& img);
// The row whose writer writes save type name.
const FormatRow* writerOf(std::string_view saveType);
const SaveType* saveTypeNamed(std::string_view name);
// The save type that keeps img in its own format; nullptr when its format
// has no writer.
const SaveType* ownSaveType(const Timg& img);

// Whether img's bytes came through an Android sparse layer, so that saving it
// like the source writes a sparse image again.
bool readThroughSparse(const Timg& img);

// The empty image Korvane starts with ("新建", and pack's tree before it is
// saved).
std::unique_ptr<Timg> makeEmptyImage();

// What every probe says of the bytes, best first (rows that answer 0 are
// left out). Layers and containers take part like filesystems.
struct ProbeResult {
    const FormatRow* format;
    Probe probe;
};
std::vector<ProbeResult> probeAll(const ImageSource& src, const OpenOptions& opt);

} // namespace korvane
