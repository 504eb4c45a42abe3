// A Prompter that answers from a script and records what the window asked
// and showed, so the tests drive the real main window without dialogs.
#pragma once

#include "prompter.h"

#include <QList>
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
        QString summary;
        QStringList lines;
    };

    // Answers, taken from the front; an empty queue answers "cancel" (No for
    // questions, skip for clashes). A text or id answer that the box's check
    // refuses is shown (in messages) and the next answer is typed, as the
    // box stays open.
    std::deque<bool> yesNo;
    QString image;
    QString folder;
    // The save dialog: each script entry is run with the type-change callback
    // (to pick types while "open") and gives the target.
    std::deque<std::function<std::optional<SaveTarget>(const SaveTypeChanged&)>> save;
    QStringList files;
    bool keepAttributes = true;
    std::deque<std::optional<QString>> texts;
    std::deque<std::optional<IdInput>> ids;
    std::deque<ClashAnswer> clashes;
    // Runs when a clash is asked (on the main thread, while the job waits).
    std::function<void()> onClash;

    // What happened.
    QStringList questions;
    QList<bool> questionDefaults; // whether Yes was the default
    QStringList messages;
    QStringList folderStarts;
    QStringList saveTypesOffered;
    std::vector<Question> textQuestions;
    std::vector<Question> idQuestions;
    QStringList clashQuestions;
    QStringList clashSources;
    QStringList clashTargets;
    std::vector<ErrorList> errorLists;
    std::vector<ObjectProperties> properties;

    bool askYesNo(QWidget*, const QString& text, bool defaultYes) override {
        questions << text;
        questionDefaults << defaultYes;
        return take(yesNo, false);
    }
    void showMessage(QWidget*, const QString& text) override { messages << text; }
    QString chooseImage(QWidget*) override { return image; }
    QString chooseFolder(QWidget*, const QString& start) override {
        folderStarts << start;
        return folder;
    }
    std::optional<SaveTarget> chooseSaveTarget(QWidget*, const QString& type,
                                               const SaveTypeChanged& changed) override {
        saveTypesOffered << type;
        if (save.empty())
            return std::nullopt;
        auto script = std::move(save.front());
        save.pop_front();
        return script(changed);
    }
    std::optional<FileChoice> chooseFiles(QWidget*) override {
        if (files.isEmpty())
            return std::nullopt;
        return FileChoice{files, keepAttributes};
    }
    std::optional<QString> askText(QWidget*, const QString& caption, const QString& prompt,
                                   const QString& value, const InputCheck& check) override {
        textQuestions.push_back({caption, prompt, value});
        return typed(texts, check, [](const QString& t) { return t; });
    }
    std::optional<IdInput> askId(QWidget*, const QString& caption, const QString& prompt,
                                 const QString& value, const InputCheck& check) override {
        idQuestions.push_back({caption, prompt, value});
        return typed(ids, check, [](const IdInput& in) { return in.text; });
    }
    ClashAnswer askClash(QWidget*, const QString& question, const QString& source,
                         const QString& existing) override {
        clashQuestions << question;
        clashSources << source;
        clashTargets << existing;
        if (onClash)
            onClash();
        return take(clashes, ClashAnswer::kSkip);
    }
    void showErrorList(QWidget*, const QString& caption, const QString& summary,
                       const QStringList& lines) override {
        errorLists.push_back({caption, summary, lines});
    }
    void showProperties(QWidget*, const ObjectProperties& p, const QIcon&) override {
        properties.push_back(p);
    }

private:
    // The answers typed into a checked box until one passes or is a cancel.
    template <typename T, typename TextOf>
    std::optional<T> typed(std::deque<std::optional<T>>& queue, const InputCheck& check,
                           TextOf textOf) {
        for (;;) {
            std::optional<T> answer = take(queue, std::optional<T>());
            if (!answer || !check)
                return answer;
            const QString wrong = check(textOf(*answer));
            if (wrong.isEmpty())
                return answer;
            messages << wrong;
        }
    }

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
