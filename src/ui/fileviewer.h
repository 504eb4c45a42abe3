// The viewer of "打开" on a file: text in a read-only view (UTF-8 or
// Latin-1, line numbers, search), anything else in the hex view (offset, hex
// and ASCII; go to an offset, find bytes), pictures at full size. What it
// shows first follows the contents; the user may switch. Contents are read
// in ranges: the hex view reads the lines on screen only, the text view
// takes files up to kTextLimit.
#pragma once

#include "contentreader.h"

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QStackedWidget;

namespace korvane::ui {

class HexView;
class TextView;

// Where pattern next occurs at or after from, wrapping round to the start;
// nullopt when nowhere. Reads the contents in pieces; progress(done, total)
// after each, false from it stops the search. Throws korvane::Error when the
// contents cannot be read.
std::optional<uint64_t> findBytes(const ContentReader& reader, const QByteArray& pattern,
                                  uint64_t from,
                                  const std::function<bool(uint64_t, uint64_t)>& progress = {});

// An offset as typed: decimal, or hex with "0x" in front or "h" after.
std::optional<uint64_t> parseOffset(const QString& text);

class FileViewer : public QDialog {
    Q_OBJECT
public:
    enum class Mode { kText, kHex, kPicture };
    // Text files are shown as text up to this size; larger ones as bytes.
    static constexpr uint64_t kTextLimit = 8u << 20;
    // Pictures are decoded up to this size.
    static constexpr uint64_t kPictureLimit = 64u << 20;

    explicit FileViewer(QWidget* parent = nullptr);

    // Shows the contents of the file name.
    void showContents(const QString& name, ContentReader reader);

    Mode mode() const { return mode_; }
    bool hasMode(Mode mode) const;
    void setMode(Mode mode);
    // The text view's encoding: "UTF-8" or "ISO-8859-1".
    QString encoding() const;
    void setEncoding(const QString& encoding);

    TextView* textView() const { return text_; }
    HexView* hexView() const { return hex_; }
    QLabel* pictureLabel() const { return picture_; }
    QLineEdit* findBox() const { return find_; }
    QCheckBox* findHexBox() const { return findHex_; }
    QLineEdit* offsetBox() const { return offset_; }
    // Why the contents cannot be shown, empty when they can.
    QString problem() const;

    // Finds the find box's text after the cursor (wrapping round); false when
    // it is nowhere.
    bool findNext();
    // Goes to the offset of the offset box.
    bool goToOffset();

private:
    void loadText();
    bool loadPicture();
    void showProblem(const QString& text);
    void updateStatus();

    ContentReader reader_;
    Mode mode_ = Mode::kHex;
    bool textPossible_ = false;
    bool picturePossible_ = false;
    bool textLoaded_ = false;
    QByteArray textBytes_;
    QComboBox* modeBox_;
    QLabel* encodingLabel_;
    QComboBox* encodingBox_;
    QLabel* offsetLabel_;
    QLineEdit* offset_;
    QLineEdit* find_;
    QCheckBox* findHex_;
    QPushButton* findButton_;
    QStackedWidget* stack_;
    TextView* text_;
    HexView* hex_;
    QScrollArea* pictureArea_;
    QLabel* picture_;
    QLabel* problem_;
    QLabel* status_;
};

} // namespace korvane::ui
