#include "edit_cmd.h"

#include "command.h"
#include "extract_cmd.h"
#include "interrupt.h"
#include "model/error.h"
#include "model/tree.h"
#include "save_cmd.h"
#include "transfer/addfiles.h"
#include "transfer/in_place.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <unistd.h>

namespace korvane::cli {

// ---- The script language ----------------------------------------------------

std::vector<ScriptCommand> parseScript(std::string_view text, const std::string& source,
                                       bool lineNumbers) {
    std::vector<ScriptCommand> out;
    std::vector<std::string> words;
    std::string word;
    bool inWord = false; // a word has begun (even an empty quoted one)
    size_t line = 1, commandLine = 1;
    auto where = [&](size_t l) { return lineNumbers ? source + ":" + std::to_string(l) : source; };
    auto endWord = [&] {
        if (inWord)
            words.push_back(std::move(word));
        word.clear();
        inWord = false;
    };
    auto endCommand = [&] {
        endWord();
        if (!words.empty())
            out.push_back({where(commandLine), std::move(words)});
        words.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (words.empty() && !inWord)
            commandLine = line;
        if (c == '\n') {
            ++line;
            endCommand();
        } else if (c == ';') {
            // As a shell: a command ends here, and there must be one.
            endWord();
            if (words.empty())
                throw Error(msg("%1: \";\" without a command before it", where(line)));
            endCommand();
        } else if (c == ' ' || c == '\t' || c == '\r') {
            endWord();
        } else if (c == '#' && !inWord) {
            while (i + 1 < text.size() && text[i + 1] != '\n')
                ++i;
        } else if (c == '\\') {
            if (i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
                ++line; // the command goes on
            } else if (i + 1 < text.size()) {
                word += text[++i];
                inWord = true;
            }
        } else if (c == '\'' || c == '"') {
            const size_t opened = line;
            inWord = true;
            for (++i;; ++i) {
                if (i >= text.size())
                    throw Error(msg("%1: the quote (%2) is never closed", where(opened),
                                    std::string(1, c)));
                const char q = text[i];
                if (q == c)
                    break;
                if (q == '\n')
                    ++line;
                if (c == '"' && q == '\\' && i + 1 < text.size() &&
                    std::string_view("\"\\$`\n").find(text[i + 1]) != std::string_view::npos) {
                    if (text[++i] == '\n')
                        ++line;
                    else
                        word += text[i];
                    continue;
                }
                word += q;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    endCommand();
    return out;
}

namespace {

// Seconds since 1970 of a civil date and time in UTC (any year).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int64_t daysInMonth(int64_t y, int64_t m) {
    static constexpr int64_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
    return m == 2 && leap ? 29 : kDays[m - 1];
}

bool digits(std::string_view s, size_t n, int64_t& v) {
    if (s.size() < n)
        return false;
    v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
    }
    return true;
}

// ".123" -> nanoseconds; s is advanced past it.
bool fraction(std::string_view& s, uint32_t& ns) {
    ns = 0;
    if (s.empty() || (s[0] != '.' && s[0] != ','))
        return true;
    s.remove_prefix(1);
    size_t n = 0;
    uint32_t scale = 100000000;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
        ns += static_cast<uint32_t>(s[n] - '0') * scale;
        scale /= 10;
        ++n;
    }
    s.remove_prefix(n);
    return n > 0;
}

// The UTC offset in seconds of a local date and time, as the time zone rules
// give it for that moment.
int64_t localOffset(int64_t utcGuess) {
    time_t t = static_cast<time_t>(utcGuess);
    struct tm local {};
    if (!::localtime_r(&t, &local))
        return 0;
    return local.tm_gmtoff;
}

} // namespace

std::optional<Timestamp> parseTime(std::string_view s) {
    if (!s.empty() && s[0] == '@') {
        s.remove_prefix(1);
        const bool negative = !s.empty() && s[0] == '-';
        if (negative)
            s.remove_prefix(1);
        int64_t sec = 0;
        size_t n = 0;
        while (n < s.size() && s[n] >= '0' && s[n] <= '9' && n < 15)
            sec = sec * 10 + (s[n++] - '0');
        if (n == 0)
            return std::nullopt;
        s.remove_prefix(n);
        uint32_t ns = 0;
        if (!fraction(s, ns) || !s.empty())
            return std::nullopt;
        if (negative && ns > 0) // -1.25 is 1.25 s before 1970: -2 s + 0.75 s
            return Timestamp{-sec - 1, 1000000000 - ns};
        return Timestamp{negative ? -sec : sec, ns};
    }
    int64_t y, mo, d, h = 0, mi = 0, sec = 0;
    if (!digits(s, 4, y) || s.size() < 10 || s[4] != '-' || !digits(s.substr(5), 2, mo) ||
        s[7] != '-' || !digits(s.substr(8), 2, d))
        return std::nullopt;
    s.remove_prefix(10);
    uint32_t ns = 0;
    if (!s.empty() && (s[0] == ' ' || s[0] == 'T')) {
        s.remove_prefix(1);
        if (!digits(s, 2, h) || s.size() < 5 || s[2] != ':' || !digits(s.substr(3), 2, mi))
            return std::nullopt;
        s.remove_prefix(5);
        if (!s.empty() && s[0] == ':') {
            if (!digits(s.substr(1), 2, sec))
                return std::nullopt;
            s.remove_prefix(3);
            if (!fraction(s, ns))
                return std::nullopt;
        }
    }
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || sec > 60)
        return std::nullopt;
    const int64_t civil =
        daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 +
        mi * 60 + sec;
    if (s == "Z" || s == "UTC")
        return Timestamp{civil, ns};
    if (s.empty()) { // local time: the offset that holds at that moment
        int64_t t = civil - localOffset(civil);
        t = civil - localOffset(t);
        return Timestamp{t, ns};
    }
    int64_t oh, om;
    const bool plus = s[0] == '+';
    if ((s[0] != '+' && s[0] != '-') || !digits(s.substr(1), 2, oh))
        return std::nullopt;
    s.remove_prefix(3);
    if (!s.empty() && s[0] == ':')
        s.remove_prefix(1);
    if (!digits(s, 2, om) || s.size() != 2 || oh > 23 || om > 59)
        return std::nullopt;
    const int64_t offset = (oh * 3600 + om * 60) * (plus ? 1 : -1);
    return Timestamp{civil - offset, ns};
}

std::optional<std::string> xattrValue(std::string_view t) {
    auto hexDigit = [](char c) -> int {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.remove_prefix(2);
        if (t.size() % 2)
            return std::nullopt;
        std::string out;
        for (size_t i = 0; i < t.size(); i += 2) {
            const int hi = hexDigit(t[i]), lo = hexDigit(t[i + 1]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi << 4 | lo);
        }
        return out;
    }
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 's' || t[1] == 'S')) {
        t.remove_prefix(2);
        std::string out;
        uint32_t acc = 0;
        int bits = 0;
        size_t pad = 0;
        for (char c : t) {
            int v = c >= 'A' && c <= 'Z'   ? c - 'A'
                    : c >= 'a' && c <= 'z' ? c - 'a' + 26
                    : c >= '0' && c <= '9' ? c - '0' + 52
                    : c == '+'             ? 62
                    : c == '/'             ? 63
                                           : -1;
            if (c == '=') {
                ++pad;
                continue;
            }
            if (v < 0 || pad > 0)
                return std::nullopt;
            acc = acc << 6 | static_cast<uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out += static_cast<char>((acc >> bits) & 0xFF);
            }
        }
        if (pad > 2)
            return std::nullopt;
        return out;
    }
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') {
        t = t.substr(1, t.size() - 2);
        std::string out;
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] != '\\' || i + 1 == t.size()) {
                out += t[i];
                continue;
            }
            const char n = t[++i];
            if (n >= '0' && n <= '7') {
                int v = 0;
                size_t k = 0;
                for (; k < 3 && i + k < t.size() && t[i + k] >= '0' && t[i + k] <= '7'; ++k)
                    v = v * 8 + (t[i + k] - '0');
                out += static_cast<char>(v & 0xFF);
                i += k - 1;
            } else {
                out += n;
            }
        }
        return out;
    }
    return std::string(t);
}

// ---- The commands -----------------------------------------------------------

namespace {

// The options a command takes: a short letter (0 for none), a long name
// ("" for none) and whether it takes a value.
struct OptionDef {
    char letter;
    const char* longName;
    bool value;
};

struct Parsed {
    std::map<char, std::string> options; // by letter (long-only options by their letter)
    std::vector<std::string> operands;

    bool has(char c) const { return options.count(c) != 0; }
};

// Options first, then operands; "--" ends the options.
Parsed parseArgs(const std::vector<std::string>& words, std::initializer_list<OptionDef> defs) {
    Parsed p;
    const std::string& cmd = words[0];
    size_t i = 1;
    for (; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            ++i;
            break;
        }
        if (w.size() < 2 || w[0] != '-')
            break;
        if (w[1] == '-') {
            const OptionDef* s = nullptr;
            for (const OptionDef& o : defs)
                if (w.substr(2) == o.longName)
                    s = &o;
            if (!s)
                throw Error(msg("%1: unknown option %2", cmd, w));
            if (s->value) {
                if (i + 1 == words.size())
                    throw Error(msg("%1: %2 needs a value", cmd, w));
                p.options[s->letter] = words[++i];
            } else {
                p.options[s->letter] = "";
            }
            continue;
        }
        for (size_t k = 1; k < w.size(); ++k) {
            const OptionDef* s = nullptr;
            for (const OptionDef& o : defs)
                if (o.letter == w[k])
                    s = &o;
            if (!s)
                throw Error(msg("%1: unknown option -%2", cmd, std::string(1, w[k])));
            if (!s->value) {
                p.options[s->letter] = "";
                continue;
            }
            if (k + 1 < w.size()) {
                p.options[s->letter] = w.substr(k + 1);
            } else if (i + 1 < words.size()) {
                p.options[s->letter] = words[++i];
            } else {
                throw Error(msg("%1: -%2 needs a value", cmd, std::string(1, w[k])));
            }
            break;
        }
    }
    p.operands.assign(words.begin() + static_cast<ptrdiff_t>(i), words.end());
    return p;
}

void needOperands(const std::vector<std::string>& words, const Parsed& p, size_t least, size_t most,
                  const char* usage) {
    if (p.operands.size() < least || p.operands.size() > most)
        throw Error(msg("usage: %1 %2", words[0], usage));
}

uint32_t permOf(const std::string& cmd, const std::string& text, uint32_t base, bool isDir) {
    std::optional<uint32_t> v = applyModeText(text, base, isDir);
    if (!v)
        throw Error(msg("%1: not a mode: %2", cmd, text));
    return *v;
}

uint32_t deviceNumber(const std::string& text) {
    std::optional<uint32_t> v = idvalue(text);
    if (!v || text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw Error(msg("mknod: not a device number: %1", text));
    return *v;
}

void addCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Timg& img = ed.img();
    Parsed p = parseArgs(
        words, {{'p', "preserve", false}, {'n', "no-clobber", false}, {'f', "force", false}});
    needOperands(words, p, 2, SIZE_MAX, "[-p] [--no-clobber|--force] SRC... DEST");
    if (p.has('n') && p.has('f'))
        throw Error("add: --no-clobber and --force exclude each other");
    const std::string dest = p.operands.back();
    p.operands.pop_back();
    Node* dir = ed.require(dest);
    if (!dir->isDirectory())
        throw Error(msg("add: %1 is not a folder", dest));
    AddOptions opt;
    opt.keepAttributes = p.has('p');
    opt.keepModeBits = true;
    opt.referToFiles = true; // the image is written once the script has run
    opt.clashmode = p.has('f') ? kClashOverwriteAll : p.has('n') ? kClashSkipAll : kClashAsk;
    std::vector<Message> problems;
    // Adding changes the tree behind the run's back.
    ed.forget();
    opt.ask = [&](const std::string& source, const Node& existing) {
        problems.push_back(msg("exists (--force replaces, --no-clobber keeps): %1 -> /%2", source,
                               nodepath(img.root(), &existing)));
        return ClashAnswer::kSkip;
    };
    for (const std::string& src : p.operands)
        if (::access(src.c_str(), F_OK) != 0 && errno == ENOENT)
            throw Error(msg("add: no such file or folder: %1", src));
    AddResult r;
    {
        InterruptCancels interrupt(img.cancel);
        r = addfiles(img, p.operands, dir->entry.objId, opt);
    }
    if (r.cancelled)
        throw Error("add: cancelled");
    problems.insert(problems.end(), r.errlist.begin(), r.errlist.end());
    if (problems.empty())
        return;
    // One line each, so many that the message stays readable.
    constexpr size_t kListed = 50;
    Message list;
    for (size_t i = 0; i < problems.size() && i < kListed; ++i)
        list = list.empty() ? msg("\n  %1", problems[i]) : msg("%1\n  %2", list, problems[i]);
    if (problems.size() > kListed)
        list = msg("%1\n  (and %2 more)", list, problems.size() - kListed);
    throw Error(msg("add: not everything could be added:%1", list));
}

void mkdirCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(words, {{'p', "parents", false}, {'m', "mode", true}});
    needOperands(words, p, 1, SIZE_MAX, "[-p] [-m MODE] PATH...");
    NewObject attrs = newObjectNow(0755);
    if (p.has('m'))
        attrs.perm = permOf("mkdir", p.options['m'], 0777, true);
    for (const std::string& path : p.operands)
        ed.makedir(path, attrs, p.has('p'));
}

void rmCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p =
        parseArgs(words, {{'r', "recursive", false}, {'R', "", false}, {'f', "force", false}});
    needOperands(words, p, 1, SIZE_MAX, "[-r] [-f] PATH...");
    for (const std::string& path : p.operands) {
        if (p.has('f') && !ed.lookup(path))
            continue;
        ed.removepath(path, p.has('r') || p.has('R'));
    }
}

void mvCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(words, {});
    needOperands(words, p, 2, SIZE_MAX, "FROM... TO");
    const std::string to = p.operands.back();
    if (p.operands.size() > 2) {
        Node* dest = ed.lookup(to);
        if (!dest || !dest->isDirectory())
            throw Error(msg("mv: moving several objects needs a folder to move them into: %1", to));
    }
    for (size_t i = 0; i + 1 < p.operands.size(); ++i)
        ed.movepath(p.operands[i], to);
}

void chmodCommand(PathEdits& ed, const std::vector<std::string>& words) {
    // Not parseArgs: a mode may begin with "-" ("-w"), as chmod takes it.
    Parsed p;
    for (size_t i = 1; i < words.size(); ++i) {
        const bool option = p.operands.empty() && !p.has('-');
        if (option && (words[i] == "-R" || words[i] == "--recursive"))
            p.options['R'] = "";
        else if (option && words[i] == "--")
            p.options['-'] = "";
        else
            p.operands.push_back(words[i]);
    }
    needOperands(words, p, 2, SIZE_MAX, "[-R] MODE PATH...");
    for (size_t i = 1; i < p.operands.size(); ++i)
        ed.changemodes(p.operands[i], p.operands[0], p.has('R'));
}

void chownCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(words, {{'R', "recursive", false}});
    needOperands(words, p, 2, SIZE_MAX, "[-R] UID[:GID] PATH...");
    for (size_t i = 1; i < p.operands.size(); ++i)
        ed.changeowner(p.operands[i], p.operands[0], p.has('R'));
}

void lnCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(words, {{'s', "symbolic", false}});
    needOperands(words, p, 2, 2, "[-s] TARGET PATH");
    if (p.has('s'))
        ed.makesymlink(p.operands[1], p.operands[0], newObjectNow(0777));
    else
        ed.makehardlink(p.operands[1], p.operands[0]);
}

void mknodCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(words, {{'m', "mode", true}});
    needOperands(words, p, 2, 4, "[-m MODE] PATH c|b|p [MAJOR MINOR]");
    const std::string& type = p.operands[1];
    const bool device = type == "c" || type == "u" || type == "b";
    if (!device && type != "p")
        throw Error(msg("mknod: not a type (c, b or p): %1", type));
    if (p.operands.size() != (device ? 4u : 2u))
        throw Error(device ? msg("mknod: a device needs MAJOR and MINOR")
                           : msg("mknod: a FIFO takes no device number"));
    NewObject attrs = newObjectNow(0644);
    if (p.has('m'))
        attrs.perm = permOf("mknod", p.options['m'], 0666, false);
    DevNum rdev;
    if (device)
        rdev = {deviceNumber(p.operands[2]), deviceNumber(p.operands[3])};
    ed.makespecial(p.operands[0],
                   type == "b" ? kModeBlockDevice
                   : device    ? kModeCharDevice
                               : kModeFifo,
                   rdev, attrs);
}

void touchCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(
        words,
        {{'a', "", false}, {'m', "", false}, {'c', "no-create", false}, {'d', "date", true}});
    needOperands(words, p, 1, SIZE_MAX, "[-a] [-m] [-c] [-d TIME] PATH...");
    Timestamp when{std::time(nullptr), 0};
    if (p.has('d')) {
        std::optional<Timestamp> t = parseTime(p.options['d']);
        if (!t)
            throw Error(msg("touch: not a time (YYYY-MM-DD HH:MM:SS[.N][Z|+HH:MM] or @SECONDS): %1",
                            p.options['d']));
        when = *t;
    }
    const bool both = !p.has('a') && !p.has('m');
    for (const std::string& path : p.operands) {
        if (!ed.lookup(path)) {
            if (p.has('c'))
                continue;
            NewObject attrs = newObjectNow(0644);
            attrs.time = when;
            ed.makefile(path, attrs);
            continue;
        }
        ed.settimes(path, both || p.has('a') ? std::optional(when) : std::nullopt,
                    both || p.has('m') ? std::optional(when) : std::nullopt);
    }
}

void setfattrCommand(PathEdits& ed, const std::vector<std::string>& words) {
    Parsed p = parseArgs(
        words,
        {{'n', "name", true}, {'v', "value", true}, {'x', "remove", true}, {'h', "", false}});
    needOperands(words, p, 1, SIZE_MAX, "-n NAME [-v VALUE] PATH... | -x NAME PATH...");
    if (p.has('n') == p.has('x'))
        throw Error("setfattr: give either -n NAME or -x NAME");
    if (p.has('x')) {
        for (const std::string& path : p.operands)
            ed.removexattr(path, p.options['x']);
        return;
    }
    std::optional<std::string> value = xattrValue(p.has('v') ? p.options['v'] : "");
    if (!value)
        throw Error(
            msg("setfattr: bad value (0x and hex digits, or 0s and base64): %1", p.options['v']));
    for (const std::string& path : p.operands)
        ed.setxattr(path, p.options['n'], *value);
}

using CommandFn = void (*)(PathEdits&, const std::vector<std::string>&);

const std::map<std::string, CommandFn, std::less<>> kCommands = {
    {"add", addCommand},     {"mkdir", mkdirCommand},
    {"rm", rmCommand},       {"mv", mvCommand},
    {"chmod", chmodCommand}, {"chown", chownCommand},
    {"ln", lnCommand},       {"mknod", mknodCommand},
    {"touch", touchCommand}, {"setfattr", setfattrCommand},
};

std::string readAll(const std::string& path) {
    const bool stdinput = path == "-";
    int fd = stdinput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwSystemError(msg("cannot read the script %1", path), errno);
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int err = errno;
            if (!stdinput)
                ::close(fd);
            throwSystemError(msg("cannot read the script %1", path), err);
        }
        if (r == 0)
            break;
        text.append(buf, static_cast<size_t>(r));
    }
    if (!stdinput)
        ::close(fd);
    return text;
}

struct EditOptions {
    std::string image;
    std::vector<std::string> exprs;
    std::string script;
    bool force = false;
    OpenOptions open;
    SaveOptions save;
};

int editCommand(Context& ctx, const EditOptions& o) {
    // Every command is read before the image is opened: a typo in the last
    // line costs nothing.
    std::vector<ScriptCommand> commands;
    for (size_t i = 0; i < o.exprs.size(); ++i) {
        const std::string source = "-e " + std::to_string(i + 1);
        const bool lines = o.exprs[i].find('\n') != std::string::npos;
        for (ScriptCommand& c : parseScript(o.exprs[i], source, lines))
            commands.push_back(std::move(c));
    }
    if (!o.script.empty())
        for (ScriptCommand& c :
             parseScript(readAll(o.script), o.script == "-" ? "<stdin>" : o.script))
            commands.push_back(std::move(c));
    for (const ScriptCommand& c : commands)
        if (!kCommands.count(c.words[0]))
            throw Error(msg("%1: unknown command %2", c.where, c.words[0]));

    const std::optional<FileIdentity> opened = fileIdentity(o.image);
    auto& img = openImage(ctx, o.image, o.open);
    SaveOptions save = o.save;
    if (save.out.empty())
        save.out = o.image;
    refuseUnsafeInPlace(img, opened, save.out, o.force);
    {
        // One run: names are looked up through indexes, folders sorted once.
        PathEdits ed(*img);
        for (const ScriptCommand& c : commands) {
            try {
                kCommands.find(c.words[0])->second(ed, c.words);
            } catch (const Error& e) {
                ctx.progress.clear();
                throw Error(msg("%1: %2; nothing was saved", c.where, e.message()));
            }
        }
    }
    ctx.progress.clear();
    return saveChain(img, save, ctx.progress, true);
}

} // namespace

void refuseUnsafeInPlace(const ImageChain& chain, const std::optional<FileIdentity>& opened,
                         const std::string& out, bool force) {
    // The file is rewritten around every level of the chain: what any of
    // them could not read would be lost. Forcing does not help with a
    // device; it does with warnings.
    for (size_t level = 0; level < chain.depth(); ++level) {
        const Timg& img = chain.at(level);
        if (Message why = inPlaceRefusal(img, opened, out, true); !why.empty())
            throw Error(why);
        if (Message why = inPlaceRefusal(img, opened, out, force); !why.empty())
            throw Error(
                msg("%1. Save to another file, or give --force to save over it anyway", why));
    }
}

void runEditCommand(Timg& img, const std::vector<std::string>& words) {
    if (words.empty())
        return;
    auto it = kCommands.find(words[0]);
    if (it == kCommands.end())
        throw Error(msg("unknown command %1", words[0]));
    PathEdits ed(img);
    it->second(ed, words);
}

void addEditCommand(CLI::App& app, Commands& out) {
    auto o = std::make_shared<EditOptions>();
    auto* edit = addCommand(app, "edit",
                            "Apply edit commands (-e, -f) to an image and save it once at the end");
    if (!edit)
        return;
    edit->add_option("IMAGE", o->image, "Image to edit")->required();
    edit->add_option("-o,--output", o->save.out,
                     "Save the result here instead of over IMAGE (replaced when complete)");
    edit->add_option("-e,--expression", o->exprs, "An edit command (may be given many times)")
        ->allow_extra_args(false);
    edit->add_option("-f,--file", o->script, "A file of edit commands, one a line (- for stdin)");
    edit->add_flag("--force", o->force,
                   "Save over IMAGE (also as -o naming it) even when it was read with warnings "
                   "(what could not be read is lost)");
    addSaveOptions(edit, o->save, false, true);
    addOpenOptions(edit, o->open);
    out.push_back({edit, [o](Context& ctx) { return editCommand(ctx, *o); }});
}

} // namespace korvane::cli
