#include "devtable.h"

#include "edit.h"
#include "model/error.h"
#include "model/tree.h"
#include "unique_fd.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

namespace {

constexpr off_t kMaxTableBytes = 16 << 20;
// A table with more bad lines names this many of them.
constexpr size_t kBadLinesListed = 20;

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

std::optional<uint32_t> number(std::string_view text, int base, uint32_t max) {
    if (text == "-")
        return 0;
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v > max)
        return std::nullopt;
    return v;
}

// Parses one line that is not blank or a comment; the reason it is bad, or an
// empty message.
Message parseLine(std::string_view text, DevTableLine& out) {
    std::vector<std::string_view> f = fields(text);
    if (f.size() < 5 || f.size() > 10)
        return msg("a line needs 5 to 10 fields: name type mode uid gid [major minor start inc "
                   "count]");
    out.name = std::string(f[0]);
    try {
        (void)splitImagePath(out.name);
    } catch (const Error& e) {
        return e.message();
    }
    if (f[1].size() != 1 || std::string_view("fdcbps").find(f[1][0]) == std::string_view::npos)
        return msg("unknown type \"%1\" (f, d, c, b, p or s)", f[1]);
    out.type = f[1][0];
    std::optional<uint32_t> perm = number(f[2], 8, 07777);
    if (!perm || f[2] == "-")
        return msg("not a mode (octal, at most 7777): %1", f[2]);
    out.perm = *perm;
    uint32_t* targets[] = {&out.uid,   &out.gid, &out.major, &out.minor,
                           &out.start, &out.inc, &out.count};
    const char* what[] = {"uid", "gid", "major", "minor", "start", "inc", "count"};
    for (size_t i = 3; i < f.size(); ++i) {
        std::optional<uint32_t> v = number(f[i], 10, kMaxId);
        if (!v)
            return msg("not a number for %1: %2", what[i - 3], f[i]);
        *targets[i - 3] = *v;
    }
    if (out.count > kDevTableMaxCount)
        return msg("a count above %1", kDevTableMaxCount);
    const bool device = out.type == 'c' || out.type == 'b';
    const uint64_t lastMinor = out.minor + uint64_t{out.inc} * (out.count > 0 ? out.count - 1 : 0);
    if (device &&
        !fitsNewDev({out.major, static_cast<uint32_t>(std::min<uint64_t>(lastMinor, 0xFFFFFFFFu))}))
        return msg("device number too large (at most 4095:1048575)");
    return {};
}

uint32_t typeBitsOf(char type) {
    switch (type) {
    case 'c':
        return kModeCharDevice;
    case 'b':
        return kModeBlockDevice;
    case 'p':
        return kModeFifo;
    default:
        return kModeSocket;
    }
}

// One object of a line: makes it or gives the existing one the attributes.
void applyOne(PathEdits& ed, const DevTableLine& l, const std::string& path, DevNum rdev,
              int64_t now) {
    Timg& img = ed.img();
    NewObject attrs;
    attrs.perm = l.perm;
    attrs.uid = l.uid;
    attrs.gid = l.gid;
    attrs.time.sec = now;
    Node* n = ed.lookup(path);
    if (!n) {
        if (l.type == 'f')
            throw Error(msg("%1 does not exist", path));
        if (l.type == 'd')
            ed.makedir(path, attrs, true);
        else
            ed.makespecial(path, typeBitsOf(l.type), rdev, attrs);
        return;
    }
    TImgEntry& e = n->entry;
    const bool fits = l.type == 'd' ? n->isDirectory()
                      : l.type == 'f'
                          ? e.objType == kTypeFile || e.objType == kTypeHardlink
                          : !n->isDirectory() && e.objType != kTypeFile &&
                                e.objType != kTypeSymlink && e.objType != kTypeHardlink &&
                                fileTypeBits(e) == typeBitsOf(l.type);
    if (!fits)
        throw Error(msg("%1 exists and is not of type %2", path, std::string(1, l.type)));
    Node* holder = n;
    if (e.objType == kTypeHardlink)
        holder = const_cast<Node*>(hardlinkTarget(img, n));
    if (!holder)
        throw Error(msg("%1 is a hard link to nothing", path));
    TImgEntry& h = holder->entry;
    setPermissions(h, l.perm);
    h.uid = l.uid;
    h.gid = l.gid;
    if (l.type == 'c' || l.type == 'b')
        h.rdev = rdev;
    img.modified = true;
}

} // namespace

std::vector<DevTableLine> parseDevTable(std::string_view text, const std::string& source) {
    std::vector<DevTableLine> lines;
    Message bad;
    size_t badCount = 0;
    size_t number = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        std::vector<std::string_view> f = fields(line);
        if (f.empty() || f[0][0] == '#')
            continue;
        DevTableLine l;
        l.line = number;
        Message why = parseLine(line, l);
        if (why.empty()) {
            lines.push_back(std::move(l));
        } else if (++badCount <= kBadLinesListed) {
            Message item = msg("%1:%2: %3", source, number, why);
            bad = bad.empty() ? std::move(item) : msg("%1\n%2", bad, item);
        }
    }
    if (badCount > kBadLinesListed)
        bad = msg("%1\n(and %2 more bad lines)", bad, badCount - kBadLinesListed);
    if (badCount > 0)
        throw Error(msg("bad lines in the device table:\n%1", bad));
    return lines;
}

void applyDevTable(Timg& img, const std::vector<DevTableLine>& lines, const std::string& source,
                   int64_t now) {
    // One run: a line with a count of 65,536 costs a sort of its folder,
    // not one an object.
    PathEdits ed(img);
    for (const DevTableLine& l : lines) {
        try {
            if (l.count == 0) {
                applyOne(ed, l, l.name, {l.major, l.minor}, now);
                continue;
            }
            for (uint32_t i = 0; i < l.count; ++i)
                applyOne(ed, l, l.name + std::to_string(uint64_t{l.start} + i),
                         {l.major, l.minor + l.inc * i}, now);
        } catch (const Error& e) {
            throw Error(msg("%1:%2: %3", source, l.line, e.message()));
        }
    }
}

void devtable(Timg& img, const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0)
        throwSystemError(msg("cannot read the device table %1", path), errno);
    if (!S_ISREG(st.st_mode) || st.st_size > kMaxTableBytes)
        throw Error(msg("%1 is not a device table (a text file of at most 16 MiB)", path));
    std::string text(static_cast<size_t>(st.st_size), '\0');
    for (size_t done = 0; done < text.size();) {
        ssize_t r = ::read(fd.get(), text.data() + done, text.size() - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            throwSystemError(msg("cannot read the device table %1", path), errno);
        if (r == 0) {
            text.resize(done);
            break;
        }
        done += static_cast<size_t>(r);
    }
    // As genext2fs does: what the table makes gets the table's own time, so
    // that a build gives the same image every time.
    applyDevTable(img, parseDevTable(text, path), path, st.st_mtim.tv_sec);
}

void overrideAttributes(Timg& img, const TreeOverrides& o) {
    if (o.empty())
        return;
    forEachPreorder(img.root(), [&](Node* n) {
        TImgEntry& e = n->entry;
        if (o.uid)
            e.uid = *o.uid;
        if (o.gid)
            e.gid = *o.gid;
        if (o.dirPerm && e.objType == kTypeDirectory)
            setPermissions(e, *o.dirPerm);
        if (o.filePerm && e.objType == kTypeFile)
            setPermissions(e, *o.filePerm);
    });
    img.modified = true;
}

} // namespace korvane
