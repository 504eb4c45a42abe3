#include "testutil.h"

#include "text/messagetext.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace korvane::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/korvane-test-XXXXXX";
    if (!::mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(path_, ec);
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

CommandResult run(const std::string& command) {
    TempDir tmp;
    std::string errPath = tmp / "stderr";
    std::string full = "(" + command + ") 2>" + shellQuote(errPath);
    CommandResult r;
    FILE* p = ::popen(full.c_str(), "r");
    if (!p)
        throw std::runtime_error("popen failed");
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = toString(readFile(errPath));
    return r;
}

bool haveProgram(const std::string& name) {
    return run("command -v " + shellQuote(name) + " >/dev/null").status == 0;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ByteSpan b = asBytes(s);
    return Bytes(b.begin(), b.end());
}

void writeFile(const std::string& path, ByteSpan bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, asBytes(text));
}

Bytes bytesOf(const std::string& text) {
    ByteSpan b = asBytes(text);
    return Bytes(b.begin(), b.end());
}

std::string toString(ByteSpan bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string diskTree(const std::string& root, bool withTimes) {
    std::vector<std::string> lines;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        std::string path = it->path().string();
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            throw std::runtime_error("cannot examine " + path);
        std::string line = path.substr(root.size() + 1) + " ";
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        bool timed = false;
        if (S_ISDIR(st.st_mode)) {
            line += std::string("d ") + mode;
            timed = true;
        } else if (S_ISREG(st.st_mode)) {
            line += std::string("f ") + mode + " " + std::to_string(st.st_size) + " " +
                    std::to_string(contentHash(readFile(path)));
            timed = true;
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(4096, '\0');
            ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(n > 0 ? static_cast<size_t>(n) : 0);
            line += "l -> " + target;
        } else {
            char kind = S_ISCHR(st.st_mode)    ? 'c'
                        : S_ISBLK(st.st_mode)  ? 'b'
                        : S_ISFIFO(st.st_mode) ? 'p'
                                               : 's';
            line += std::string(1, kind) + " " + mode;
        }
        if (withTimes && timed)
            line += " @" + std::to_string(st.st_mtime);
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

uint64_t contentHash(ByteSpan bytes) {
    uint64_t h = 1469598103934665603ull;
    for (std::byte b : bytes)
        h = (h ^ std::to_integer<uint64_t>(b)) * 1099511628211ull;
    return h;
}

namespace {

std::string xattrText(const std::string& path) {
    std::string names(65536, '\0');
    ssize_t n = ::llistxattr(path.c_str(), names.data(), names.size());
    if (n <= 0)
        return {};
    std::map<std::string, std::string> values;
    for (size_t i = 0; i < static_cast<size_t>(n);) {
        std::string name(names.c_str() + i);
        i += name.size() + 1;
        if (name.rfind("system.", 0) == 0)
            continue;
        std::string value(65536, '\0');
        ssize_t v = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(v > 0 ? static_cast<size_t>(v) : 0);
        values[name] = value;
    }
    std::string out;
    for (auto& [k, v] : values)
        out += " " + k + "=" + v;
    return out;
}

} // namespace

std::string statTree(const std::string& top, bool contents) {
    std::map<std::string, std::string> lines;
    std::map<ino_t, std::string> firstName;
    for (auto it = std::filesystem::recursive_directory_iterator(top);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
        const std::string rel = it->path().lexically_relative(top).string();
        if (rel == "lost+found") // every EXT image Korvane writes has one
            continue;
        struct stat st {};
        ::lstat(it->path().c_str(), &st);
        const bool dev = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
        char buf[200];
        std::snprintf(buf, sizeof buf, " %06o %u:%u dev%u:%u s%lld m%lld", st.st_mode, st.st_uid,
                      st.st_gid, dev ? major(st.st_rdev) : 0, dev ? minor(st.st_rdev) : 0,
                      S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0LL,
                      S_ISDIR(st.st_mode) ? 0LL : static_cast<long long>(st.st_mtime));
        std::string line = rel + buf;
        if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
            auto [first, fresh] = firstName.try_emplace(st.st_ino, rel);
            line += " names " + (fresh ? std::string("(first)") : first->second);
        }
        if (contents && S_ISREG(st.st_mode))
            line += " h" + std::to_string(contentHash(readFile(it->path().string())));
        if (contents)
            line += xattrText(it->path().string());
        lines[rel] = line;
    }
    std::string out;
    for (auto& [k, v] : lines)
        out += v + "\n";
    return out;
}

std::string zh(const Message& m) {
    return text::messageText(m, text::Language::kChinese);
}

} // namespace korvane::test
