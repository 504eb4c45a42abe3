// Finding objects in an image by the tests GNU find knows: -name and -iname
// (shell patterns on the last component), -path, -type, -size, -newer,
// -perm, -user, -group, and -xattr (objects with an attribute of that name),
// joined by -a (or nothing), -o, ! and -not, and parentheses. The app's
// whole-image search and korvane-cli find both walk with it; paths are built
// once per folder, not per object.
#pragma once

#include "model/timg.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

// Whether name matches a shell pattern (*, ?, [...] with ! or ^ and ranges,
// \ quoting), as fnmatch(3) does without flags; caseBlind folds ASCII case.
bool globMatch(std::string_view pattern, std::string_view name, bool caseBlind = false);

class FindExpression {
public:
    // Parses the words of a find expression. An empty list matches
    // everything. Throws Error naming a word that is wrong; now is the time
    // that -newer's relative forms and -mmin count from.
    static FindExpression parse(const std::vector<std::string>& words, int64_t now);
    // The expression that matches names by a case-blind pattern (the app's
    // search box).
    static FindExpression namePattern(const std::string& pattern);

    FindExpression(FindExpression&&) noexcept;
    FindExpression& operator=(FindExpression&&) noexcept;
    ~FindExpression();

    // Whether the object at node (path below the root, name its last part)
    // matches. The attributes are those the object shows (a hard link's are
    // its target's).
    bool matches(const Timg& img, const Node* node, std::string_view path) const;

    struct Test;

private:
    FindExpression();
    std::unique_ptr<Test> root_;
    int64_t now_ = 0;
};

// Calls found(node, path) for every object below top (top itself included)
// that matches, in tree order; path is "/" + the path below the root. Stops
// early when found returns false or cancel is set.
void findObjects(const Timg& img, const Node* top, const FindExpression& expr,
                 const std::function<bool(const Node*, const std::string&)>& found,
                 const std::atomic<int>* cancel = nullptr);

} // namespace korvane
