#include "find.h"

#include "edit.h"
#include "model/error.h"
#include "model/tree.h"

#include <cctype>
#include <ctime>
#include <sys/stat.h>

namespace korvane {

namespace {

char fold(char c, bool caseBlind) {
    return caseBlind ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
}

// Matches a bracket expression at pattern[p] ('[' already seen) against c;
// sets next to the index after ']'. False when the bracket is not closed
// (then '[' is an ordinary character).
bool bracketMatch(std::string_view pattern, size_t p, char c, bool caseBlind, size_t& next,
                  bool& matched) {
    size_t i = p;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool any = false;
    bool first = true;
    while (i < pattern.size() && (pattern[i] != ']' || first)) {
        first = false;
        char lo = pattern[i];
        if (lo == '\\' && i + 1 < pattern.size())
            lo = pattern[++i];
        char hi = lo;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            hi = pattern[i + 2];
            if (hi == '\\' && i + 3 < pattern.size())
                hi = pattern[++i + 2];
            i += 2;
        }
        const char fc = fold(c, caseBlind);
        if ((fold(lo, caseBlind) <= fc && fc <= fold(hi, caseBlind)) || (lo <= c && c <= hi))
            any = true;
        ++i;
    }
    if (i >= pattern.size())
        return false;
    next = i + 1;
    matched = any != negate;
    return true;
}

} // namespace

bool globMatch(std::string_view pattern, std::string_view name, bool caseBlind) {
    size_t p = 0, n = 0;
    size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const char pc = pattern[p];
            if (pc == '*') {
                starP = ++p;
                starN = n;
                continue;
            }
            if (pc == '?') {
                ++p;
                ++n;
                continue;
            }
            if (pc == '[') {
                size_t next = 0;
                bool matched = false;
                if (bracketMatch(pattern, p + 1, name[n], caseBlind, next, matched)) {
                    if (matched) {
                        p = next;
                        ++n;
                        continue;
                    }
                } else if (name[n] == '[') {
                    ++p;
                    ++n;
                    continue;
                }
            } else {
                char lit = pc;
                size_t step = 1;
                if (pc == '\\' && p + 1 < pattern.size()) {
                    lit = pattern[p + 1];
                    step = 2;
                }
                if (fold(lit, caseBlind) == fold(name[n], caseBlind)) {
                    p += step;
                    ++n;
                    continue;
                }
            }
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

struct FindExpression::Test {
    enum Kind {
        kTrue,
        kFalse,
        kName,
        kPath,
        kType,
        kSize,
        kNewer,
        kOlderMinutes,
        kPerm,
        kUser,
        kGroup,
        kXattr,
        kEmpty,
        kNot,
        kAnd,
        kOr,
    } kind = kTrue;
    std::string text;
    bool caseBlind = false;
    char type = 0;
    int cmp = 0;        // -size, -mtime: -1 less, 0 exactly, 1 more
    uint64_t unit = 1;  // -size: bytes a unit
    int64_t number = 0; // sizes, times, ids, modes
    char permKind = 0;  // -perm: 0 exact, '-' all bits, '/' any bit
    std::unique_ptr<Test> a, b;
};

namespace {

using Test = FindExpression::Test;

char typeLetter(const TImgEntry& e) {
    switch (fileTypeBits(e)) {
    case kModeDirectory:
        return 'd';
    case kModeSymlink:
        return 'l';
    case kModeBlockDevice:
        return 'b';
    case kModeCharDevice:
        return 'c';
    case kModeFifo:
        return 'p';
    case kModeSocket:
        return 's';
    default:
        return 'f';
    }
}

std::optional<int64_t> parseTime(const std::string& text) {
    if (!text.empty() && text[0] == '@') {
        try {
            size_t used = 0;
            const int64_t v = std::stoll(text.substr(1), &used);
            if (used + 1 == text.size())
                return v;
        } catch (const std::logic_error&) {
        }
        return std::nullopt;
    }
    std::tm tm{};
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0, zone = 0;
    int got = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%c", &y, &mo, &d, &sep, &h, &mi,
                          &s, &zone);
    if (got < 3 || (got >= 4 && sep != ' ' && sep != 'T') || got == 4 || got == 5)
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const time_t t = zone == 'Z' ? timegm(&tm) : mktime(&tm);
    return static_cast<int64_t>(t);
}

class Parser {
public:
    explicit Parser(const std::vector<std::string>& words) : w_(words) {}

    std::unique_ptr<Test> expression() {
        if (w_.empty())
            return std::make_unique<Test>();
        std::unique_ptr<Test> t = orExpr();
        if (at_ < w_.size())
            throw Error(msg("find: unexpected %1", w_[at_]));
        return t;
    }

private:
    static std::unique_ptr<Test> join(Test::Kind kind, std::unique_ptr<Test> a,
                                      std::unique_ptr<Test> b) {
        auto t = std::make_unique<Test>();
        t->kind = kind;
        t->a = std::move(a);
        t->b = std::move(b);
        return t;
    }

    bool next(const char* word) {
        if (at_ < w_.size() && w_[at_] == word) {
            ++at_;
            return true;
        }
        return false;
    }

    std::unique_ptr<Test> orExpr() {
        std::unique_ptr<Test> t = andExpr();
        while (next("-o") || next("-or"))
            t = join(Test::kOr, std::move(t), andExpr());
        return t;
    }

    std::unique_ptr<Test> andExpr() {
        std::unique_ptr<Test> t = unary();
        for (;;) {
            if (next("-a") || next("-and")) {
                t = join(Test::kAnd, std::move(t), unary());
                continue;
            }
            if (at_ < w_.size() && w_[at_] != "-o" && w_[at_] != "-or" && w_[at_] != ")") {
                t = join(Test::kAnd, std::move(t), unary());
                continue;
            }
            return t;
        }
    }

    std::unique_ptr<Test> unary() {
        if (next("!") || next("-not"))
            return join(Test::kNot, unary(), nullptr);
        if (next("(")) {
            std::unique_ptr<Test> t = orExpr();
            if (!next(")"))
                throw Error(msg("find: a ( is not closed"));
            return t;
        }
        if (at_ >= w_.size())
            throw Error(msg("find: an expression is missing after %1", w_[at_ - 1]));
        return primary();
    }

    const std::string& argument(const std::string& test) {
        if (at_ >= w_.size())
            throw Error(msg("find: %1 needs an argument", test));
        return w_[at_++];
    }

    std::unique_ptr<Test> primary() {
        const std::string word = w_[at_++];
        auto t = std::make_unique<Test>();
        if (word == "-name" || word == "-iname" || word == "-path" || word == "-ipath" ||
            word == "-wholename" || word == "-iwholename") {
            t->kind =
                word.find("name") != std::string::npos && word.find("whole") == std::string::npos
                    ? Test::kName
                    : Test::kPath;
            t->caseBlind = word[1] == 'i';
            t->text = argument(word);
        } else if (word == "-type") {
            const std::string& c = argument(word);
            if (c.size() != 1 || std::string_view("fdlbcps").find(c[0]) == std::string_view::npos)
                throw Error(msg("find: -type takes one of f d l b c p s, not %1", c));
            t->kind = Test::kType;
            t->type = c[0];
        } else if (word == "-size") {
            sizeTest(*t, argument(word));
        } else if (word == "-newer" || word == "-newermt") {
            const std::string& when = argument(word);
            std::optional<int64_t> time = parseTime(when);
            struct stat st {};
            if (!time && ::stat(when.c_str(), &st) == 0)
                time = st.st_mtim.tv_sec;
            if (!time)
                throw Error(msg("find: -newer takes a time (2024-01-31, 2024-01-31 12:00, "
                                "@SECONDS) or a file on disk, not %1",
                                when));
            t->kind = Test::kNewer;
            t->number = *time;
        } else if (word == "-mmin" || word == "-mtime") {
            signedNumber(*t, argument(word), word);
            t->kind = Test::kOlderMinutes;
            t->unit = word == "-mmin" ? 60 : 86400;
        } else if (word == "-perm") {
            permTest(*t, argument(word));
        } else if (word == "-user" || word == "-uid" || word == "-group" || word == "-gid") {
            const std::string& id = argument(word);
            std::optional<uint32_t> v = idvalue(id);
            if (!v)
                throw Error(msg("find: %1 takes a number, not %2", word, id));
            t->kind = word == "-user" || word == "-uid" ? Test::kUser : Test::kGroup;
            t->number = *v;
        } else if (word == "-xattr") {
            t->kind = Test::kXattr;
            t->text = argument(word);
        } else if (word == "-empty") {
            t->kind = Test::kEmpty;
        } else if (word == "-true") {
            t->kind = Test::kTrue;
        } else if (word == "-false") {
            t->kind = Test::kFalse;
        } else {
            throw Error(msg("find: unknown test %1", word));
        }
        return t;
    }

    void signedNumber(Test& t, const std::string& text, const std::string& test) {
        std::string digits = text;
        t.cmp = 0;
        if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
            t.cmp = digits[0] == '+' ? 1 : -1;
            digits.erase(0, 1);
        }
        if (digits.empty() || digits.size() > 18 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            throw Error(msg("find: %1 takes a number with an optional + or -, not %2", test, text));
        t.number = std::stoll(digits);
    }

    void sizeTest(Test& t, std::string text) {
        t.kind = Test::kSize;
        t.unit = 512; // GNU find counts 512-byte blocks without a unit
        if (!text.empty()) {
            static const std::pair<char, uint64_t> kUnits[] = {
                {'c', 1}, {'w', 2}, {'b', 512}, {'k', 1024}, {'M', 1 << 20}, {'G', 1 << 30}};
            for (const auto& [letter, bytes] : kUnits)
                if (text.back() == letter) {
                    t.unit = bytes;
                    text.pop_back();
                    break;
                }
        }
        signedNumber(t, text, "-size");
    }

    void permTest(Test& t, std::string text) {
        t.kind = Test::kPerm;
        if (!text.empty() && (text[0] == '-' || text[0] == '/' || text[0] == '+')) {
            t.permKind = text[0] == '+' ? '/' : text[0];
            text.erase(0, 1);
        }
        std::optional<uint32_t> mode = applyModeText(text, 0, false);
        if (!mode)
            throw Error(msg("find: -perm takes an octal or symbolic mode, not %1", text));
        t.number = *mode;
    }

    const std::vector<std::string>& w_;
    size_t at_ = 0;
};

bool compareNumber(int cmp, int64_t value, int64_t n) {
    return cmp < 0 ? value < n : cmp > 0 ? value > n : value == n;
}

bool evaluate(const Test& t, const Timg& img, const Node* node, std::string_view path,
              int64_t now) {
    const Node* target = hardlinkTarget(img, node);
    const TImgEntry& e = (target ? target : node)->entry;
    switch (t.kind) {
    case Test::kTrue:
        return true;
    case Test::kFalse:
        return false;
    case Test::kName: {
        const size_t slash = path.rfind('/');
        std::string_view base = path.size() > 1 ? path.substr(slash + 1) : path;
        return globMatch(t.text, base, t.caseBlind);
    }
    case Test::kPath:
        return globMatch(t.text, path, t.caseBlind);
    case Test::kType:
        return typeLetter(node->entry.objType == kTypeHardlink ? e : node->entry) == t.type;
    case Test::kSize: {
        const int64_t units = static_cast<int64_t>((e.size + t.unit - 1) / t.unit);
        return compareNumber(t.cmp, units, t.number);
    }
    case Test::kNewer:
        return e.mtime > t.number;
    case Test::kOlderMinutes: {
        const int64_t age = (now - e.mtime) / static_cast<int64_t>(t.unit);
        return compareNumber(t.cmp, age, t.number);
    }
    case Test::kPerm: {
        const uint32_t perm = e.mode & kModePermissionMask;
        const auto want = static_cast<uint32_t>(t.number);
        if (t.permKind == '-')
            return (perm & want) == want;
        if (t.permKind == '/')
            return want == 0 || (perm & want) != 0;
        return perm == want;
    }
    case Test::kUser:
        return e.uid == static_cast<uint32_t>(t.number);
    case Test::kGroup:
        return e.gid == static_cast<uint32_t>(t.number);
    case Test::kXattr:
        for (const Xattr& x : e.xattrs)
            if (x.name == t.text)
                return true;
        return false;
    case Test::kEmpty:
        return node->isDirectory() ? node->children.empty() : e.objType == kTypeFile && e.size == 0;
    case Test::kNot:
        return !evaluate(*t.a, img, node, path, now);
    case Test::kAnd:
        return evaluate(*t.a, img, node, path, now) && evaluate(*t.b, img, node, path, now);
    case Test::kOr:
        return evaluate(*t.a, img, node, path, now) || evaluate(*t.b, img, node, path, now);
    }
    return false;
}

} // namespace

FindExpression::FindExpression() = default;
FindExpression::FindExpression(FindExpression&&) noexcept = default;
FindExpression& FindExpression::operator=(FindExpression&&) noexcept = default;
FindExpression::~FindExpression() = default;

FindExpression FindExpression::parse(const std::vector<std::string>& words, int64_t now) {
    FindExpression e;
    Parser p(words);
    e.root_ = p.expression();
    e.now_ = now;
    return e;
}

FindExpression FindExpression::namePattern(const std::string& pattern) {
    FindExpression e;
    e.root_ = std::make_unique<Test>();
    e.root_->kind = Test::kName;
    e.root_->caseBlind = true;
    e.root_->text = pattern;
    return e;
}

bool FindExpression::matches(const Timg& img, const Node* node, std::string_view path) const {
    return evaluate(*root_, img, node, path, now_);
}

void findObjects(const Timg& img, const Node* top, const FindExpression& expr,
                 const std::function<bool(const Node*, const std::string&)>& found,
                 const std::atomic<int>* cancel) {
    if (!top)
        return;
    struct Frame {
        const Node* node;
        size_t pathLength; // of the folder's path, which its children extend
    };
    std::string path = "/" + pathFromRoot(top);
    if (top->parent == nullptr)
        path = "/";
    std::vector<Frame> stack{{top, path.size()}};
    std::vector<size_t> lengths;
    while (!stack.empty()) {
        if (cancel && cancel->load())
            return;
        const Frame f = stack.back();
        stack.pop_back();
        path.resize(f.pathLength);
        if (f.node != top) {
            if (path.size() > 1)
                path += '/';
            path += f.node->entry.name;
        }
        if (expr.matches(img, f.node, path) && !found(f.node, path))
            return;
        const size_t here = path.size();
        for (auto it = f.node->children.rbegin(); it != f.node->children.rend(); ++it)
            stack.push_back({it->get(), here});
    }
}

} // namespace korvane
