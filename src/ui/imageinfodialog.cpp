#include "imageinfodialog.h"

#include "language.h"
#include "model/error.h"
#include "prompter.h"
#include "transfer/image_chain.h"
#include "transfer/loadimage.h"
#include "uitexts.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString bytesText(uint64_t n) {
    return tx(kBytesCount).arg(n);
}

// What the surest probe finds in bytes: "EROFS", "Android sparse > EXT2/3/4".
QString holds(const std::shared_ptr<const ImageSource>& bytes) {
    if (bytes->size() == 0)
        return tx(kHoldsNothing);
    try {
        const Identification id = identify(bytes);
        QString text;
        for (const std::string& l : id.layers)
            if (const FormatRow* row = formatNamed(l))
                text += utf8(row->title) + " > ";
        if (id.probes.empty())
            return text + tx(kHoldsUnknown);
        return text + utf8(id.probes.front().format->title);
    } catch (const Error& e) {
        return coreText(e.message());
    }
}

} // namespace

QString ImageInfo::value(const QString& label) const {
    for (const Section& s : sections)
        for (const Row& r : s.rows)
            if (r.label == label)
                return r.value;
    return {};
}

ImageInfo imageInfo(const ImageChain& chain, const QString& path) {
    ImageInfo info;
    if (chain.empty())
        return info;
    const Timg& img = chain.top();
    ImageInfo::Section file{tx(kInfoImage), {}};
    QString shown = path.isEmpty() ? tx(kNewName) : path;
    for (const std::string& m : chain.memberNames())
        shown += tx(kChainSeparator) + utf8(m);
    file.rows.push_back({tx(kInfoFile), shown});
    file.rows.push_back({tx(kInfoSize), bytesText(img.size())});
    info.sections.push_back(std::move(file));

    // How it is stored and how sure each probe is.
    ImageInfo::Section found{tx(kInfoIdentified), {}};
    try {
        const Identification id = identify(chain.bytesOf(chain.depth() - 1));
        QString layers;
        for (const std::string& l : id.layers)
            if (const FormatRow* row = formatNamed(l))
                layers += (layers.isEmpty() ? "" : " > ") + utf8(row->title);
        if (!layers.isEmpty())
            found.rows.push_back({tx(kInfoStoredAs), layers});
        const FormatRow* read = formatOf(img);
        for (const ProbeResult& p : id.probes) {
            if (p.format->role == FormatRole::kLayer)
                continue;
            found.rows.push_back({p.format == read ? tx(kInfoReadBy) : tx(kInfoAlsoBids),
                                  tx(kInfoProbe)
                                      .arg(utf8(p.format->title))
                                      .arg(p.probe.score)
                                      .arg(coreText(p.probe.why))});
        }
    } catch (const Error& e) {
        // A new image has no bytes of its own to probe.
        if (!path.isEmpty())
            found.rows.push_back({tx(kInfoReadBy), coreText(e.message())});
    }
    if (!found.rows.empty())
        info.sections.push_back(std::move(found));

    ImageInfo::Section facts{tx(kInfoFacts), {}};
    auto describe = img.describe();
    if (img.image()) {
        auto stored = img.image()->describe();
        describe.insert(describe.begin() + (describe.empty() ? 0 : 1), stored.begin(),
                        stored.end());
    }
    for (const auto& [label, value] : describe)
        facts.rows.push_back({utf8(label), utf8(value)});
    info.sections.push_back(std::move(facts));

    const std::vector<Message>& warnings = img.warningMessages();
    ImageInfo::Section warned{txn(kInfoWarnings, static_cast<qsizetype>(warnings.size())), {}};
    for (const Message& w : warnings)
        warned.rows.push_back({QString(), coreText(w)});
    if (!warnings.empty())
        info.sections.push_back(std::move(warned));

    if (img.isContainer() && img.root()) {
        Timg& box = chain.top();
        for (const auto& child : img.root()->children) {
            const TImgEntry& e = child->entry;
            ImageInfo::Section member{tx(kInfoMember).arg(utf8(e.name)), {}};
            member.rows.push_back({tx(kInfoSize), bytesText(box.contentSize(e))});
            for (const auto& [label, value] : box.memberFacts(e))
                member.rows.push_back({utf8(label), utf8(value)});
            QString what;
            try {
                what = holds(ImageChain::bytesOf(box, child.get()));
            } catch (const Error& err) {
                what = coreText(err.message());
            }
            member.rows.push_back({tx(kInfoHolds), what});
            info.sections.push_back(std::move(member));
        }
    }
    return info;
}

ImageInfoDialog::ImageInfoDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("imageInfoDialog");
    plainDialogFrame(this);
    setWindowTitle(tx(kActionImageInfo));
    resize(720, 520);
    auto* layout = new QVBoxLayout(this);
    tree_ = new QTreeWidget(this);
    tree_->setColumnCount(2);
    tree_->setHeaderLabels({tx(kInfoItem), tx(kAttributeValue)});
    tree_->setWordWrap(true);
    tree_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tree_->header()->setStretchLastSection(true);
    layout->addWidget(tree_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(tx(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

void ImageInfoDialog::showInfo(const ImageInfo& info) {
    tree_->clear();
    for (const ImageInfo::Section& s : info.sections) {
        auto* top = new QTreeWidgetItem(tree_, {s.title});
        QFont bold = top->font(0);
        bold.setBold(true);
        top->setFont(0, bold);
        top->setFirstColumnSpanned(true);
        for (const ImageInfo::Row& r : s.rows) {
            auto* item = new QTreeWidgetItem(top, {r.label, r.value});
            item->setToolTip(1, r.value);
        }
    }
    tree_->expandAll();
    tree_->resizeColumnToContents(0);
    exec();
}

} // namespace korvane::ui
