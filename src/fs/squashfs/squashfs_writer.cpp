#include "squashfs_writer.h"

#include "compressors.h"
#include "model/error.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "squashfs_format.h"
#include "squashfs_inode.h"
#include "squashfs_volume.h"
#include "squashfs_xattr.h"
#include "tsquashfsobj.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>

namespace korvane {

using namespace squashfs;

namespace {

constexpr uint64_t kNotWritten = ~uint64_t{0};
constexpr size_t kMaxOwners = 65536;
// Blocks in flight for each worker of the block processor: enough to keep
// the workers busy while the job's thread reads the next file.
constexpr unsigned kBacklogPerWorker = 10;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
}

uint32_t clampTime(int64_t t) {
    return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, UINT32_MAX));
}

bool isDevice(uint32_t typeBits) {
    return typeBits == kModeCharDevice || typeBits == kModeBlockDevice;
}

// What a save writes with: the compressor set up, the block size, the
// superblock's time.
struct Settings {
    sqfs_compressor_config_t compressor{};
    uint32_t blockSize = kDefaultBlockSize;
    uint32_t modTime = 0;
    unsigned workers = 1;
};

const Volume* sourceVolume(const Timg& img, const SaveRequest& req) {
    const auto* source = dynamic_cast<const Tsquashfsobj*>(&img);
    return req.likeSource && source ? &source->volume() : nullptr;
}

// Keeps what the source image set up for its compressor, where the new
// image has the same compressor.
void keepSourceSettings(sqfs_compressor_config_t& cfg, const sqfs_compressor_config_t& source,
                        uint32_t blockSize, bool levelGiven) {
    if (!levelGiven)
        cfg.level = source.level;
    cfg.flags = source.flags & ~SQFS_COMP_FLAG_UNCOMPRESS;
    switch (cfg.id) {
    case SQFS_COMP_GZIP:
        cfg.opt.gzip.window_size = source.opt.gzip.window_size;
        break;
    case SQFS_COMP_XZ:
    case SQFS_COMP_LZMA:
        cfg.opt.xz.dict_size = std::min(source.opt.xz.dict_size, blockSize);
        break;
    case SQFS_COMP_LZO:
        // A level belongs to lzo1x_999 only.
        if (!levelGiven || source.opt.lzo.algorithm == SQFS_LZO1X_999)
            cfg.opt.lzo.algorithm = source.opt.lzo.algorithm;
        break;
    default:
        break;
    }
}

Settings settingsOf(const Timg& img, const SaveRequest& req) {
    const SquashfsChoice choice = squashfsChoiceOf(img, req);
    Settings s;
    s.blockSize = choice.blockSize;
    const uint16_t id = *compressorNamed(choice.compressor);
    const bool levelGiven = hasOption(req.options, "comp-level");
    s.compressor = compressorConfig(
        id, s.blockSize, levelGiven ? std::optional<uint32_t>(choice.level) : std::nullopt);
    const Volume* source = sourceVolume(img, req);
    if (source && source->compressor.id == id)
        keepSourceSettings(s.compressor, source->compressor, s.blockSize, levelGiven);
    s.modTime = source ? source->super.modification_time : clampTime(std::time(nullptr));
    s.workers = choice.jobs ? choice.jobs : std::max(1u, std::thread::hardware_concurrency());
    return s;
}

// The library's objects of one save, released in the reverse order.
struct Output {
    explicit Output(OutputFile& out) : file(out) {}
    OutputSqfsFile file;
    CompressorHandle cmp;
    CompressorHandle uncmp; // reads fragments back to compare duplicates
    BlockWriterHandle blockWriter;
    FragTableHandle fragments;
    BlockProcessorHandle processor;
    IdTableHandle ids;
    XattrWriterHandle xattrs;
    MetaWriterHandle inodes;
    MetaWriterHandle folders;
    DirWriterHandle dirWriter;

    void check(int ret, const Message& what) const {
        if (ret != 0)
            file.fail(what, ret);
    }
};

class SquashfsWriter {
public:
    SquashfsWriter(Timg& img, JobReporter& rep, std::vector<Message>* warnings)
        : img_(img), rep_(rep), warnings_(warnings), index_(img.root()) {}
    ~SquashfsWriter() {
        for (sqfs_inode_generic_t* i : fileInodes_)
            sqfs_free(i);
    }
    SquashfsWriter(const SquashfsWriter&) = delete;
    SquashfsWriter& operator=(const SquashfsWriter&) = delete;

    // Throws Error naming the first object the image cannot hold.
    void CheckTree();
    void PlanInodes();
    bool write(const std::string& path, const Settings& settings);

private:
    const Node* at(size_t i) const { return index_.at(i); }
    const TImgEntry& entry(size_t i) const { return index_.at(i)->entry; }
    // The node whose inode object i uses (its target, for a hard link).
    size_t inodeOf(size_t i) const;
    std::vector<size_t> sortedChildren(size_t dir) const;

    void open(Output& o, const Settings& settings);
    bool WriteContents(Output& o);
    bool writeFile(Output& o, size_t i, Bytes& buffer, uint64_t& done);
    void writeTables(Output& o);
    void ensureWritten(Output& o, size_t i);
    void writeFolder(Output& o, size_t i);
    void setBase(Output& o, sqfs_inode_generic_t& inode, size_t i) const;
    void ownerIndices(Output& o, size_t i, sqfs_u16& uid, sqfs_u16& gid) const;
    uint32_t xattrsOf(Output& o, size_t i) const;
    uint64_t position(const Output& o) const;

    Timg& img_;
    JobReporter& rep_;
    std::vector<Message>* warnings_;
    AbsoluteIndex index_;
    sqfs_super_t super_{};
    // By pre-order index:
    std::vector<uint32_t> number_; // inode numbers (0 for hard links)
    std::vector<uint32_t> nlink_;
    std::vector<uint64_t> ref_;
    std::vector<sqfs_inode_generic_t*> fileInodes_; // made by the block processor
    // Inodes in the order they are numbered: each folder after what it holds.
    std::vector<size_t> order_;
    uint64_t contentBytes_ = 0;
};

size_t SquashfsWriter::inodeOf(size_t i) const {
    if (entry(i).objType != kTypeHardlink)
        return i;
    return index_.indexOf(hardlinkTarget(img_, at(i)));
}

std::vector<size_t> SquashfsWriter::sortedChildren(size_t dir) const {
    std::vector<size_t> children;
    for (const auto& c : at(dir)->children)
        children.push_back(index_.indexOf(c.get()));
    // Folder listings are in byte order: the kernel looks names up by it.
    std::sort(children.begin(), children.end(),
              [this](size_t a, size_t b) { return at(a)->text < at(b)->text; });
    return children;
}

void SquashfsWriter::CheckTree() {
    const size_t count = index_.size();
    nlink_.assign(count, 1);
    std::set<uint32_t> owners;
    for (size_t i = 0; i < count; ++i) {
        const Node* n = at(i);
        const TImgEntry& e = n->entry;
        if (i > 0) {
            if (!safeFileName(n->text))
                throw Error(msg("%1 cannot be stored: a name must not be empty, \".\" or \"..\", "
                                "nor hold \"/\" or a NUL byte",
                                where(n)));
            if (n->text.size() > kMaxNameLength)
                throw Error(msg("the name of %1 is %2 bytes long; SquashFS holds names of at most "
                                "%3 bytes",
                                where(n), n->text.size(), kMaxNameLength));
        }
        if (n->isDirectory()) {
            const std::vector<size_t> children = sortedChildren(i);
            for (size_t k = 1; k < children.size(); ++k)
                if (at(children[k])->text == at(children[k - 1])->text)
                    throw Error(
                        msg("%1 holds two objects named %2", where(n), at(children[k])->text));
        }
        if (e.objType == kTypeHardlink) {
            const Node* t = hardlinkTarget(img_, n);
            const size_t ti = t ? index_.indexOf(t) : AbsoluteIndex::npos;
            if (ti == AbsoluteIndex::npos)
                throw Error(msg("the target of the hard link %1 is not in the tree", where(n)));
            if (t->isDirectory())
                throw Error(
                    msg("%1 is a hard link to a folder, which SquashFS cannot hold", where(n)));
            ++nlink_[ti];
            continue;
        }
        const uint32_t type = fileTypeBits(e);
        if (type == kModeSymlink) {
            if (e.alias.empty() || e.alias.size() > kMaxLinkTarget)
                throw Error(msg("the target of the symbolic link %1 is %2 bytes long; SquashFS "
                                "holds targets of 1 to %3 bytes",
                                where(n), e.alias.size(), kMaxLinkTarget));
            if (e.alias.find('\0') != std::string::npos)
                throw Error(msg("the target of the symbolic link %1 holds a NUL byte", where(n)));
        }
        if (isDevice(type) && !fitsNewDev(e.rdev))
            throw Error(msg("SquashFS keeps device numbers of majors below 4096 and minors below "
                            "1048576; %1 has %2:%3",
                            where(n), e.rdev.major, e.rdev.minor));
        owners.insert(e.uid);
        owners.insert(e.gid);
        if (warnings_ && (e.mtime < 0 || e.mtime > UINT32_MAX))
            warnings_->push_back(msg("SquashFS keeps times from 1970 to 2106 only: the time of %1 "
                                     "was moved into that range",
                                     where(n)));
        for (const Xattr& x : e.xattrs)
            if (warnings_ && !holdsXattrName(x.name))
                warnings_->push_back(msg("SquashFS holds only user., trusted. and security. "
                                         "attributes: %1 of %2 is left out",
                                         x.name, where(n)));
    }
    if (owners.size() > kMaxOwners)
        throw Error(msg("SquashFS holds at most %1 different owners and groups; the tree has %2",
                        kMaxOwners, owners.size()));
}

void SquashfsWriter::PlanInodes() {
    const size_t count = index_.size();
    number_.assign(count, 0);
    ref_.assign(count, kNotWritten);
    fileInodes_.assign(count, nullptr);
    order_.clear();
    struct Frame {
        size_t dir;
        std::vector<size_t> children;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({0, sortedChildren(0)});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.children.size()) {
            const size_t c = f.children[f.next++];
            if (at(c)->isDirectory())
                stack.push_back({c, sortedChildren(c)}); // f may move
            continue;
        }
        for (size_t c : f.children)
            if (!at(c)->isDirectory() && entry(c).objType != kTypeHardlink)
                order_.push_back(c);
        order_.push_back(f.dir);
        stack.pop_back();
    }
    for (size_t k = 0; k < order_.size(); ++k) {
        number_[order_[k]] = static_cast<uint32_t>(k + 1);
        if (entry(order_[k]).objType == kTypeFile)
            contentBytes_ += entry(order_[k]).size;
    }
}

uint64_t SquashfsWriter::position(const Output& o) const {
    sqfs_u64 block = 0;
    sqfs_u32 offset = 0;
    sqfs_meta_writer_get_position(o.inodes.get(), &block, &offset);
    return block << 16 | offset;
}

void SquashfsWriter::open(Output& o, const Settings& settings) {
    sqfs_file_t* file = o.file.file();
    o.cmp = makeCompressor(settings.compressor);
    sqfs_compressor_config_t unpack = settings.compressor;
    unpack.flags |= SQFS_COMP_FLAG_UNCOMPRESS;
    o.uncmp = makeCompressor(unpack);
    o.check(sqfs_super_init(&super_, settings.blockSize, settings.modTime,
                            static_cast<SQFS_COMPRESSOR>(settings.compressor.id)),
            msg("cannot start the image"));
    o.check(sqfs_super_write(&super_, file), msg("cannot write the superblock"));
    const int options = o.cmp->write_options(o.cmp.get(), file);
    if (options < 0)
        o.check(options, msg("cannot write the compressor's options"));
    if (options > 0)
        super_.flags |= SQFS_FLAG_COMPRESSOR_OPTIONS;

    o.blockWriter.reset(sqfs_block_writer_create(file, kDevBlockSize, 0));
    o.fragments.reset(sqfs_frag_table_create(0));
    o.ids.reset(sqfs_id_table_create(0));
    o.xattrs.reset(sqfs_xattr_writer_create(0));
    o.inodes.reset(sqfs_meta_writer_create(file, o.cmp.get(), 0));
    o.folders.reset(sqfs_meta_writer_create(file, o.cmp.get(), SQFS_META_WRITER_KEEP_IN_MEMORY));
    if (o.folders)
        o.dirWriter.reset(
            sqfs_dir_writer_create(o.folders.get(), SQFS_DIR_WRITER_CREATE_EXPORT_TABLE));
    if (!o.blockWriter || !o.fragments || !o.ids || !o.xattrs || !o.inodes || !o.dirWriter)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));

    const unsigned workers = settings.workers;
    sqfs_block_processor_desc_t desc{};
    desc.size = sizeof desc;
    desc.max_block_size = settings.blockSize;
    desc.num_workers = workers;
    desc.max_backlog = workers * kBacklogPerWorker;
    desc.cmp = o.cmp.get();
    desc.wr = o.blockWriter.get();
    desc.tbl = o.fragments.get();
    desc.file = file;
    desc.uncmp = o.uncmp.get();
    sqfs_block_processor_t* processor = nullptr;
    o.check(sqfs_block_processor_create_ex(&desc, &processor),
            msg("cannot start the compressing threads"));
    o.processor.reset(processor);
}

bool SquashfsWriter::writeFile(Output& o, size_t i, Bytes& buffer, uint64_t& done) {
    const Node* n = at(i);
    const TImgEntry& e = n->entry;
    sqfs_block_processor_t* proc = o.processor.get();
    const Message what = msg("cannot write %1", where(n));
    o.check(sqfs_block_processor_begin_file(proc, &fileInodes_[i], nullptr, 0), what);
    // Holes are handed over as zeros: the block processor stores a block of
    // zeros as a hole.
    static const Bytes zeros(64u << 10);
    auto append = [&](const std::byte* bytes, size_t count) {
        if (count > 0) // the library cannot take 0 bytes
            o.check(sqfs_block_processor_append(proc, bytes, count), what);
    };
    auto appendZeros = [&](uint64_t count) {
        while (count > 0) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
            append(zeros.data(), piece);
            count -= piece;
        }
    };
    // Read failures name the object read; the library's name the image.
    auto reading = [&](auto&& call) {
        try {
            return call();
        } catch (const Error& err) {
            throw Error(withReason(msg("cannot read %1", where(n)), err.message()));
        }
    };
    uint64_t pos = 0;
    while (pos < e.size) {
        const ContentRange r = reading([&] { return img_.nextData(e, pos); });
        if (r.begin >= r.end)
            break;
        for (uint64_t from = r.begin; from < r.end;) {
            const auto want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), r.end - from));
            const size_t got = reading(
                [&] { return img_.ReadRange(e, from, MutableByteSpan(buffer.data(), want)); });
            if (got == 0)
                break;
            appendZeros(from - pos);
            append(buffer.data(), got);
            from += got;
            pos = from;
            done += got;
            rep_.progressWith(static_cast<int64_t>(done), static_cast<int64_t>(contentBytes_), 5,
                              [n] { return verbatim(n->text); });
            if (img_.cancel.load())
                return false;
        }
        if (pos < r.end) // the contents ended early
            break;
    }
    appendZeros(e.size - std::min(e.size, pos));
    o.check(sqfs_block_processor_end_file(proc), what);
    return true;
}

bool SquashfsWriter::WriteContents(Output& o) {
    Bytes buffer(kStreamBuffer);
    uint64_t done = 0;
    for (size_t i : order_) {
        if (entry(i).objType == kTypeFile && !writeFile(o, i, buffer, done))
            return false;
        if (img_.cancel.load())
            return false;
    }
    o.check(sqfs_block_processor_finish(o.processor.get()), msg("cannot write the file contents"));
    return true;
}

void SquashfsWriter::ownerIndices(Output& o, size_t i, sqfs_u16& uid, sqfs_u16& gid) const {
    const Message what = msg("cannot store the owner of %1", where(at(i)));
    o.check(sqfs_id_table_id_to_index(o.ids.get(), entry(i).uid, &uid), what);
    o.check(sqfs_id_table_id_to_index(o.ids.get(), entry(i).gid, &gid), what);
}

void SquashfsWriter::setBase(Output& o, sqfs_inode_generic_t& inode, size_t i) const {
    const TImgEntry& e = entry(i);
    inode.base.mode = static_cast<sqfs_u16>(fileTypeBits(e) | (e.mode & kModePermissionMask));
    inode.base.mod_time = clampTime(e.mtime);
    inode.base.inode_number = number_[i];
    ownerIndices(o, i, inode.base.uid_idx, inode.base.gid_idx);
}

uint32_t SquashfsWriter::xattrsOf(Output& o, size_t i) const {
    int error = 0;
    const uint32_t id = addXattrSet(o.xattrs.get(), entry(i).xattrs, &error);
    o.check(error, msg("cannot store the extended attributes of %1", where(at(i))));
    return id;
}

void SquashfsWriter::ensureWritten(Output& o, size_t i) {
    if (ref_[i] != kNotWritten)
        return;
    const TImgEntry& e = entry(i);
    const uint32_t type = fileTypeBits(e);
    const uint32_t xattr = xattrsOf(o, i);
    const Message what = msg("cannot write the inode of %1", where(at(i)));
    ref_[i] = position(o);
    if (type == kModeFile) {
        const sqfs_inode_generic_t* p = fileInodes_[i];
        if (!p)
            throw Error(what);
        FileInode f;
        f.permissions = static_cast<uint16_t>(e.mode & kModePermissionMask);
        ownerIndices(o, i, f.uidIndex, f.gidIndex);
        f.mtime = clampTime(e.mtime);
        f.number = number_[i];
        sqfs_u64 start = 0;
        sqfs_u64 size = 0;
        sqfs_u32 fragment = kNoFragment;
        sqfs_u32 offset = kNoFragment;
        sqfs_inode_get_file_block_start(p, &start);
        sqfs_inode_get_file_size(p, &size);
        sqfs_inode_get_frag_location(p, &fragment, &offset);
        f.blocksStart = start;
        f.size = size;
        f.sparse = p->base.type == SQFS_INODE_EXT_FILE ? p->data.file_ext.sparse : 0;
        f.fragment = offset == kNoFragment ? kNoFragment : fragment;
        f.fragmentOffset = offset;
        f.nlink = nlink_[i];
        f.xattr = xattr;
        o.check(writeFileInode(o.inodes.get(), f, p->extra, sqfs_inode_get_file_block_count(p)),
                what);
        sqfs_free(fileInodes_[i]);
        fileInodes_[i] = nullptr;
        return;
    }
    const size_t extra = type == kModeSymlink ? e.alias.size() : 0;
    InodeBuffer inode(
        static_cast<sqfs_inode_generic_t*>(std::calloc(1, sizeof(sqfs_inode_generic_t) + extra)));
    if (!inode)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    switch (type) {
    case kModeSymlink:
        inode->base.type = SQFS_INODE_SLINK;
        inode->data.slink.nlink = nlink_[i];
        inode->data.slink.target_size = static_cast<sqfs_u32>(extra);
        std::memcpy(inode->extra, e.alias.data(), extra);
        break;
    case kModeCharDevice:
    case kModeBlockDevice:
        inode->base.type = type == kModeCharDevice ? SQFS_INODE_CDEV : SQFS_INODE_BDEV;
        inode->data.dev.nlink = nlink_[i];
        inode->data.dev.devno = encodeNewDev(e.rdev);
        break;
    default: // FIFOs and sockets
        inode->base.type = type == kModeSocket ? SQFS_INODE_SOCKET : SQFS_INODE_FIFO;
        inode->data.ipc.nlink = nlink_[i];
        break;
    }
    setBase(o, *inode, i);
    o.check(sqfs_inode_set_xattr_index(inode.get(), xattr), what);
    o.check(sqfs_meta_writer_write_inode(o.inodes.get(), inode.get()), what);
}

void SquashfsWriter::writeFolder(Output& o, size_t i) {
    const Node* n = at(i);
    const Message what = msg("cannot write the folder %1", where(n));
    sqfs_dir_writer_t* dw = o.dirWriter.get();
    o.check(sqfs_dir_writer_begin(dw, 0), what);
    uint32_t subfolders = 0;
    for (size_t c : sortedChildren(i)) {
        const size_t t = inodeOf(c);
        if (!at(t)->isDirectory())
            ensureWritten(o, t);
        else
            ++subfolders;
        o.check(sqfs_dir_writer_add_entry(dw, at(c)->text.c_str(), number_[t], ref_[t],
                                          static_cast<sqfs_u16>(fileTypeBits(entry(t)))),
                what);
    }
    o.check(sqfs_dir_writer_end(dw), what);
    const uint32_t xattr = xattrsOf(o, i);
    // The root's parent is one past the last inode, as mksquashfs has it.
    const uint32_t parent =
        n->parent ? number_[index_.indexOf(n->parent)] : static_cast<uint32_t>(order_.size() + 1);
    InodeBuffer inode(sqfs_dir_writer_create_inode(dw, 0, xattr, parent));
    if (!inode)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    if (inode->base.type == SQFS_INODE_DIR)
        inode->data.dir.nlink = 2 + subfolders;
    else
        inode->data.dir_ext.nlink = 2 + subfolders;
    setBase(o, *inode, i);
    ref_[i] = position(o);
    o.check(sqfs_meta_writer_write_inode(o.inodes.get(), inode.get()), what);
}

void SquashfsWriter::writeTables(Output& o) {
    sqfs_file_t* file = o.file.file();
    super_.inode_table_start = o.file.size();
    for (size_t i : order_) {
        if (at(i)->isDirectory())
            writeFolder(o, i);
        else
            ensureWritten(o, i);
    }
    const Message what = msg("cannot write the inode and folder tables");
    o.check(sqfs_meta_writer_flush(o.inodes.get()), what);
    o.check(sqfs_meta_writer_flush(o.folders.get()), what);
    super_.root_inode_ref = ref_[0];
    super_.directory_table_start = o.file.size();
    o.check(sqfs_meta_write_write_to_file(o.folders.get()), what);
    o.check(sqfs_frag_table_write(o.fragments.get(), file, &super_, o.cmp.get()),
            msg("cannot write the fragment table"));
    o.check(sqfs_dir_writer_write_export_table(o.dirWriter.get(), file, o.cmp.get(), number_[0],
                                               ref_[0], &super_),
            msg("cannot write the export table"));
    o.check(sqfs_id_table_write(o.ids.get(), file, &super_, o.cmp.get()),
            msg("cannot write the table of owners"));
    o.check(sqfs_xattr_writer_flush(o.xattrs.get(), file, &super_, o.cmp.get()),
            msg("cannot write the extended attributes"));
    super_.inode_count = static_cast<sqfs_u32>(order_.size());
    super_.bytes_used = o.file.size();
    o.check(sqfs_super_write(&super_, file), msg("cannot write the superblock"));
    if (const uint64_t rest = super_.bytes_used % kDevBlockSize) {
        const Bytes zeros(kDevBlockSize - rest);
        o.check(file->write_at(file, super_.bytes_used, zeros.data(), zeros.size()),
                msg("cannot write the superblock"));
    }
}

bool SquashfsWriter::write(const std::string& path, const Settings& settings) {
    rep_.send(0, 0, 3, msg("Creating the file"));
    OutputFile out(path);
    Output o(out);
    open(o, settings);
    rep_.send(0, 0, 4, msg("Writing the data"));
    if (!WriteContents(o))
        return false;
    rep_.send(0, 0, 4, msg("Writing the inode and folder tables"));
    writeTables(o);
    if (img_.cancel.load())
        return false;
    out.commit();
    return true;
}

} // namespace

SquashfsChoice squashfsChoiceOf(const Timg& img, const SaveRequest& req) {
    const Volume* source = sourceVolume(img, req);
    SquashfsChoice c;
    if (auto name = optionText(req.options, "comp")) {
        const std::optional<uint16_t> id = compressorNamed(*name);
        if (!id || *id == SQFS_COMP_LZMA)
            throw Error(msg("--comp takes gzip, xz, lzo, lz4 or zstd, not %1", *name));
        c.compressor = *name;
    } else if (source) {
        // Old lzma images are written with xz, which the kernel reads.
        const uint16_t id = source->super.compression_id;
        c.compressor = compressorName(id == SQFS_COMP_LZMA ? uint16_t{SQFS_COMP_XZ} : id);
    } else {
        c.compressor = "gzip";
    }
    c.blockSize = kDefaultBlockSize;
    if (auto v = optionNumber(req.options, "block-size", kMinBlockSize, kMaxBlockSize, true)) {
        if ((*v & (*v - 1)) != 0)
            throw Error(msg("--block-size takes a power of two from 4096 to 1048576, not %1", *v));
        c.blockSize = static_cast<uint32_t>(*v);
    } else if (source) {
        c.blockSize = source->super.block_size;
    }
    if (auto v = optionNumber(req.options, "comp-level", 0, 22))
        c.level = static_cast<int>(*v);
    if (auto v = optionNumber(req.options, "jobs", 1, 1024))
        c.jobs = static_cast<unsigned>(*v);
    return c;
}

bool writeSquashfs(Timg& img, const SaveRequest& req, JobReporter& rep,
                   std::vector<Message>* warnings) {
    rep.send(0, 0, 2, msg("Working out the space"));
    const Settings settings = settingsOf(img, req);
    SquashfsWriter w(img, rep, warnings);
    w.CheckTree();
    w.PlanInodes();
    return w.write(req.path, settings);
}

} // namespace korvane
