#include "pax_header.h"

#include <algorithm>
#include <cstring>

namespace korvane {

namespace {

// The ustar header block.
constexpr size_t kBlock = 512;
constexpr size_t kNameAt = 0;
constexpr size_t kNameSize = 100;
constexpr size_t kSizeAt = 124;
constexpr size_t kSizeSize = 12;
constexpr size_t kChecksumAt = 148;
constexpr size_t kChecksumSize = 8;
constexpr size_t kTypeAt = 156;
constexpr size_t kLinkNameAt = 157;
constexpr size_t kLinkNameSize = 100;
constexpr char kTypePax = 'x';
constexpr uint32_t kBillion = 1000000000;
// Headers one member may have before its own: long name, long link name,
// global and extended headers. More is no archive a tool wrote.
constexpr int kMaxHeaders = 8;

size_t roundUp(size_t n) {
    return (n + kBlock - 1) / kBlock * kBlock;
}

// An octal field: digits, with spaces or NULs around them.
std::optional<uint64_t> octalField(const std::byte* p, size_t n) {
    size_t i = 0;
    while (i < n && (p[i] == std::byte{' '} || p[i] == std::byte{0}))
        ++i;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < n && p[i] >= std::byte{'0'} && p[i] <= std::byte{'7'}; ++i, ++digits)
        v = v * 8 + static_cast<uint64_t>(p[i]) - '0';
    for (; i < n; ++i)
        if (p[i] != std::byte{' '} && p[i] != std::byte{0})
            return std::nullopt;
    return digits > 0 ? std::optional(v) : std::nullopt;
}

uint32_t checksumOf(const std::byte* h) {
    uint32_t sum = 0;
    for (size_t i = 0; i < kBlock; ++i)
        sum +=
            i >= kChecksumAt && i < kChecksumAt + kChecksumSize ? ' ' : static_cast<uint8_t>(h[i]);
    return sum;
}

bool checksumOk(const std::byte* h) {
    const std::optional<uint64_t> stored = octalField(h + kChecksumAt, kChecksumSize);
    return stored && *stored == checksumOf(h);
}

void putOctal(std::byte* p, size_t n, uint64_t v) {
    // n - 1 digits and a NUL, as ustar writers fill numeric fields.
    for (size_t i = n - 1; i-- > 0; v /= 8)
        p[i] = static_cast<std::byte>('0' + v % 8);
    p[n - 1] = std::byte{0};
}

void setChecksum(std::byte* h) {
    const uint32_t sum = checksumOf(h);
    for (size_t i = 0, v = sum; i < 6; ++i, v /= 8)
        h[kChecksumAt + 5 - i] = static_cast<std::byte>('0' + v % 8);
    h[kChecksumAt + 6] = std::byte{0};
    h[kChecksumAt + 7] = std::byte{' '};
}

// "LEN key=value\n" records; nullopt when they do not add up.
std::optional<PaxRecords> parseRecords(std::string_view text) {
    PaxRecords out;
    while (!text.empty()) {
        size_t len = 0, i = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 12; ++i)
            len = len * 10 + static_cast<size_t>(text[i] - '0');
        if (i == 0 || i >= text.size() || text[i] != ' ' || len <= i + 1 || len > text.size() ||
            text[len - 1] != '\n')
            return std::nullopt;
        const std::string_view record = text.substr(i + 1, len - i - 2);
        const size_t eq = record.find('=');
        if (eq == std::string_view::npos)
            return std::nullopt;
        out.emplace_back(record.substr(0, eq), record.substr(eq + 1));
        text.remove_prefix(len);
    }
    return out;
}

std::string formatRecords(const PaxRecords& records) {
    std::string out;
    for (const auto& [key, value] : records) {
        // The length counts its own digits.
        const size_t rest = 1 + key.size() + 1 + value.size() + 1;
        size_t len = rest + 1;
        while (std::to_string(len).size() + rest != len)
            len = std::to_string(len).size() + rest;
        out += std::to_string(len) + " " + key + "=" + value + "\n";
    }
    return out;
}

} // namespace

std::string paxTime(PaxTime t) {
    // {-2, 750000000} is -1.25 s: the whole seconds toward zero, and the
    // fraction that is left, both with the sign in front.
    const bool negative = t.sec < 0 && t.nsec > 0;
    const int64_t whole = negative ? t.sec + 1 : t.sec;
    uint32_t frac = negative ? kBillion - t.nsec : t.nsec;
    std::string out = (negative && whole == 0 ? "-" : "") + std::to_string(whole);
    if (frac > 0) {
        std::string digits = std::to_string(frac);
        digits.insert(0, 9 - digits.size(), '0');
        while (digits.back() == '0')
            digits.pop_back();
        out += "." + digits;
    }
    return out;
}

std::optional<PaxTime> parsePaxTime(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    uint64_t whole = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (whole > (uint64_t{1} << 62) / 10)
            return std::nullopt;
        whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0)
        return std::nullopt;
    uint32_t frac = 0;
    if (i < text.size()) {
        if (text[i] != '.')
            return std::nullopt;
        uint32_t scale = kBillion / 10;
        for (++i; i < text.size(); ++i, scale /= 10) {
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
            frac += static_cast<uint32_t>(text[i] - '0') * scale; // beyond 9 digits: 0
        }
    }
    const auto sec = static_cast<int64_t>(whole);
    if (!negative)
        return PaxTime{sec, frac};
    return frac == 0 ? PaxTime{-sec, 0} : PaxTime{-sec - 1, kBillion - frac};
}

Bytes rewritePaxHeader(ByteSpan header, const PaxRecords& set) {
    const Bytes unchanged(header.begin(), header.end());
    if (header.size() < kBlock || header.size() % kBlock != 0)
        return unchanged;
    const std::byte* main = header.data() + header.size() - kBlock;
    PaxRecords records;
    Bytes x(kBlock);
    if (header.size() > kBlock) {
        const std::byte* h = header.data();
        const std::optional<uint64_t> size = octalField(h + kSizeAt, kSizeSize);
        if (h[kTypeAt] != std::byte{kTypePax} || !size ||
            roundUp(static_cast<size_t>(*size)) + 2 * kBlock != header.size())
            return unchanged;
        std::optional<PaxRecords> old = parseRecords(std::string_view(
            reinterpret_cast<const char*>(h + kBlock), static_cast<size_t>(*size)));
        if (!old)
            return unchanged;
        records = std::move(*old);
        std::memcpy(x.data(), h, kBlock);
    } else {
        // An extended header of the member's own: its ustar fields, type
        // "x", and a name that says what it is.
        std::memcpy(x.data(), main, kBlock);
        x[kTypeAt] = std::byte{kTypePax};
        std::memset(x.data() + kLinkNameAt, 0, kLinkNameSize);
        const char* name = reinterpret_cast<const char*>(main + kNameAt);
        const std::string base(name, strnlen(name, kNameSize));
        const std::string paxName = ("PaxHeader/" + base).substr(0, kNameSize);
        std::memset(x.data() + kNameAt, 0, kNameSize);
        std::memcpy(x.data() + kNameAt, paxName.data(), paxName.size());
    }
    for (const auto& [key, value] : set) {
        const std::string& name = key; // a lambda may not capture a structured binding (clang)
        auto it = std::find_if(records.begin(), records.end(),
                               [&name](const auto& r) { return r.first == name; });
        if (it != records.end())
            it->second = value;
        else
            records.emplace_back(key, value);
    }
    const std::string text = formatRecords(records);
    putOctal(x.data() + kSizeAt, kSizeSize, text.size());
    setChecksum(x.data());
    Bytes out = std::move(x);
    out.insert(out.end(), reinterpret_cast<const std::byte*>(text.data()),
               reinterpret_cast<const std::byte*>(text.data()) + text.size());
    out.resize(roundUp(out.size()), std::byte{0});
    out.insert(out.end(), main, main + kBlock);
    return out;
}

std::optional<PaxRecords> memberPaxRecords(ByteSpan blocks) {
    PaxRecords out;
    size_t at = 0;
    for (int n = 0; n < kMaxHeaders; ++n) {
        if (blocks.size() - at < kBlock)
            return std::nullopt;
        const std::byte* h = blocks.data() + at;
        if (!checksumOk(h))
            return std::nullopt;
        const char type = static_cast<char>(h[kTypeAt]);
        if (type != 'x' && type != 'X' && type != 'g' && type != 'L' && type != 'K')
            return out; // the member's own header
        const std::optional<uint64_t> size = octalField(h + kSizeAt, kSizeSize);
        if (!size || *size > blocks.size() - at - kBlock)
            return std::nullopt;
        if (type == 'x' || type == 'X') {
            std::optional<PaxRecords> r = parseRecords(std::string_view(
                reinterpret_cast<const char*>(h + kBlock), static_cast<size_t>(*size)));
            if (!r)
                return std::nullopt;
            out.insert(out.end(), r->begin(), r->end());
        }
        at += kBlock + roundUp(static_cast<size_t>(*size));
    }
    return std::nullopt;
}

} // namespace korvane
