// "与…比较": asks for another image file or a folder, reads it and compares
// the browsed image with it as a job, and shows the result in the compare
// window.
#pragma once

#include <QObject>
#include <QString>

namespace korvane::ui {

class CompareWindow;
class MainWindow;

class CompareCommand : public QObject {
    Q_OBJECT
public:
    explicit CompareCommand(MainWindow& window);

    void start();
    // Compares with the image file or folder at path, no question asked.
    void compareWith(const QString& path, bool folder);
    CompareWindow* window() const { return window_; }

private:
    MainWindow& w_;
    CompareWindow* window_ = nullptr;
};

} // namespace korvane::ui
