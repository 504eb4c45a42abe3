#include "fileviewer.h"

#include "dirlistmodel.h"
#include "hexview.h"
#include "language.h"
#include "model/error.h"
#include "model/texts.h"
#include "prompter.h"
#include "textview.h"
#include "uitexts.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

namespace korvane::ui {

namespace {

// What the viewer looks at to choose how to show a file.
constexpr size_t kHeadBytes = 64u << 10;
// Pictures larger than this many pixels are not decoded (as thumbnails).
constexpr qint64 kMaxPixels = 50'000'000;

QByteArray readAll(const ContentReader& reader, uint64_t limit) {
    const auto size = static_cast<size_t>(std::min(reader.size, limit));
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    const size_t got =
        reader.read(0, MutableByteSpan(reinterpret_cast<std::byte*>(bytes.data()), bytes.size()));
    bytes.truncate(static_cast<qsizetype>(got));
    return bytes;
}

// Text: no NUL bytes, and few control characters other than tab, line
// feed, carriage return and form feed.
bool looksLikeText(const QByteArray& head) {
    qsizetype control = 0;
    for (char c : head) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0)
            return false;
        if (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f')
            ++control;
    }
    return control * 100 <= head.size();
}

// UTF-8 throughout; a head cut from a longer file may end inside a character.
bool isUtf8(const QByteArray& head, bool cut) {
    for (qsizetype drop = 0; drop <= (cut ? 3 : 0) && drop <= head.size(); ++drop)
        if (validUtf8(std::string_view(head.constData(), static_cast<size_t>(head.size() - drop))))
            return true;
    return false;
}

std::optional<QByteArray> hexBytes(const QString& text) {
    QString digits = text;
    digits.remove(QRegularExpression("\\s|0x"));
    if (digits.isEmpty() || digits.size() % 2 != 0 ||
        digits.contains(QRegularExpression("[^0-9a-fA-F]")))
        return std::nullopt;
    return QByteArray::fromHex(digits.toLatin1());
}

} // namespace

std::optional<uint64_t> findBytes(const ContentReader& reader, const QByteArray& pattern,
                                  uint64_t from,
                                  const std::function<bool(uint64_t, uint64_t)>& progress) {
    const auto n = static_cast<size_t>(pattern.size());
    if (n == 0 || n > reader.size)
        return std::nullopt;
    constexpr size_t kPiece = 1u << 20;
    Bytes buffer(kPiece + n);
    const auto* want = reinterpret_cast<const std::byte*>(pattern.constData());
    // From `from` to the end, then from the start to `from`.
    const uint64_t size = reader.size;
    from = std::min(from, size);
    uint64_t done = 0;
    for (int pass = 0; pass < 2; ++pass) {
        const uint64_t begin = pass == 0 ? from : 0;
        const uint64_t end = pass == 0 ? size : std::min(size, from + n - 1);
        for (uint64_t at = begin; at + n <= end;) {
            const auto len = static_cast<size_t>(std::min<uint64_t>(kPiece + n - 1, end - at));
            const size_t got = reader.read(at, MutableByteSpan(buffer.data(), len));
            if (got < n)
                break;
            auto hit = std::search(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(got),
                                   want, want + n);
            if (hit != buffer.begin() + static_cast<ptrdiff_t>(got))
                return at + static_cast<uint64_t>(hit - buffer.begin());
            // The next piece overlaps this one by n - 1 bytes.
            const uint64_t step = got - (n - 1);
            at += step;
            done += step;
            if (progress && !progress(done, size))
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> parseOffset(const QString& typed) {
    QString text = typed.trimmed().toLower();
    int base = 10;
    if (text.startsWith("0x")) {
        text = text.mid(2);
        base = 16;
    } else if (text.endsWith('h')) {
        text.chop(1);
        base = 16;
    }
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok, base);
    return ok ? std::optional<uint64_t>(value) : std::nullopt;
}

FileViewer::FileViewer(QWidget* parent) : QDialog(parent) {
    setObjectName("fileViewer");
    plainDialogFrame(this);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setWindowModality(Qt::WindowModal);
    resize(860, 600);
    auto* layout = new QVBoxLayout(this);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(tx(kViewAs), this));
    modeBox_ = new QComboBox(this);
    modeBox_->addItem(tx(kViewText), static_cast<int>(Mode::kText));
    modeBox_->addItem(tx(kViewHex), static_cast<int>(Mode::kHex));
    modeBox_->addItem(tx(kViewPicture), static_cast<int>(Mode::kPicture));
    connect(modeBox_, &QComboBox::activated, this,
            [this](int index) { setMode(static_cast<Mode>(modeBox_->itemData(index).toInt())); });
    top->addWidget(modeBox_);
    encodingLabel_ = new QLabel(tx(kEncoding), this);
    top->addWidget(encodingLabel_);
    encodingBox_ = new QComboBox(this);
    encodingBox_->addItems({"UTF-8", "ISO-8859-1"});
    connect(encodingBox_, &QComboBox::activated, this, [this] {
        textLoaded_ = false;
        loadText();
    });
    top->addWidget(encodingBox_);
    top->addStretch();
    offsetLabel_ = new QLabel(tx(kGoToOffset), this);
    top->addWidget(offsetLabel_);
    offset_ = new QLineEdit(this);
    offset_->setObjectName("offsetBox");
    offset_->setPlaceholderText("0x1000");
    offset_->setMaximumWidth(160);
    connect(offset_, &QLineEdit::returnPressed, this, &FileViewer::goToOffset);
    top->addWidget(offset_);
    layout->addLayout(top);

    auto* findRow = new QHBoxLayout;
    findRow->addWidget(new QLabel(tx(kFind), this));
    find_ = new QLineEdit(this);
    find_->setObjectName("findBox");
    find_->setClearButtonEnabled(true);
    connect(find_, &QLineEdit::returnPressed, this, &FileViewer::findNext);
    findRow->addWidget(find_, 1);
    findHex_ = new QCheckBox(tx(kFindHexBytes), this);
    findRow->addWidget(findHex_);
    findButton_ = new QPushButton(tx(kFindNext), this);
    connect(findButton_, &QPushButton::clicked, this, &FileViewer::findNext);
    findRow->addWidget(findButton_);
    layout->addLayout(findRow);

    stack_ = new QStackedWidget(this);
    text_ = new TextView(stack_);
    hex_ = new HexView(stack_);
    connect(hex_, &HexView::cursorMoved, this, &FileViewer::updateStatus);
    pictureArea_ = new QScrollArea(stack_);
    pictureArea_->setAlignment(Qt::AlignCenter);
    picture_ = new QLabel(pictureArea_);
    picture_->setObjectName("pictureLabel");
    pictureArea_->setWidget(picture_);
    pictureArea_->setWidgetResizable(false);
    problem_ = new QLabel(stack_);
    problem_->setAlignment(Qt::AlignCenter);
    problem_->setWordWrap(true);
    for (QWidget* w : {static_cast<QWidget*>(text_), static_cast<QWidget*>(hex_),
                       static_cast<QWidget*>(pictureArea_), static_cast<QWidget*>(problem_)})
        stack_->addWidget(w);
    layout->addWidget(stack_, 1);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setTextFormat(Qt::PlainText);
    bottom->addWidget(status_, 1);
    auto* close = new QPushButton(tx(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    bottom->addWidget(close);
    layout->addLayout(bottom);
}

void FileViewer::showContents(const QString& name, ContentReader reader) {
    setWindowTitle(tx(kViewerTitle).arg(name));
    reader_ = std::move(reader);
    textLoaded_ = false;
    textBytes_.clear();
    picture_->clear();
    find_->clear();
    offset_->clear();
    hex_->setContents(reader_);
    textPossible_ = reader_.size <= kTextLimit;
    picturePossible_ = false;
    Mode first = Mode::kHex;
    try {
        const QByteArray head = readAll(reader_, kHeadBytes);
        QBuffer probe;
        probe.setData(head);
        probe.open(QIODevice::ReadOnly);
        picturePossible_ =
            reader_.size <= kPictureLimit && !QImageReader::imageFormat(&probe).isEmpty();
        if (picturePossible_)
            first = Mode::kPicture;
        else if (textPossible_ && looksLikeText(head))
            first = Mode::kText;
        encodingBox_->setCurrentIndex(isUtf8(head, reader_.size > kHeadBytes) ? 0 : 1);
    } catch (const Error& e) {
        showProblem(coreText(e.message()));
        show();
        return;
    }
    for (int i = 0; i < modeBox_->count(); ++i) {
        const auto m = static_cast<Mode>(modeBox_->itemData(i).toInt());
        qobject_cast<QStandardItemModel*>(modeBox_->model())->item(i)->setEnabled(hasMode(m));
    }
    setMode(first);
    show();
    raise();
    activateWindow();
}

bool FileViewer::hasMode(Mode mode) const {
    return mode == Mode::kHex || (mode == Mode::kText && textPossible_) ||
           (mode == Mode::kPicture && picturePossible_);
}

void FileViewer::setMode(Mode mode) {
    if (!hasMode(mode))
        mode = Mode::kHex;
    mode_ = mode;
    modeBox_->setCurrentIndex(modeBox_->findData(static_cast<int>(mode)));
    const bool text = mode == Mode::kText;
    const bool hex = mode == Mode::kHex;
    encodingLabel_->setVisible(text);
    encodingBox_->setVisible(text);
    offsetLabel_->setVisible(hex);
    offset_->setVisible(hex);
    findHex_->setVisible(hex);
    find_->setEnabled(mode != Mode::kPicture);
    findButton_->setEnabled(mode != Mode::kPicture);
    if (text) {
        loadText();
        if (textLoaded_)
            stack_->setCurrentWidget(text_);
    } else if (hex) {
        stack_->setCurrentWidget(hex_);
        hex_->setFocus();
    } else if (loadPicture()) {
        stack_->setCurrentWidget(pictureArea_);
    }
    updateStatus();
}

QString FileViewer::encoding() const {
    return encodingBox_->currentText();
}

void FileViewer::setEncoding(const QString& encoding) {
    encodingBox_->setCurrentIndex(std::max(0, encodingBox_->findText(encoding)));
    textLoaded_ = false;
    if (mode_ == Mode::kText)
        loadText();
}

void FileViewer::loadText() {
    if (textLoaded_)
        return;
    try {
        if (textBytes_.isEmpty() && reader_.size > 0)
            textBytes_ = readAll(reader_, kTextLimit);
    } catch (const Error& e) {
        showProblem(coreText(e.message()));
        return;
    }
    text_->setPlainText(encodingBox_->currentIndex() == 0 ? QString::fromUtf8(textBytes_)
                                                          : QString::fromLatin1(textBytes_));
    textLoaded_ = true;
    stack_->setCurrentWidget(text_);
}

bool FileViewer::loadPicture() {
    if (!picture_->pixmap().isNull())
        return true;
    QImage image;
    try {
        QBuffer buffer;
        buffer.setData(readAll(reader_, kPictureLimit));
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        const QSize size = reader.size();
        if (size.isValid() && qint64(size.width()) * size.height() > kMaxPixels) {
            showProblem(tx(kPictureTooLarge));
            return false;
        }
        image = reader.read();
    } catch (const Error& e) {
        showProblem(coreText(e.message()));
        return false;
    }
    if (image.isNull()) {
        showProblem(tx(kPictureUnreadable));
        return false;
    }
    picture_->setPixmap(QPixmap::fromImage(image));
    picture_->resize(image.size());
    return true;
}

void FileViewer::showProblem(const QString& text) {
    problem_->setText(text);
    stack_->setCurrentWidget(problem_);
}

QString FileViewer::problem() const {
    return stack_->currentWidget() == problem_ ? problem_->text() : QString();
}

void FileViewer::updateStatus() {
    QString text =
        tx(kLabelSize) + unitSizeText(reader_.size) + " (" + exactSizeText(reader_.size) + ")";
    if (mode_ == Mode::kHex && reader_.size > 0)
        text += tx(kAtOffset).arg(QString::number(hex_->cursor(), 16)).arg(hex_->cursor());
    status_->setText(text);
}

bool FileViewer::findNext() {
    const QString what = find_->text();
    if (what.isEmpty())
        return false;
    if (mode_ == Mode::kText) {
        if (text_->find(what))
            return true;
        // Round to the start.
        QTextCursor start = text_->textCursor();
        start.movePosition(QTextCursor::Start);
        text_->setTextCursor(start);
        if (text_->find(what))
            return true;
        status_->setText(tx(kNotFound).arg(what));
        return false;
    }
    if (mode_ != Mode::kHex)
        return false;
    std::optional<QByteArray> pattern = findHex_->isChecked() ? hexBytes(what) : what.toUtf8();
    if (!pattern) {
        status_->setText(tx(kBadHexBytes));
        return false;
    }
    // A long search shows its progress and can be stopped.
    QProgressDialog progress(tx(kSearching), tx(kButtonCancel), 0, 1000, this);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    std::optional<uint64_t> at;
    try {
        at = findBytes(reader_, *pattern, hex_->cursor() + 1, [&](uint64_t done, uint64_t total) {
            progress.setValue(static_cast<int>(done * 1000 / std::max<uint64_t>(total, 1)));
            return !progress.wasCanceled();
        });
    } catch (const Error& e) {
        status_->setText(coreText(e.message()));
        return false;
    }
    progress.reset();
    if (!at) {
        status_->setText(tx(kNotFound).arg(what));
        return false;
    }
    hex_->goTo(*at, static_cast<uint64_t>(pattern->size()));
    return true;
}

bool FileViewer::goToOffset() {
    const std::optional<uint64_t> at = parseOffset(offset_->text());
    if (!at || *at >= reader_.size) {
        status_->setText(tx(kBadOffset).arg(offset_->text()).arg(reader_.size));
        return false;
    }
    hex_->goTo(*at);
    hex_->setFocus();
    return true;
}

} // namespace korvane::ui
