#include "texts.h"

namespace korvane {

namespace {

constexpr const char* kTriples[8] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};

std::string triple(uint32_t bits, bool special) {
    std::string t = kTriples[bits & 7];
    if (special)
        t[2] = t[2] == 'x' ? 's' : 'S';
    return t;
}

// Cuts text to at most max bytes without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t max) {
    if (text.size() <= max)
        return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

// The list shows at most 160 bytes of the Chinese link text: 13 bytes before
// the target, 147 of the target.
constexpr size_t kLinkTargetMax = 147;

} // namespace

std::string modetext(uint32_t mode, int style) {
    const uint32_t others = mode & 7, group = (mode >> 3) & 7, owner = (mode >> 6) & 7;
    const uint32_t special = (mode >> 9) & 7;
    if (style == 1)
        return triple(owner, special & 4) + triple(group, special & 2) +
               triple(others, special & 1);
    if (style == 0) {
        std::string s(4, '0');
        s[0] = static_cast<char>('0' + special);
        s[1] = static_cast<char>('0' + owner);
        s[2] = static_cast<char>('0' + group);
        s[3] = static_cast<char>('0' + others);
        return s;
    }
    return {};
}

uint32_t parsemode(std::string_view text) {
    std::string padded = "0000";
    padded += text;
    std::string_view last = std::string_view(padded).substr(padded.size() - 4);
    uint32_t value = 0;
    for (char c : last) {
        if (c < '0' || c > '7')
            return 0;
        value = value * 8 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

std::string twodecimals(uint64_t n, uint64_t divisor) {
    // Exact: whole part and remainder apart, so no floating point rounding and
    // no overflow for any 64-bit n.
    uint64_t whole = n / divisor, rest = n % divisor;
    uint64_t hundredths = (rest * 100 + divisor / 2) / divisor;
    whole += hundredths / 100;
    hundredths %= 100;
    std::string s = std::to_string(whole) + ".";
    s += static_cast<char>('0' + hundredths / 10);
    s += static_cast<char>('0' + hundredths % 10);
    return s;
}

Message sizetext(uint64_t n) {
    std::string k = twodecimals(n, 1024);
    if (k.size() == 4)
        return msg("%1 bytes", n);
    if (k.size() > 6)
        return msg("%1MB (%2 bytes)", twodecimals(n, 1024 * 1024), n);
    return msg("%1KB (%2 bytes)", k, n);
}

std::string permissiontext(uint32_t mode) {
    return modetext(mode, 1) + " (" + modetext(mode, 0) + ")";
}

std::string listsizetext(const TImgEntry& entry) {
    return entry.objType == kTypeFile ? twodecimals(entry.size, 1024) : "0.00";
}

std::string imagesizetext(uint64_t bytes) {
    return twodecimals(bytes, 1024 * 1024) + "MB";
}

namespace {

// Devices, FIFOs, sockets and objects of no known type: by the file-type bits
// where the mode has them (YAFFS2 keeps all of them as one type, EXT as
// several), else by the object type.
Message specialtypetext(const TImgEntry& entry) {
    switch (entry.mode & kModeTypeMask) {
    case kModeCharDevice:
        return msg("Character device");
    case kModeBlockDevice:
        return msg("Block device");
    case kModeFifo:
        return msg("FIFO");
    case kModeSocket:
        return msg("Socket");
    default:
        break;
    }
    switch (entry.objType) {
    case kTypeSpecial:
        return msg("Character device");
    case kTypeBlockDevice:
        return msg("Block device");
    case kTypeOther:
        return msg("Other");
    default:
        return msg("Unknown");
    }
}

} // namespace

Message listtypetext(const TImgEntry& entry, size_t childCount, std::string_view linkName) {
    if (entry.objType == kTypeDirectory)
        return msg("Folder (%1 items)", childCount);
    return proptypetext(entry, linkName);
}

Message proptypetext(const TImgEntry& entry, std::string_view linkName) {
    switch (entry.objType) {
    case kTypeFile:
        return msg("File");
    case kTypeSymlink:
        return msg("Symbolic link  ->%1", cutUtf8(entry.alias, kLinkTargetMax));
    case kTypeDirectory:
        return msg("Folder");
    case kTypeHardlink:
        return msg("Hard link  ->%1", linkName);
    default:
        return specialtypetext(entry);
    }
}

std::string escapedName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char ch : name) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '\0') {
            out += "\\0";
        } else if (ch == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7F) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        } else {
            out += ch;
        }
    }
    return out;
}

bool validUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        // Continuation bytes after the lead byte.
        const size_t n = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
        if (n == 0 || static_cast<size_t>(end - p) <= n)
            return false;
        uint32_t cp = c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[k] & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t v = 0;
        for (size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

} // namespace korvane
