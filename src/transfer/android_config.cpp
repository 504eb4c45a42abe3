#include "android_config.h"

#include "model/bytes.h"
#include "model/error.h"
#include "model/tree.h"

#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>

namespace korvane {

namespace {

constexpr const char* kCapabilityXattr = "security.capability";
constexpr const char* kLabelXattr = "security.selinux";

// vfs_cap_data: a word of revision and flags, then permitted and inheritable
// words (one pair in revision 1, two in revision 2 and 3).
constexpr uint32_t kCapRevisionMask = 0xFF000000;
constexpr uint32_t kCapRevision1 = 0x01000000;
constexpr uint32_t kCapRevision2 = 0x02000000;
constexpr uint32_t kCapRevision3 = 0x03000000;
constexpr uint32_t kCapEffective = 0x000001;

std::string trimmedMountPoint(const std::string& mountPoint) {
    size_t a = mountPoint.find_first_not_of('/');
    if (a == std::string::npos)
        return {};
    size_t b = mountPoint.find_last_not_of('/');
    return mountPoint.substr(a, b - a + 1);
}

const std::string* xattrValue(const TImgEntry& e, const char* name) {
    for (const Xattr& x : e.xattrs)
        if (x.name == name)
            return &x.value;
    return nullptr;
}

void setXattr(TImgEntry& e, const char* name, std::string value) {
    for (Xattr& x : e.xattrs)
        if (x.name == name) {
            x.value = std::move(value);
            return;
        }
    e.xattrs.push_back({name, std::move(value)});
}

void removeXattr(TImgEntry& e, const char* name) {
    for (auto it = e.xattrs.begin(); it != e.xattrs.end(); ++it)
        if (it->name == name) {
            e.xattrs.erase(it);
            return;
        }
}

std::string absolutePath(const Node* node, const std::string& mountPoint) {
    const std::string below = fsConfigPath(node, mountPoint);
    return "/" + below;
}

// The path as a regular expression matching exactly it.
std::string escapedRegex(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (std::string_view(".^$*+?()[]{}|\\").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

void put(std::FILE* out, const std::string& line) {
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size())
        throwSystemError(msg("cannot write the file"), errno);
}

// The entry whose attributes an object shows: a hard link's target's.
const TImgEntry& shown(const Timg& img, const Node* n) {
    if (n->entry.objType == kTypeHardlink)
        if (const Node* t = img.nodeFor(n->entry.linkInfo))
            return t->entry;
    return n->entry;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throwSystemError(msg("cannot open %1", path), errno);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

} // namespace

std::optional<uint64_t> capabilityMask(const std::string& value) {
    if (value.size() < 4)
        return std::nullopt;
    const auto* p = reinterpret_cast<const std::byte*>(value.data());
    const uint32_t revision = load32(p) & kCapRevisionMask;
    if (revision == kCapRevision1 && value.size() >= 12)
        return load32(p + 4);
    if ((revision == kCapRevision2 || revision == kCapRevision3) && value.size() >= 20)
        return load32(p + 4) | uint64_t{load32(p + 12)} << 32;
    return std::nullopt;
}

std::string capabilityValue(uint64_t permitted) {
    std::string value(20, '\0');
    auto* p = reinterpret_cast<std::byte*>(value.data());
    store32(p, kCapRevision2 | kCapEffective);
    store32(p + 4, static_cast<uint32_t>(permitted));
    store32(p + 12, static_cast<uint32_t>(permitted >> 32));
    return value;
}

std::string fsConfigPath(const Node* node, const std::string& mountPoint) {
    const std::string mp = trimmedMountPoint(mountPoint);
    const std::string below = node->parent ? pathFromRoot(node) : std::string();
    if (mp.empty())
        return below;
    return below.empty() ? mp : mp + "/" + below;
}

void writeFsConfig(Timg& img, const std::string& mountPoint, std::FILE* out) {
    forEachPreorder(img.root(), [&](Node* n) {
        const TImgEntry& e = shown(img, n);
        std::string path = fsConfigPath(n, mountPoint);
        if (path.empty())
            path = "/";
        char fields[96];
        const std::string* cap = xattrValue(e, kCapabilityXattr);
        const uint64_t caps = cap ? capabilityMask(*cap).value_or(0) : 0;
        std::snprintf(fields, sizeof fields, " %u %u %04o capabilities=0x%llx\n", e.uid, e.gid,
                      e.mode & kModePermissionMask, static_cast<unsigned long long>(caps));
        put(out, path + fields);
    });
}

void writeFileContexts(Timg& img, const std::string& mountPoint, std::FILE* out) {
    forEachPreorder(img.root(), [&](Node* n) {
        const std::string* label = xattrValue(shown(img, n), kLabelXattr);
        if (!label)
            return;
        std::string text = *label;
        while (!text.empty() && text.back() == '\0')
            text.pop_back();
        put(out, escapedRegex(absolutePath(n, mountPoint)) + " " + text + "\n");
    });
}

FsConfig FsConfig::load(const std::string& path) {
    return parse(fileText(path), path);
}

FsConfig FsConfig::parse(const std::string& text, const std::string& where) {
    FsConfig c;
    std::istringstream in(text);
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        // The root may be written as a lone space before the numbers.
        if (!line.empty() && line[0] == ' ')
            line.insert(line.begin(), '/');
        const std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        auto bad = [&] {
            return Error(msg("%1, line %2: not an fs_config line (PATH UID GID MODE "
                             "[capabilities=MASK]): %3",
                             where, number, line));
        };
        if (w.size() < 4)
            throw bad();
        Entry e;
        try {
            size_t used = 0;
            e.uid = static_cast<uint32_t>(std::stoul(w[1], &used, 10));
            e.gid = static_cast<uint32_t>(std::stoul(w[2], &used, 10));
            e.mode = static_cast<uint32_t>(std::stoul(w[3], &used, 8));
            if (used != w[3].size() || e.mode > kModePermissionMask)
                throw bad();
            for (size_t i = 4; i < w.size(); ++i)
                if (w[i].rfind("capabilities=", 0) == 0)
                    e.capabilities = std::stoull(w[i].substr(13), nullptr, 0);
        } catch (const std::logic_error&) {
            throw bad();
        }
        std::string path = w[0];
        while (!path.empty() && path[0] == '/')
            path.erase(path.begin());
        while (!path.empty() && path.back() == '/')
            path.pop_back();
        c.entries_[path] = e;
    }
    return c;
}

const FsConfig::Entry* FsConfig::find(const std::string& path) const {
    auto it = entries_.find(path);
    return it == entries_.end() ? nullptr : &it->second;
}

struct FileContexts::Rules {
    struct Rule {
        std::regex re;
        std::string stem; // the literal text every match starts with
        uint32_t type;    // file-type bits, 0 for any
        std::string label;
    };
    std::vector<Rule> rules;
};

FileContexts::FileContexts() : rules_(std::make_unique<Rules>()) {}
FileContexts::FileContexts(FileContexts&&) noexcept = default;
FileContexts& FileContexts::operator=(FileContexts&&) noexcept = default;
FileContexts::~FileContexts() = default;

size_t FileContexts::size() const {
    return rules_->rules.size();
}

FileContexts FileContexts::load(const std::string& path) {
    return parse(fileText(path), path);
}

namespace {

uint32_t typeOfColumn(const std::string& t) {
    static const std::pair<const char*, uint32_t> kTypes[] = {
        {"--", kModeFile},       {"-d", kModeDirectory},   {"-l", kModeSymlink},
        {"-c", kModeCharDevice}, {"-b", kModeBlockDevice}, {"-p", kModeFifo},
        {"-s", kModeSocket},
    };
    for (const auto& [name, bits] : kTypes)
        if (t == name)
            return bits;
    return ~0u;
}

// The literal head of a regular expression: what any match starts with.
std::string stemOf(const std::string& re) {
    std::string stem;
    for (size_t i = 0; i < re.size(); ++i) {
        const char c = re[i];
        if (c == '\\' && i + 1 < re.size() &&
            std::string_view(".^$*+?()[]{}|\\/-").find(re[i + 1]) != std::string_view::npos) {
            stem += re[++i];
            continue;
        }
        if (std::string_view(".^$*+?()[]{}|\\").find(c) != std::string_view::npos) {
            // A quantifier makes the character before it optional.
            if (std::string_view("*?{").find(c) != std::string_view::npos && !stem.empty())
                stem.pop_back();
            break;
        }
        stem += c;
    }
    return stem;
}

} // namespace

FileContexts FileContexts::parse(const std::string& text, const std::string& where) {
    FileContexts c;
    std::istringstream in(text);
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> w = words(line);
        if (w.empty() || w[0][0] == '#')
            continue;
        uint32_t type = 0;
        if (w.size() == 3) {
            type = typeOfColumn(w[1]);
        } else if (w.size() != 2) {
            type = ~0u;
        }
        if (type == ~0u)
            throw Error(msg("%1, line %2: not a file_contexts line (REGEX [TYPE] LABEL): %3", where,
                            number, line));
        try {
            c.rules_->rules.push_back(
                {std::regex(w[0], std::regex::ECMAScript | std::regex::optimize), stemOf(w[0]),
                 type, w.back()});
        } catch (const std::regex_error& e) {
            throw Error(msg("%1, line %2: %3 is not a regular expression (%4)", where, number, w[0],
                            e.what()));
        }
    }
    return c;
}

std::optional<std::string> FileContexts::find(const std::string& path, uint32_t mode) const {
    const auto& rules = rules_->rules;
    for (auto it = rules.rbegin(); it != rules.rend(); ++it) {
        if (path.compare(0, it->stem.size(), it->stem) != 0)
            continue;
        if (it->type && it->type != (mode & kModeTypeMask))
            continue;
        if (!std::regex_match(path, it->re))
            continue;
        if (it->label == "<<none>>")
            return std::nullopt;
        return it->label;
    }
    return std::nullopt;
}

AndroidConfigResult applyAndroidConfig(Timg& img, const FsConfig* fsConfig,
                                       const FileContexts* contexts,
                                       const std::string& mountPoint) {
    AndroidConfigResult r;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n->entry.objType == kTypeHardlink)
            return; // its attributes are its target's
        TImgEntry& e = n->entry;
        if (fsConfig) {
            if (const FsConfig::Entry* c = fsConfig->find(fsConfigPath(n, mountPoint))) {
                e.uid = c->uid;
                e.gid = c->gid;
                e.mode = (e.mode & ~kModePermissionMask) | c->mode;
                if (c->capabilities)
                    setXattr(e, kCapabilityXattr, capabilityValue(c->capabilities));
                else
                    removeXattr(e, kCapabilityXattr);
                ++r.owned;
            } else if (r.unlisted++ == 0) {
                r.firstUnlisted = "/" + pathFromRoot(n);
            }
        }
        if (contexts) {
            if (std::optional<std::string> label =
                    contexts->find(absolutePath(n, mountPoint), fileTypeBits(e))) {
                setXattr(e, kLabelXattr, *label + '\0');
                ++r.labelled;
            }
        }
    });
    if (r.owned || r.labelled)
        img.modified = true;
    return r;
}

} // namespace korvane
