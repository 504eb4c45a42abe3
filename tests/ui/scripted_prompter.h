// A Prompter that answers from a script and records what the window asked
// and showed, so the tests drive the real main window without dialogs.
#pragma once

#include "prompter.h"

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace korvane::ui::test {

class ScriptedPrompter : public Prompter {
public:
    struct Question {
        QString caption;
        QString prompt;
        QString value;
    };
    struct ErrorList {
        QString caption;
        QStringList lines;
    };

    // Answers, taken from the front; an empty queue answers "cancel" (No for
    // questions, skip for clashes).
    std::deque<bool> yesNo;
    QString image;
    QString folder;
    // The save dialog: each script entry is run with the type-change callback
    // (to pick types while "open") and gives the target.
    std::deque<std::function<std::optional<SaveTarget>(const SaveTypeChanged&)>> save;
    QStringList files;
    std::deque<std::optional<QString>> texts;
    std::deque<std::optional<IdInput>> ids;
    std::deque<ClashAnswer> clashes;
    // Runs when a clash is asked (on the main thread, while the job waits).
    std::function<void()> onClash;

    // What happened.
    QStringList questions;
    QStringList messages;
    QStringList folderStarts;
    std::vector<Question> textQuestions;
    std::vector<Question> idQuestions;
    QStringList clashSources;
    QStringList clashTargets;
    std::vector<ErrorList> errorLists;
    std::vector<ObjectProperties> properties;

    bool askYesNo(QWidget*, const QString& text) override {
        questions << text;
        return take(yesNo, false);
    }
    void showMessage(QWidget*, const QString& text) override { messages << text; }
    QString chooseImage(QWidget*) override { return image; }
    QString chooseFolder(QWidget*, const QString& start) override {
        folderStarts << start;
        return folder;
    }
    std::optional<SaveTarget> chooseSaveTarget(QWidget*, const SaveTypeChanged& changed) override {
        if (save.empty())
            return std::nullopt;
        auto script = std::move(save.front());
        save.pop_front();
        return script(changed);
    }
    QStringList chooseFiles(QWidget*) override { return files; }
    std::optional<QString> askText(QWidget*, const QString& caption, const QString& prompt,
                                   const QString& value) override {
        textQuestions.push_back({caption, prompt, value});
        return take(texts, std::optional<QString>());
    }
    std::optional<IdInput> askId(QWidget*, const QString& caption, const QString& prompt,
                                 const QString& value) override {
        idQuestions.push_back({caption, prompt, value});
        return take(ids, std::optional<IdInput>());
    }
    ClashAnswer askClash(QWidget*, const QString& source, const QString& existing) override {
        clashSources << source;
        clashTargets << existing;
        if (onClash)
            onClash();
        return take(clashes, ClashAnswer::kSkip);
    }
    void showErrorList(QWidget*, const QString& caption, const QStringList& lines) override {
        errorLists.push_back({caption, lines});
    }
    void showProperties(QWidget*, const ObjectProperties& p, const QIcon&) override {
        properties.push_back(p);
    }

private:
    template <typename T>
    static T take(std::deque<T>& queue, T otherwise) {
        if (queue.empty())
            return otherwise;
        T v = std::move(queue.front());
        queue.pop_front();
        return v;
    }
};

} // namespace korvane::ui::test
