#include "fuzz_support.h"

#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "model/tree_order.h"
#include "source/image_data.h"
#include "transfer/loadimage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace korvane::fuzz {

namespace {

// Objects up to this size are also read in one piece and compared with what
// the pieces gave.
constexpr uint64_t kWholeCompare = 64u << 10;

// Results go here so that the calls making them stay in the build.
volatile size_t kept = 0;

void keep(std::string_view s) {
    kept = kept + s.size();
}

[[noreturn]] void broken(const TImgEntry& e, const char* what) {
    std::fprintf(stderr, "fuzz: object %u (\"%s\", %llu bytes): %s\n", e.objId, e.name.c_str(),
                 static_cast<unsigned long long>(e.size), what);
    std::abort();
}

struct Budget {
    uint64_t bytes = kReadBudget;
    uint64_t ranges = kRangeBudget;

    bool spent() const { return bytes == 0 || ranges == 0; }
};

bool allZero(ByteSpan s) {
    return std::all_of(s.begin(), s.end(), [](std::byte b) { return b == std::byte{0}; });
}

// The texts the list, the properties dialog and `ls` build for an object.
void touchTexts(const Timg& img, const TImgEntry& e, size_t childCount) {
    const Node* target = e.objType == kTypeHardlink ? img.nodeFor(e.linkInfo) : nullptr;
    const std::string linkName = target ? target->text : std::string();
    keep(modetext(e.mode, 0));
    keep(permissiontext(e.mode));
    keep(listsizetext(e));
    keep(sizetext(e.size).english());
    keep(listtypetext(e, childCount, linkName).english());
    keep(proptypetext(e, linkName).english());
    kept = kept + fileTypeBits(e) + static_cast<size_t>(iconFor(e, e.name));
    kept = kept + safeFileName(e.name);
}

// Reads e's contents as extraction and `cat` do: data ranges from nextData,
// each in pieces of kPieceSize, holes passed over. Checks every answer against
// the promises of timg.h, and for a small object that the pieces equal one
// read of the whole.
void readObject(Timg& img, const TImgEntry& e, Budget& budget) {
    const uint64_t total = img.contentSize(e);
    Bytes piece(kPieceSize);
    const bool compare = total <= kWholeCompare;
    Bytes streamed(compare ? static_cast<size_t>(total) : 0);
    bool complete = true;
    uint64_t pos = 0;
    while (pos < total) {
        if (budget.spent()) {
            complete = false;
            break;
        }
        --budget.ranges;
        const ContentRange r = img.nextData(e, pos);
        if (r.begin < pos || r.end < r.begin || r.end > total)
            broken(e, "nextData answered a range outside what was asked");
        if (r.begin == r.end) {
            if (r.begin != total)
                broken(e, "nextData answered an empty range before the end");
            break;
        }
        if (r.begin > pos) {
            const auto n = static_cast<size_t>(std::min<uint64_t>(piece.size(), r.begin - pos));
            const MutableByteSpan hole(piece.data(), n);
            if (img.ReadRange(e, pos, hole) != n || !allZero(hole))
                broken(e, "a hole does not read as zeros");
        }
        for (uint64_t at = r.begin; at < r.end;) {
            if (budget.bytes == 0) {
                complete = false;
                break;
            }
            const auto want = static_cast<size_t>(std::min<uint64_t>(piece.size(), r.end - at));
            const size_t got = img.ReadRange(e, at, MutableByteSpan(piece.data(), want));
            if (got != want)
                broken(e, "ReadRange came back short inside the contents");
            if (compare)
                std::memcpy(streamed.data() + at, piece.data(), got);
            at += got;
            budget.bytes -= std::min<uint64_t>(budget.bytes, got);
        }
        pos = r.end;
    }
    if (total > 0 && img.ReadRange(e, total - 1, MutableByteSpan(piece.data(), 1)) != 1)
        broken(e, "the last byte cannot be read");
    if (img.ReadRange(e, total, MutableByteSpan(piece)) != 0)
        broken(e, "a read at the end gave bytes");
    if (compare && complete && total > 0) {
        Bytes whole(static_cast<size_t>(total));
        if (img.ReadRange(e, 0, MutableByteSpan(whole)) != whole.size())
            broken(e, "a read of the whole came back short");
        if (whole != streamed)
            broken(e, "reading in pieces gives other bytes than reading the whole");
    }
}

// Every node's children point back at it, and the node table leads to every
// node by its id.
void checkTree(const Timg& img) {
    const Node* root = img.root();
    if (!root)
        broken(TImgEntry{}, "the image opened without a tree");
    if (!root->isDirectory())
        broken(root->entry, "the root is not a directory");
    forEachPreorder(img.root(), [&](Node* n) {
        for (const auto& c : n->children)
            if (c->parent != n)
                broken(c->entry, "a child does not point back at its parent");
        if (img.nodeFor(n->entry.objId) != n)
            broken(n->entry, "the node table does not lead to the node by its id");
    });
}

} // namespace

std::unique_ptr<Timg> openImage(const char* readerName, const uint8_t* data, size_t size) {
    const FormatRow* reader = formatNamed(readerName);
    if (!reader || !reader->make) {
        std::fprintf(stderr, "fuzz: no image reader is called %s\n", readerName);
        std::abort();
    }
    Bytes bytes(size);
    if (size > 0)
        std::memcpy(bytes.data(), data, size);
    const OpenOptions opt;
    // The reader's bid reads the hostile bytes too; the harness opens with the
    // reader whatever it says, so that the reader sees every input. (The
    // other readers' bids are their own harnesses' work: the YAFFS2 layout
    // detector would take a third of an EXT harness's time.)
    std::shared_ptr<const ImageSource> src = ImageData::fromBytes(std::move(bytes));
    const Bytes head =
        readBytes(*src, 0, static_cast<size_t>(std::min<uint64_t>(src->size(), kProbeHeadBytes)));
    kept = kept + static_cast<size_t>(reader->probe({*src, head, opt}).score);
    std::unique_ptr<Timg> img = reader->make(opt);
    try {
        img->Init(std::move(src));
        img->Open();
    } catch (const Error&) {
        return nullptr; // refused with a message: the answer for such bytes
    }
    return img;
}

std::unique_ptr<Timg> openAny(const uint8_t* data, size_t size) {
    OpenOptions opt;
    opt.copyLimit = kCopyBudget;
    try {
        return openBytes(
            ImageData::fromBytes(Bytes(reinterpret_cast<const std::byte*>(data),
                                       reinterpret_cast<const std::byte*>(data) + size)),
            nullptr, opt);
    } catch (const Error&) {
        return nullptr;
    }
}

void readEverything(Timg& img) {
    checkTree(img);
    keep(img.formatName());
    for (const auto& [label, value] : img.describe())
        keep(label + value);
    for (const Message& m : img.warningMessages())
        keep(m.english());

    Budget budget;
    AbsoluteIndex index(img.root());
    for (Node* n : index.nodes()) {
        keep(pathFromRoot(n));
        keep(nodepath(n->parent ? n->parent : n, n));
        touchTexts(img, n->entry, n->children.size());
        try {
            readObject(img, n->entry, budget);
        } catch (const Error& err) {
            keep(err.what()); // contents the reader cannot read say so
        }
    }
    const uint32_t ids = std::min(img.maxObjId + 2, kLooseIds);
    TImgEntry e;
    for (uint32_t id = 0; id < ids; ++id) {
        if (img.nodeFor(id))
            continue;
        try {
            if (!img.GetEntry(id, e))
                continue;
            touchTexts(img, e, 0);
            readObject(img, e, budget);
        } catch (const Error& err) {
            keep(err.what());
        }
    }
}

int fuzzImage(const char* readerName, const uint8_t* data, size_t size) {
    // Opening refuses files shorter than one word before any reader sees them.
    if (size < 4 || size > kMaxInput)
        return 0;
    if (std::unique_ptr<Timg> img = openImage(readerName, data, size))
        readEverything(*img);
    return 0;
}

} // namespace korvane::fuzz
