#include "inputchecks.h"

#include "transfer/edit.h"
#include "uitexts.h"

#include <string_view>

namespace korvane::ui {

namespace {

// How many names "确定要删除！" lists.
constexpr int kNamesShown = 5;
constexpr const char* kNameSeparator = QT_TRANSLATE_NOOP("korvane", "、");

std::string_view view(const QByteArray& b) {
    return std::string_view(b.data(), static_cast<size_t>(b.size()));
}

QString invalid(const QString& why) {
    return tx(kTextInvalidBecause).arg(why);
}

} // namespace

QString nameProblem(const QString& name, const Node* dir, const QString& own) {
    const QByteArray bytes = name.toUtf8();
    const std::string_view raw = view(bytes);
    if (raw.empty() || name == own)
        return {};
    if (raw.find('/') != std::string_view::npos)
        return invalid(tx(kBadNameSlash));
    if (raw.find('\0') != std::string_view::npos)
        return invalid(tx(kBadNameNul));
    if (raw == "." || raw == "..")
        return invalid(tx(kBadNameDots));
    if (raw.size() > kMaxNameBytes)
        return invalid(tx(kBadNameLong).arg(raw.size()));
    if (dir) {
        const std::string_view wanted = trimmed(raw);
        for (const auto& c : dir->children)
            if (trimmed(c->text) == wanted &&
                QString::fromUtf8(c->text.data(), static_cast<qsizetype>(c->text.size())) != own)
                return tx(kTextExists);
    }
    return {};
}

QString permissionProblem(const QString& text) {
    const QByteArray b = text.toUtf8();
    if (trimmed(view(b)).empty() || permissioncode(view(b)))
        return {};
    return invalid(tx(kBadMode));
}

QString idProblem(const QString& text, const QString& what) {
    const QByteArray b = text.toUtf8();
    return idvalue(view(b)) ? QString() : invalid(tx(kBadId).arg(what));
}

QString deleteQuestion(const QStringList& names) {
    QString what = names.mid(0, kNamesShown).join(tx(kNameSeparator));
    if (names.size() > kNamesShown)
        what = tx(kTextAndMore).arg(what);
    return tx(kTextConfirmDelete) + "\n\n" + txn(kTextDeleteWhat, names.size()).arg(what);
}

} // namespace korvane::ui
