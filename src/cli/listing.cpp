#include "listing.h"

#include "command.h"
#include "image_info.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"

#include <charconv>
#include <chrono>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <unordered_map>

namespace korvane::cli {

namespace {

std::string displayPath(const Node* n) {
    return "/" + pathFromRoot(n);
}

// The object a hard link names, or nullptr.
Node* linkTarget(const Timg& img, const TImgEntry& e) {
    return e.objType == kTypeHardlink ? img.nodeFor(e.linkInfo) : nullptr;
}

char typeChar(const TImgEntry& e) {
    switch (e.objType) {
    case kTypeFile:
    case kTypeHardlink:
        return '-';
    case kTypeDirectory:
        return 'd';
    case kTypeSymlink:
        return 'l';
    default:
        break;
    }
    switch (e.mode & kModeTypeMask) {
    case kModeCharDevice:
        return 'c';
    case kModeBlockDevice:
        return 'b';
    case kModeFifo:
        return 'p';
    case kModeSocket:
        return 's';
    default:
        return e.objType == kTypeBlockDevice ? 'b' : '?';
    }
}

// The attributes a listing shows for n: a hard link's are those of the file
// it stands for, as the names of one inode share them.
const TImgEntry& shownEntry(const Timg& img, const Node* n) {
    const Node* t = hardlinkTarget(img, n);
    return t ? t->entry : n->entry;
}

// Appends v right-aligned in width columns, as printf's %*llu: a listing
// prints three numbers a line, and printf is most of its time.
void appendNumber(std::string& out, uint64_t v, size_t width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
    const auto n = static_cast<size_t>(end - digits);
    if (n < width)
        out.append(width - n, ' ');
    out.append(digits, n);
}

// Appends n's line of ls -l to out; path is n's display path (a recursive
// listing builds them as it goes).
void appendLsLine(std::string& out, const Timg& img, const Node* n, const std::string& path,
                  const LsOptions& opt) {
    const TImgEntry& e = n->entry;
    const TImgEntry& a = shownEntry(img, n);
    out += modeString(a);
    out += ' ';
    appendNumber(out, a.uid, 5);
    out += ' ';
    appendNumber(out, a.gid, 5);
    out += ' ';
    if (opt.label)
        out += selinuxLabel(a) + " ";
    appendNumber(out, a.size, 10);
    out += ' ';
    out += isoTime(a.mtime);
    out += ' ';
    out += path;
    if (e.objType == kTypeSymlink) {
        out += " -> " + e.alias;
    } else if (e.objType == kTypeHardlink) {
        Node* t = linkTarget(img, e);
        out += " link to " + (t ? displayPath(t) : std::string("(missing)"));
    }
}

// A JSON string as nlohmann::json dumps it (UTF-8 as it stands, the
// characters JSON needs escaped escaped); text that is not UTF-8 goes
// through nlohmann itself, which puts replacement characters in.
void putString(std::string& out, const std::string& text) {
    if (!validUtf8(text)) {
        out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    out += '"';
    auto plain = [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\';
    };
    for (size_t i = 0; i < text.size();) {
        size_t run = i;
        while (run < text.size() && plain(text[run]))
            ++run;
        out.append(text, i, run - i);
        if (run == text.size())
            break;
        i = run + 1;
        const char c = text[run];
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default: {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        }
        }
    }
    out += '"';
}

} // namespace

// One element of the JSON listing, as nlohmann::json's dump(1) of the array
// would write it: keys in order, one space of indent a level. A text field
// holds the bytes as they are when they are UTF-8, and a second field their
// base64 when they are not, since JSON strings cannot carry other bytes.
void jsonEntry(std::string& out, const Timg& img, const Node* n, const std::string& path) {
    const TImgEntry& e = n->entry;
    const TImgEntry& a = shownEntry(img, n);
    auto key = [&](const char* k) {
        out += ",\n  \"";
        out += k;
        out += "\": ";
    };
    auto bytes = [&](const char* k, const std::string& value) {
        key(k);
        putString(out, value);
        if (!validUtf8(value)) {
            key((std::string(k) + "_base64").c_str());
            putString(out, base64(value));
        }
    };
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", a.mode & kModePermissionMask);
    out += " {\n  \"gid\": " + std::to_string(a.gid);
    key("mode");
    putString(out, mode);
    key("mtime");
    out += std::to_string(a.mtime);
    bytes("path", path);
    key("size");
    out += std::to_string(a.size);
    if (e.objType == kTypeSymlink) {
        bytes("target", e.alias);
    } else if (e.objType == kTypeHardlink) {
        if (Node* t = linkTarget(img, e)) {
            bytes("target", displayPath(t));
        } else {
            key("target");
            out += "null";
        }
    }
    key("type");
    putString(out, typeName(e));
    key("uid");
    out += std::to_string(a.uid);
    if (!a.xattrs.empty()) {
        // By name; of a name given twice, the last value.
        std::map<std::string_view, const std::string*> byName;
        for (const Xattr& attr : a.xattrs)
            byName[attr.name] = &attr.value;
        key("xattrs");
        out += "{";
        const char* sep = "\n   ";
        for (const auto& [name, value] : byName) {
            out += sep;
            putString(out, std::string(name));
            out += ": ";
            putString(out, base64(*value));
            sep = ",\n   ";
        }
        out += "\n  }";
    }
    out += "\n }";
}

// Calls fn(node, path) for each object listed at start: start itself when it
// is no folder, else its children, and with recursive everything below it in
// tree order. path is the node's path from the root ("/etc/hosts"), made
// from its folder's path.
template <typename Fn>
void forEachListed(Node* start, bool recursive, Fn&& fn) {
    std::string path = start->parent ? displayPath(start) : std::string();
    if (!start->isDirectory()) {
        fn(start, path);
        return;
    }
    struct Frame {
        const Node* dir;
        size_t next;
        size_t pathLength;
    };
    std::vector<Frame> stack{{start, 0, path.size()}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.dir->children.size()) {
            stack.pop_back();
            continue;
        }
        const Node* n = f.dir->children[f.next++].get();
        path.resize(f.pathLength);
        path += '/';
        path += n->text;
        fn(n, path);
        if (recursive && n->isDirectory())
            stack.push_back({n, 0, path.size()});
    }
}

std::string typeName(const TImgEntry& e) {
    switch (e.objType) {
    case kTypeFile:
        return "file";
    case kTypeDirectory:
        return "dir";
    case kTypeSymlink:
        return "symlink";
    case kTypeHardlink:
        return "hardlink";
    case kTypeSpecial:
    case kTypeBlockDevice:
    case kTypeOther:
        switch (e.mode & kModeTypeMask) {
        case kModeCharDevice:
            return "chardev";
        case kModeBlockDevice:
            return "blockdev";
        case kModeFifo:
            return "fifo";
        case kModeSocket:
            return "socket";
        default:
            return e.objType == kTypeBlockDevice ? "blockdev" : "special";
        }
    default:
        return "unknown";
    }
}

std::string modeString(const TImgEntry& e) {
    uint32_t m = e.mode;
    std::string s(10, '-');
    s[0] = typeChar(e);
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (m & (0400u >> i))
            s[static_cast<size_t>(i) + 1] = rwx[i];
    auto special = [&s](size_t at, bool set, char onExec, char onNoExec) {
        if (set)
            s[at] = s[at] == 'x' ? onExec : onNoExec;
    };
    special(3, m & 04000, 's', 'S');
    special(6, m & 02000, 's', 'S');
    special(9, m & 01000, 't', 'T');
    return s;
}

std::string isoTime(int64_t t) {
    // The proleptic Gregorian calendar by arithmetic: gmtime_r takes the
    // time zone lock on every call, a tenth of a long listing's time.
    int64_t days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Days since 0000-03-01, in 400-year eras of 146,097 days.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 0 || year > 9999) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                      static_cast<long long>(year), static_cast<long long>(month),
                      static_cast<long long>(day), static_cast<long long>(secs / 3600),
                      static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
        return buf;
    }
    std::string text = "0000-00-00T00:00:00Z";
    auto put = [&text](size_t at, int64_t v, int width) {
        for (int i = width - 1; i >= 0; --i, v /= 10)
            text[at + static_cast<size_t>(i)] = static_cast<char>('0' + v % 10);
    };
    put(0, year, 4);
    put(5, month, 2);
    put(8, day, 2);
    put(11, secs / 3600, 2);
    put(14, secs / 60 % 60, 2);
    put(17, secs % 60, 2);
    return text;
}

std::string selinuxLabel(const TImgEntry& e) {
    for (const Xattr& a : e.xattrs)
        if (a.name == "security.selinux") {
            std::string label = a.value;
            while (!label.empty() && label.back() == '\0')
                label.pop_back();
            return label;
        }
    return "?";
}

void printInfo(const Timg& img, std::FILE* out) {
    auto facts = img.describe();
    // How the image is stored (an Android sparse image) comes after the format.
    if (img.image()) {
        auto stored = img.image()->describe();
        facts.insert(facts.begin() + (facts.empty() ? 0 : 1), stored.begin(), stored.end());
    }
    for (const auto& [label, value] : facts)
        std::fprintf(out, "%-18s %s\n", (label + ":").c_str(), value.c_str());
    for (const Message& w : img.warningMessages())
        std::fprintf(out, "%-18s %s\n", "warning:", say(w).c_str());
}

void readAll(Timg& img, std::FILE* out) {
    auto start = std::chrono::steady_clock::now();
    uint64_t files = 0, bytes = 0;
    Bytes buf(kStreamBuffer);
    forEachPreorder(img.root(), [&](Node* n) {
        if (n->entry.objType != kTypeFile)
            return;
        forEachData(img, n->entry, MutableByteSpan(buf), [](uint64_t, ByteSpan) { return true; });
        ++files;
        bytes += n->entry.size;
    });
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = seconds > 0 ? static_cast<double>(bytes) / seconds / 1e9 : 0.0;
    std::fprintf(out, "%-18s %llu files, %llu bytes in %.3f s (%.2f GB/s)\n",
                 "read:", static_cast<unsigned long long>(files),
                 static_cast<unsigned long long>(bytes), seconds, rate);
}

void printListing(Timg& img, const std::string& path, const LsOptions& opt, std::FILE* out) {
    Node* start = findPath(img.root(), path);
    if (!start)
        throw Error(msg("no such file or directory in the image: %1", path));
    // Written as it is made, 64 KiB at a time: the listing of a million
    // objects never stands in memory.
    std::string buf;
    auto flush = [&](size_t above) {
        if (buf.size() > above) {
            std::fwrite(buf.data(), 1, buf.size(), out);
            buf.clear();
        }
    };
    bool first = true;
    forEachListed(start, opt.recursive, [&](const Node* n, const std::string& p) {
        if (opt.json) {
            buf += first ? "[\n" : ",\n";
            jsonEntry(buf, img, n, p);
        } else if (opt.longFormat) {
            appendLsLine(buf, img, n, p, opt);
            buf += '\n';
        } else {
            buf += p;
            buf += '\n';
        }
        first = false;
        flush(1u << 16);
    });
    if (opt.json)
        buf += first ? "[]\n" : "\n]\n";
    flush(0);
}

void printContents(Timg& img, const std::string& path, std::FILE* out) {
    Node* n = findPath(img.root(), path);
    if (!n)
        throw Error(msg("no such file in the image: %1", path));
    if (n->entry.objType == kTypeHardlink) {
        Node* t = linkTarget(img, n->entry);
        if (!t)
            throw Error(msg("%1 is a hard link whose target is missing", path));
        n = t;
    }
    if (n->entry.objType != kTypeFile)
        throw Error(msg("%1 is not a regular file (%2)", path, typeName(n->entry)));
    const TImgEntry& e = n->entry;
    Bytes buf(static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, e.size)));
    for (uint64_t at = 0; at < e.size;) {
        size_t got = img.ReadRange(e, at, MutableByteSpan(buf));
        if (got == 0)
            break;
        if (std::fwrite(buf.data(), 1, got, out) != got)
            throw Error("cannot write to standard output");
        at += got;
    }
    if (std::fflush(out) != 0)
        throw Error("cannot write to standard output");
}

void addReadCommands(CLI::App& app, Commands& out) {
    struct Options {
        std::string image;
        std::string path = "/";
        OpenOptions open;
        bool readAll = false;
        LsOptions ls;
    };
    auto o = std::make_shared<Options>();

    if (auto* info = addCommand(app, "info", "Show the image's format and layout facts")) {
        info->add_flag("--read-all", o->readAll,
                       "Also read every file's contents and report bytes read and GB/s");
        info->add_option("IMAGE", o->image, "Image file")->required();
        addOpenOptions(info, o->open);
        out.push_back({info, [o](Context& ctx) {
                           OpenOptions open = o->open;
                           open.factsOnly = !o->readAll;
                           auto& img = openImage(ctx, o->image, open);
                           printChainInfo(img, open, stdout);
                           if (o->readAll)
                               readAll(*img, stdout);
                           return 0;
                       }});
    }

    if (auto* ls = addCommand(app, "ls", "List the objects of the image")) {
        ls->add_flag("-l", o->ls.longFormat,
                     "Long format: mode, uid, gid, size, mtime (UTC), path");
        ls->add_flag("-R", o->ls.recursive, "List subfolders recursively");
        ls->add_flag("--json", o->ls.json,
                     "Print a JSON array of objects (with \"xattrs\": name to base64 value)");
        ls->add_flag("-Z", o->ls.label,
                     "With -l: show each object's SELinux label after the group");
        ls->add_option("IMAGE", o->image, "Image file")->required();
        ls->add_option("PATH", o->path, "Folder or object inside the image (default /)");
        addOpenOptions(ls, o->open);
        out.push_back({ls, [o](Context& ctx) {
                           auto& img = openImage(ctx, o->image, o->open);
                           printListing(*img, o->path, o->ls, stdout);
                           return 0;
                       }});
    }

    if (auto* cat = addCommand(app, "cat", "Write a file's bytes to standard output")) {
        cat->add_option("IMAGE", o->image, "Image file")->required();
        cat->add_option("PATH", o->path, "File inside the image")->required();
        addOpenOptions(cat, o->open);
        out.push_back({cat, [o](Context& ctx) {
                           auto& img = openImage(ctx, o->image, o->open);
                           printContents(*img, o->path, stdout);
                           return 0;
                       }});
    }
}

} // namespace korvane::cli
