#include "saveoptionsdialog.h"

#include "fs/registry.h"
#include "uitexts.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>

namespace korvane::ui {

using namespace yaffs2;

namespace {

// Between the dialog and the one it shows beside.
constexpr int kGap = 8;

// A preset as the list shows it, in the dialog's words.
QString presetLabel(const Layout& l) {
    QString s = QString("%1+%2").arg(l.pageSize).arg(l.spareSize);
    if (l.inbandTags)
        s += tx(kPresetInband);
    else if (l.tagOffset == 2)
        s += tx(kPresetMarker);
    else if (l.tagOffset > 2)
        s += tx(kPresetTagOffset).arg(l.tagOffset);
    if (!l.inbandTags && !l.tagEcc)
        s += tx(kPresetNoTagEcc);
    if (l.order == ByteOrder::kBig)
        s += tx(kPresetBigEndian);
    if (l.dataEcc != yaffs2::kEccNone)
        s += tx(kPresetSeparator) + tx(l.dataEcc == yaffs2::kEccYaffs ? kEccYaffs : kEccNand);
    return s;
}

QString optionLabel(const FormatOption& o) {
    for (const OptionLabel& l : kOptionLabels)
        if (std::string_view(o.name) == l.name)
            return tx(l.label);
    return QString::fromUtf8(o.name) + QStringLiteral(":");
}

} // namespace

SaveOptionsDialog::SaveOptionsDialog(SaveParams& params, QWidget* owner)
    : QDialog(owner), params_(params), owner_(owner) {
    updating_ = true; // no reactions until every control is there
    setObjectName("saveOptionsDialog");
    setWindowTitle(tx(kSaveSettingsTitle));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    buildYaffs2Page(layout);

    formBox_ = new QGroupBox(this);
    formBox_->setObjectName("optionForm");
    form_ = new QFormLayout(formBox_);
    layout->addWidget(formBox_);

    outputBox_ = new QGroupBox(tx(kExtImage), this);
    auto* outputLayout = new QVBoxLayout(outputBox_);
    sparseBox_ = new QCheckBox(tx(kSparseOutput), outputBox_);
    sourceBox_ = new QCheckBox(tx(kSameAsSourceExt), outputBox_);
    outputLayout->addWidget(sparseBox_);
    outputLayout->addWidget(sourceBox_);
    layout->addWidget(outputBox_);

    auto* row = new QHBoxLayout;
    row->addStretch();
    ok_ = new QPushButton(tx(kButtonOk), this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &SaveOptionsDialog::confirm);
    auto* cancel = new QPushButton(tx(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    row->addWidget(ok_);
    row->addWidget(cancel);
    layout->addLayout(row);

    updating_ = false;
    showLayout(params_.layout);
    setSaveType("yaffs2-custom");
}

void SaveOptionsDialog::buildYaffs2Page(QLayout* layout) {
    eccBox_ = new QGroupBox(tx(kSaveAsEcc), this);
    auto* eccLayout = new QVBoxLayout(eccBox_);
    ecc_[0] = new QRadioButton(tx(kEccYaffs), eccBox_);
    ecc_[1] = new QRadioButton(tx(kEccNand), eccBox_);
    ecc_[2] = new QRadioButton(tx(kEccNone), eccBox_);
    for (auto* b : ecc_) {
        eccLayout->addWidget(b);
        connect(b, &QRadioButton::toggled, this, &SaveOptionsDialog::refresh);
    }
    ecc_[0]->setChecked(true);
    layout->addWidget(eccBox_);

    markerBox_ = new QGroupBox(tx(kEraseMarker), this);
    auto* markerLayout = new QGridLayout(markerBox_);
    marker_[0] = new QRadioButton(tx(kMarkerNo), markerBox_);
    marker_[1] = new QRadioButton(tx(kMarkerYes), markerBox_);
    markerLayout->addWidget(marker_[0], 0, 0);
    markerLayout->addWidget(marker_[1], 0, 1);
    marker_[0]->setChecked(true);
    for (auto* b : marker_)
        connect(b, &QRadioButton::toggled, this, &SaveOptionsDialog::markerChanged);
    layout->addWidget(markerBox_);

    nandBox_ = new QGroupBox(tx(kNandLayout), this);
    auto* form = new QFormLayout(nandBox_);
    preset_ = new QComboBox(nandBox_);
    preset_->addItem(tx(kPresetCustom));
    for (const NamedLayout& n : commonLayouts())
        preset_->addItem(presetLabel(n.layout));
    form->addRow(tx(kPresets), preset_);
    pageSize_ = new QComboBox(nandBox_);
    for (uint32_t p = kMinPageSize; p <= kMaxPageSize; p *= 2)
        pageSize_->addItem(QString::number(p), p);
    form->addRow(tx(kPageSize), pageSize_);
    spareSize_ = new QSpinBox(nandBox_);
    spareSize_->setRange(0, kMaxSpareSize);
    spareSize_->setSuffix(tx(kBytesSuffix));
    form->addRow(tx(kSpareSize), spareSize_);
    inband_ = new QCheckBox(tx(kInbandTags), nandBox_);
    form->addRow(QString(), inband_);
    tagOffset_ = new QSpinBox(nandBox_);
    tagOffset_->setRange(0, kMaxSpareSize);
    form->addRow(tx(kTagOffset), tagOffset_);
    tagEcc_ = new QCheckBox(tx(kTagEcc), nandBox_);
    form->addRow(QString(), tagEcc_);
    order_ = new QComboBox(nandBox_);
    order_->addItem(tx(kLittleEndian));
    order_->addItem(tx(kBigEndian));
    form->addRow(tx(kByteOrder), order_);
    layout->addWidget(nandBox_);

    problem_ = new QLabel(this);
    problem_->setObjectName("layoutProblem");
    problem_->setWordWrap(true);
    problem_->setStyleSheet("color: #b00000");
    layout->addWidget(problem_);

    connect(preset_, &QComboBox::activated, this, &SaveOptionsDialog::applyPreset);
    connect(pageSize_, &QComboBox::currentIndexChanged, this, &SaveOptionsDialog::refresh);
    connect(spareSize_, &QSpinBox::valueChanged, this, &SaveOptionsDialog::refresh);
    connect(tagOffset_, &QSpinBox::valueChanged, this, [this] {
        if (updating_)
            return;
        updating_ = true;
        marker_[tagOffset_->value() >= 2 ? 1 : 0]->setChecked(true);
        updating_ = false;
        refresh();
    });
    connect(inband_, &QCheckBox::toggled, this, &SaveOptionsDialog::refresh);
    connect(tagEcc_, &QCheckBox::toggled, this, &SaveOptionsDialog::refresh);
    connect(order_, &QComboBox::currentIndexChanged, this, &SaveOptionsDialog::refresh);
}

std::string SaveOptionsDialog::page() const {
    const FormatRow* row = writerOf(type_.toStdString());
    return row ? row->settingsPage : "";
}

QString SaveOptionsDialog::choicesKey(const QString& type) const {
    const FormatRow* row = writerOf(type.toStdString());
    return row && std::string_view(row->settingsPage) == "ext" ? QStringLiteral("ext") : type;
}

SaveChoices SaveOptionsDialog::choices(const QString& type) const {
    auto it = confirmed_.find(choicesKey(type));
    return it == confirmed_.end() ? SaveChoices{} : it->second;
}

void SaveOptionsDialog::setSaveType(const QString& type) {
    const bool changed = type != type_;
    type_ = type;
    const std::string p = page();
    const bool yaffs2 = p == "yaffs2";
    for (QWidget* w : {static_cast<QWidget*>(eccBox_), static_cast<QWidget*>(markerBox_),
                       static_cast<QWidget*>(nandBox_)})
        w->setVisible(yaffs2);
    if (!yaffs2)
        problem_->hide();
    if (changed)
        buildForm(type);
    formBox_->setVisible(!yaffs2 && p.empty() && !fields_.empty());
    outputBox_->setVisible(!yaffs2);
    const SaveType* t = saveTypeNamed(type.toStdString());
    outputBox_->setTitle(p == "ext" || !t ? tx(kExtImage) : tx(t->label));
    sourceBox_->setText(p == "ext" ? tx(kSameAsSourceExt) : tx(kSameAsSource));
    if (yaffs2)
        refresh();
    else
        ok_->setEnabled(true);
    showChoices();
}

bool SaveOptionsDialog::pageShown(const QString& name) const {
    if (name == "yaffs2")
        return !nandBox_->isHidden();
    if (name == "form")
        return !formBox_->isHidden();
    if (name == "output")
        return !outputBox_->isHidden();
    if (name == "ext")
        return !outputBox_->isHidden() && page() == "ext";
    return false;
}

// The form of the writer's options of type's format, for the formats whose
// settings have no page of their own.
void SaveOptionsDialog::buildForm(const QString& type) {
    while (form_->rowCount() > 0)
        form_->removeRow(0);
    fields_.clear();
    const FormatRow* row = writerOf(type.toStdString());
    if (!row || std::string_view(row->settingsPage) != "")
        return;
    formBox_->setTitle(tx(saveTypeNamed(type.toStdString())->label));
    for (const FormatOption& o : row->options) {
        QWidget* field = nullptr;
        if (!o.valueName) {
            auto* box =
                new QCheckBox(optionLabel(o).remove(QRegularExpression("[:：]$")), formBox_);
            form_->addRow(QString(), box);
            field = box;
        } else if (o.choices) {
            auto* box = new QComboBox(formBox_);
            box->addItem(tx(kOptionDefault), QString());
            for (const QString& c : QString::fromUtf8(o.choices).split('|'))
                box->addItem(c, c);
            form_->addRow(optionLabel(o), box);
            field = box;
        } else {
            auto* edit = new QLineEdit(formBox_);
            edit->setPlaceholderText(QString::fromUtf8(o.valueName));
            edit->setClearButtonEnabled(true);
            form_->addRow(optionLabel(o), edit);
            field = edit;
        }
        field->setObjectName(QString::fromUtf8(o.name));
        field->setToolTip("--" + QString::fromUtf8(o.name) + ": " + QString::fromUtf8(o.help));
        fields_.emplace_back(&o, field);
    }
}

QWidget* SaveOptionsDialog::optionField(const QString& name) const {
    for (const auto& [option, field] : fields_)
        if (name == QString::fromUtf8(option->name))
            return field;
    return nullptr;
}

FormatOptions SaveOptionsDialog::formOptions() const {
    FormatOptions o;
    for (const auto& [option, field] : fields_) {
        if (auto* box = qobject_cast<QCheckBox*>(field)) {
            if (box->isChecked())
                o[option->name] = "";
        } else if (auto* list = qobject_cast<QComboBox*>(field)) {
            if (const QString v = list->currentData().toString(); !v.isEmpty())
                o[option->name] = v.toStdString();
        } else if (auto* edit = qobject_cast<QLineEdit*>(field)) {
            if (const QString v = edit->text().trimmed(); !v.isEmpty())
                o[option->name] = v.toUtf8().toStdString();
        }
    }
    return o;
}

// The controls from the choices last confirmed for the type shown.
void SaveOptionsDialog::showChoices() {
    const SaveChoices c = choices(type_);
    sparseBox_->setChecked(c.sparse);
    sourceBox_->setChecked(c.likeSource);
    for (const auto& [option, field] : fields_) {
        auto it = c.options.find(option->name);
        const bool given = it != c.options.end();
        const QString value = given ? QString::fromStdString(it->second) : QString();
        if (auto* box = qobject_cast<QCheckBox*>(field))
            box->setChecked(given);
        else if (auto* list = qobject_cast<QComboBox*>(field))
            list->setCurrentIndex(std::max(0, list->findData(value)));
        else if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->setText(value);
    }
}

QRadioButton* SaveOptionsDialog::eccButton(int index) const {
    return ecc_[std::clamp(index, 0, 2)];
}

QRadioButton* SaveOptionsDialog::markerButton(int index) const {
    return marker_[index == 0 ? 0 : 1];
}

Layout SaveOptionsDialog::chosenLayout() const {
    Layout l;
    l.pageSize = pageSize_->currentData().toUInt();
    l.spareSize = static_cast<uint32_t>(spareSize_->value());
    l.inbandTags = inband_->isChecked();
    l.tagOffset = l.inbandTags ? 0 : static_cast<uint32_t>(tagOffset_->value());
    l.tagEcc = !l.inbandTags && tagEcc_->isChecked();
    l.order = order_->currentIndex() == 1 ? ByteOrder::kBig : ByteOrder::kLittle;
    const EccKind ecc = ecc_[0]->isChecked()   ? yaffs2::kEccYaffs
                        : ecc_[1]->isChecked() ? yaffs2::kEccNand
                                               : yaffs2::kEccNone;
    if (ecc != yaffs2::kEccNone) {
        l.dataEcc = ecc;
        l.dataEccOffset = standardDataEccOffset(l).value_or(l.spareSize);
    }
    return l;
}

// The controls from a layout; the preset box names it when it is one.
void SaveOptionsDialog::showLayout(const Layout& l) {
    updating_ = true;
    pageSize_->setCurrentIndex(pageSize_->findData(l.pageSize));
    spareSize_->setValue(static_cast<int>(l.spareSize));
    inband_->setChecked(l.inbandTags);
    tagOffset_->setValue(static_cast<int>(l.tagOffset));
    tagEcc_->setChecked(l.tagEcc && !l.inbandTags);
    order_->setCurrentIndex(l.order == ByteOrder::kBig ? 1 : 0);
    ecc_[l.dataEcc == yaffs2::kEccYaffs  ? 0
         : l.dataEcc == yaffs2::kEccNand ? 1
                                         : 2]
        ->setChecked(true);
    marker_[!l.inbandTags && l.tagOffset >= 2 ? 1 : 0]->setChecked(true);
    updating_ = false;
    refresh();
}

void SaveOptionsDialog::applyPreset(int index) {
    if (index <= 0 || index > static_cast<int>(commonLayouts().size()))
        return;
    showLayout(commonLayouts()[static_cast<size_t>(index - 1)].layout);
}

// The marker radio buttons put the tags at the head of the spare area or
// after the two marker bytes.
void SaveOptionsDialog::markerChanged() {
    if (updating_)
        return;
    updating_ = true;
    const bool marked = marker_[1]->isChecked();
    if (marked && tagOffset_->value() < 2)
        tagOffset_->setValue(2);
    else if (!marked && tagOffset_->value() >= 2)
        tagOffset_->setValue(0);
    updating_ = false;
    refresh();
}

void SaveOptionsDialog::refresh() {
    if (updating_ || page() != "yaffs2")
        return;
    const Layout l = chosenLayout();
    tagOffset_->setEnabled(!l.inbandTags);
    tagEcc_->setEnabled(!l.inbandTags);
    for (auto* b : marker_)
        b->setEnabled(!l.inbandTags);
    int match = 0;
    for (size_t i = 0; i < commonLayouts().size(); ++i)
        if (commonLayouts()[i].layout == l)
            match = static_cast<int>(i) + 1;
    preset_->setCurrentIndex(match);
    QString why;
    if (l.dataEcc != yaffs2::kEccNone && !standardDataEccOffset(l))
        why = tx(kDataEccTooBig).arg(l.dataEccBytes());
    else if (layoutProblem(l))
        why = tx(kTagsDoNotFit);
    problem_->setText(why);
    problem_->setVisible(!why.isEmpty());
    ok_->setEnabled(why.isEmpty());
}

void SaveOptionsDialog::showEvent(QShowEvent* event) {
    showLayout(params_.layout);
    showChoices();
    QDialog::showEvent(event);
}

void SaveOptionsDialog::confirm() {
    if (page() == "yaffs2") {
        const Layout l = chosenLayout();
        if (layoutProblem(l))
            return;
        params_.layout = l;
    } else {
        SaveChoices& c = confirmed_[choicesKey(type_)];
        c.options = formOptions();
        c.sparse = sparseBox_->isChecked();
        c.likeSource = sourceBox_->isChecked();
    }
    accept();
}

void SaveOptionsDialog::returnToOwner() {
    hide();
    setParent(owner_, Qt::Dialog);
}

// Right of anchor (a dialog moves left to make room when it can), else left
// of it, and where neither has room as far right as the screen lets the
// whole of this one show.
void SaveOptionsDialog::placeBeside(QWidget* anchor) {
    QRect by = anchor->frameGeometry();
    const QSize size = frameGeometry().size();
    const QScreen* screen = anchor->screen();
    if (!screen) {
        move(by.topRight() + QPoint(kGap, 0));
        return;
    }
    const QRect room = screen->availableGeometry();
    const int overflow = by.right() + kGap + size.width() - room.right();
    if (anchor != owner_ && overflow > 0 && by.left() > room.left()) {
        by.moveLeft(std::max(room.left(), by.left() - overflow));
        anchor->move(by.topLeft());
    }
    QPoint at = by.topRight() + QPoint(kGap, 0);
    if (at.x() + size.width() > room.right() && by.left() - kGap - size.width() >= room.left())
        at.setX(by.left() - kGap - size.width());
    at.setX(
        std::clamp(at.x(), room.left(), std::max(room.left(), room.right() + 1 - size.width())));
    at.setY(
        std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - size.height())));
    move(at);
}

void SaveOptionsDialog::showBeside(QWidget* dialog, const QString& type) {
    setSaveType(type);
    QWidget* anchor = dialog ? dialog : owner_;
    if (parentWidget() != anchor)
        setParent(anchor, Qt::Dialog);
    if (auto* d = qobject_cast<QDialog*>(dialog))
        connect(d, &QDialog::finished, this, &SaveOptionsDialog::returnToOwner,
                Qt::UniqueConnection);
    adjustSize();
    show();
    // Placed once shown, when its frame counts in its size.
    if (anchor->isVisible())
        placeBeside(anchor);
    raise();
    activateWindow();
}

} // namespace korvane::ui
