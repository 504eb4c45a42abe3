// What the edit commands' input boxes say about a wrong input, and the
// question before a delete. Each check gives "" for a good input, otherwise
// "输入有误！" and why, in the app's language.
#pragma once

#include "model/node.h"

#include <QString>
#include <QStringList>

namespace korvane::ui {

// A name for an object in dir (null: not checked against its neighbours);
// own is the object's present name when it is renamed. An empty input is
// good: it changes nothing.
QString nameProblem(const QString& name, const Node* dir, const QString& own);

// A permission code (755, 4755); an empty input is good.
QString permissionProblem(const QString& text);

// A UID or GID: any 32-bit id up to 4294967294. what: "UID" or "GID".
QString idProblem(const QString& text, const QString& what);

// "确定要删除！" with the number of objects and the first names.
QString deleteQuestion(const QStringList& names);

} // namespace korvane::ui
