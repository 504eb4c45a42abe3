#include "xattrtext.h"

#include <array>
#include <cstdio>
#include <map>
#include <vector>

namespace korvane::ui {

namespace {

// The kernel's capability numbers, 0 to 40.
constexpr std::array<const char*, 41> kCapabilities = {"chown",
                                                       "dac_override",
                                                       "dac_read_search",
                                                       "fowner",
                                                       "fsetid",
                                                       "kill",
                                                       "setgid",
                                                       "setuid",
                                                       "setpcap",
                                                       "linux_immutable",
                                                       "net_bind_service",
                                                       "net_broadcast",
                                                       "net_admin",
                                                       "net_raw",
                                                       "ipc_lock",
                                                       "ipc_owner",
                                                       "sys_module",
                                                       "sys_rawio",
                                                       "sys_chroot",
                                                       "sys_ptrace",
                                                       "sys_pacct",
                                                       "sys_admin",
                                                       "sys_boot",
                                                       "sys_nice",
                                                       "sys_resource",
                                                       "sys_time",
                                                       "sys_tty_config",
                                                       "mknod",
                                                       "lease",
                                                       "audit_write",
                                                       "audit_control",
                                                       "setfcap",
                                                       "mac_override",
                                                       "mac_admin",
                                                       "syslog",
                                                       "wake_alarm",
                                                       "block_suspend",
                                                       "audit_read",
                                                       "perfmon",
                                                       "bpf",
                                                       "checkpoint_restore"};

// vfs_cap_data: a 32-bit word with the revision and the effective flag, then
// (permitted, inheritable) pairs of 32-bit masks, then (revision 3) the root
// user id of the namespace.
constexpr uint32_t kRevisionMask = 0xFF000000;
constexpr uint32_t kRevision1 = 0x01000000;
constexpr uint32_t kRevision2 = 0x02000000;
constexpr uint32_t kRevision3 = 0x03000000;
constexpr uint32_t kEffective = 0x000001;

uint32_t le32(std::string_view v, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(v[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(v[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(v[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(v[at + 3])) << 24;
}

std::string capabilityName(int bit) {
    if (bit < static_cast<int>(kCapabilities.size()))
        return std::string("cap_") + kCapabilities[static_cast<size_t>(bit)];
    return "cap_" + std::to_string(bit);
}

bool validUtf8Text(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) {
            if (c != '\t')
                return false;
            ++i;
            continue;
        }
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size())
            return false;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += len;
    }
    return true;
}

std::string hexText(std::string_view v) {
    std::string out = "0x";
    char b[3];
    for (char c : v) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(c));
        out += b;
    }
    return out;
}

} // namespace

std::optional<std::string> capabilityText(std::string_view value) {
    if (value.size() < 4)
        return std::nullopt;
    const uint32_t magic = le32(value, 0);
    const uint32_t revision = magic & kRevisionMask;
    const size_t sets = revision == kRevision1 ? 1 : 2;
    const size_t size = revision == kRevision1   ? 12
                        : revision == kRevision2 ? 20
                        : revision == kRevision3 ? 24
                                                 : 0;
    if (size == 0 || value.size() != size)
        return std::nullopt;
    const bool effective = magic & kEffective;
    // Capabilities grouped by their letters, in the order of their numbers.
    std::map<std::string, std::vector<int>> byLetters;
    std::vector<std::string> order;
    for (size_t set = 0; set < sets; ++set) {
        const uint32_t permitted = le32(value, 4 + set * 8);
        const uint32_t inheritable = le32(value, 8 + set * 8);
        for (int bit = 0; bit < 32; ++bit) {
            const bool p = permitted >> bit & 1, i = inheritable >> bit & 1;
            if (!p && !i)
                continue;
            std::string letters =
                std::string(effective ? "e" : "") + (i ? "i" : "") + (p ? "p" : "");
            auto [it, fresh] = byLetters.try_emplace(letters);
            if (fresh)
                order.push_back(letters);
            it->second.push_back(static_cast<int>(set * 32) + bit);
        }
    }
    std::string out;
    for (const std::string& letters : order) {
        if (!out.empty())
            out += ' ';
        const std::vector<int>& caps = byLetters[letters];
        for (size_t k = 0; k < caps.size(); ++k)
            out += (k ? "," : "") + capabilityName(caps[k]);
        out += "=" + letters;
    }
    if (out.empty())
        out = "=";
    if (revision == kRevision3)
        out += " [rootid=" + std::to_string(le32(value, 20)) + "]";
    return out;
}

std::string attributeText(const Xattr& x) {
    if (x.name == "security.capability")
        if (std::optional<std::string> caps = capabilityText(x.value))
            return *caps;
    std::string_view v = x.value;
    while (!v.empty() && v.back() == '\0')
        v.remove_suffix(1);
    if (v.empty())
        return x.value.empty() ? "" : hexText(x.value);
    return validUtf8Text(v) ? std::string(v) : hexText(x.value);
}

} // namespace korvane::ui
