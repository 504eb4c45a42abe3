#include "csum.h"
#include "ext_check.h"
#include "ext_image_writer.h"
#include "model/error.h"

namespace korvane::ext2 {

namespace {

constexpr uint32_t kLostFoundMode = 0700;

uint8_t dirFileType(const TImgEntry& e) {
    switch (fileTypeBits(e)) {
    case kModeFile:
        return kFtRegular;
    case kModeDirectory:
        return kFtDirectory;
    case kModeSymlink:
        return kFtSymlink;
    case kModeCharDevice:
        return kFtCharDevice;
    case kModeBlockDevice:
        return kFtBlockDevice;
    case kModeFifo:
        return kFtFifo;
    case kModeSocket:
        return kFtSocket;
    default:
        return kFtUnknown;
    }
}

} // namespace

std::unique_ptr<ExtImageWriter::Frame> ExtImageWriter::openDirectory(Node* dir, uint32_t ino,
                                                                     uint32_t parentIno) {
    auto f = std::make_unique<Frame>(dir, ino, bs_, csum());
    const uint8_t dirType = filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown};
    f->builder.add(ino, ".", dirType);
    f->builder.add(parentIno, "..", dirType);
    return f;
}

void ExtImageWriter::addEntry(Frame& f, uint32_t ino, const std::string& name,
                              const TImgEntry& target) {
    f.builder.add(ino, name, filetype() ? dirFileType(target) : uint8_t{kFtUnknown});
}

void ExtImageWriter::sealDirectory(Bytes& entries, uint32_t ino) {
    if (!csum())
        return;
    for (size_t at = 0; at < entries.size(); at += bs_)
        csum::setDirBlock(entries.data() + at, bs_, inodeSeed(ino));
}

void ExtImageWriter::closeDirectory(Frame& f) {
    TImgEntry e = f.node->entry;
    e.objType = kTypeDirectory;
    e.size = f.builder.finish();
    if (f.ino == kLostFoundIno) {
        padLostFound(f.entries);
        e.size = f.entries.size();
    }
    // Past the link limit a folder counts 1 link (dir_nlink).
    e.linkInfo = static_cast<uint32_t>(f.subdirs + 2 > kLinkMax ? 1 : f.subdirs + 2);
    sealDirectory(f.entries, f.ino);
    Contents c;
    c.bytes = f.entries;
    c.size = f.entries.size();
    WriteInode(f.ino, c, e);
}

// Writes a child that is not a folder; returns the inode its entry names.
uint32_t ExtImageWriter::writeChild(Node* c) {
    const TImgEntry& e = c->entry;
    switch (e.objType) {
    case kTypeHardlink: {
        // The target's inode counts every name the plan found.
        const uint32_t ino = inodeOf(LinkTarget(img_, tree_, c));
        checkInode(ino);
        return ino;
    }
    case kTypeFile: {
        const uint32_t ino = inodeOf(c);
        Contents data;
        data.file = &e;
        data.size = e.size;
        try {
            WriteInode(ino, data, e);
        } catch (const Error& err) {
            throw Error(msg("cannot read %1: %2", wherePath(c), err.message()));
        }
        return ino;
    }
    case kTypeSymlink: {
        const uint32_t ino = inodeOf(c);
        Contents data;
        data.bytes = asBytes(e.alias);
        data.size = e.alias.size();
        WriteInode(ino, data, e);
        return ino;
    }
    default: {
        const uint32_t ino = inodeOf(c);
        WriteInode(ino, {}, e);
        return ino;
    }
    }
}

bool ExtImageWriter::WriteTree() {
    Node* root = tree_.at(0);
    lostFound_ = TreeLostFound(*root);
    std::vector<std::unique_ptr<Frame>> stack;
    stack.push_back(openDirectory(root, kRootIno, kRootIno));
    if (!lostFound_) {
        writeLostFound();
        stack.back()->subdirs = 1;
        stack.back()->builder.add(kLostFoundIno, kLostFoundName,
                                  filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown});
    }

    while (!stack.empty()) {
        Frame& f = *stack.back();
        if (f.next == f.node->children.size()) {
            closeDirectory(f);
            stack.pop_back();
            continue;
        }
        Node* c = f.node->children[f.next++].get();
        if (!IsWritten(*c, f.node == root))
            continue;
        if (img_.cancel.load() != 0)
            return false;
        if (c->isDirectory()) {
            const uint32_t ino = inodeOf(c);
            ++f.subdirs;
            addEntry(f, ino, c->text, c->entry);
            stack.push_back(openDirectory(c, ino, f.ino));
            continue;
        }
        const uint32_t ino = writeChild(c);
        const Node* t = c->entry.objType == kTypeHardlink ? LinkTarget(img_, tree_, c) : c;
        addEntry(f, ino, WrittenName(*c, f.node == root), t->entry);
    }
    if (geo_.has(kCompatHasJournal))
        writeJournal();
    return true;
}

// Blocks past the entries each hold one empty entry, so every block is a
// valid directory block (the kernel's lost+found has room made in advance).
void ExtImageWriter::padLostFound(Bytes& contents) const {
    const uint32_t room = bs_ - (csum() ? static_cast<uint32_t>(dt::kTailSize) : 0);
    const size_t used = contents.size() / bs_;
    if (used >= plan_.lostFoundBlocks)
        return;
    contents.resize(size_t{plan_.lostFoundBlocks} * bs_, std::byte{0});
    for (size_t k = used; k < plan_.lostFoundBlocks; ++k) {
        std::byte* blk = contents.data() + k * bs_;
        store16(blk + de::kRecLen, static_cast<uint16_t>(room));
        if (csum()) {
            store16(blk + room + de::kRecLen, static_cast<uint16_t>(dt::kTailSize));
            blk[room + de::kFileType] = std::byte{dt::kTailFileType};
        }
    }
}

void ExtImageWriter::writeLostFound() {
    Bytes contents;
    DirectoryBuilder b(&contents, bs_, csum());
    const uint8_t dirType = filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown};
    b.add(kLostFoundIno, ".", dirType);
    b.add(kRootIno, "..", dirType);
    b.finish();
    padLostFound(contents);
    sealDirectory(contents, kLostFoundIno);
    TImgEntry e;
    e.name = kLostFoundName;
    e.objType = kTypeDirectory;
    e.mode = kLostFoundMode;
    e.atime = e.ctime = e.mtime = now_;
    e.linkInfo = 2;
    Contents c;
    c.bytes = contents;
    c.size = contents.size();
    WriteInode(kLostFoundIno, c, e);
}

} // namespace korvane::ext2
