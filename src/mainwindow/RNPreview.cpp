#include "mainwindow/RNPreview.h"

#include "files/RNFilesUtilities.h"
#include "mainwindow/RNFinderLabels.h"
#include "mainwindow/RNImages.h"
#include "mainwindow/RNPreviewLoader.h"
#include "ui/RNQtStrings.h"
#include "ui/RNTextColors.h"
#include "util/Localization.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace quillo::mainwindow {

RNElidedLabel::RNElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void RNElidedLabel::setFullText(const QString& text) {
    full_ = text;
    setToolTip(text);
    setAccessibleName(text);
    elide();
}

QSize RNElidedLabel::minimumSizeHint() const { return {fontMetrics().averageCharWidth() * 4, QLabel::minimumSizeHint().height()}; }
QSize RNElidedLabel::sizeHint() const { return {fontMetrics().horizontalAdvance(full_), QLabel::sizeHint().height()}; }

void RNElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void RNElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) elide();
}

void RNElidedLabel::elide() {
    const QString shown = fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(1, contentsRect().width()));
    if (shown != text()) setText(shown);
}

RNPreview::RNPreview(QWidget* parent) : QFrame(parent) {
    setAttribute(Qt::WA_StyledBackground, false);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    previewView_ = new QLabel(this);
    previewView_->setAccessibleName(ui::L("preview_pane_name"));
    previewView_->setAlignment(Qt::AlignCenter);
    previewView_->setMinimumHeight(160);
    previewView_->setMaximumHeight(220);
    previewView_->setWordWrap(true);
    previewView_->setTextFormat(Qt::PlainText);
    // A text line without spaces must not widen the card.
    previewView_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    nameFld_ = new RNElidedLabel(this);
    nameFld_->setObjectName(QStringLiteral("previewName"));
    QFont bold = nameFld_->font();
    bold.setBold(true);
    nameFld_->setFont(bold);
    // Drawn on the card, whose face is the Base colour.
    descriptionFld_ = new ui::RNSecondaryLabel(this, QPalette::Text, QPalette::Base);
    descriptionFld_->setObjectName(QStringLiteral("previewDetails"));
    descriptionFld_->setWordWrap(true);
    pathTable_ = new QListWidget(this);
    pathTable_->setFrameShape(QFrame::NoFrame);
    pathTable_->setIconSize(QSize(16, 16));
    pathTable_->setContextMenuPolicy(Qt::CustomContextMenu);
    pathTable_->setFocusPolicy(Qt::NoFocus);
    pathTable_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pathTable_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    pathTable_->setTextElideMode(Qt::ElideMiddle);
    pathTable_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    pathTable_->setObjectName(QStringLiteral("previewPath"));
    pathTable_->setAttribute(Qt::WA_TranslucentBackground);
    pathTable_->viewport()->setAutoFillBackground(false);
    connect(pathTable_, &QWidget::customContextMenuRequested, this, &RNPreview::showPathMenu);
    layout->addWidget(previewView_);
    layout->addWidget(nameFld_);
    layout->addWidget(descriptionFld_);
    layout->addWidget(pathTable_);
}

QPixmap RNPreview::finderTagImage(int16_t tag, bool) {
    if (tag <= 0) return {};
    return RNFinderLabels::sharedControl().imageLabelWithBackgroundWithKey(tag, QSize(11, 11));
}

RNPreview::~RNPreview() {
    if (cancelled_) cancelled_->store(true);
}

void RNPreview::setRepresentedObject(const RNPreviewItemPtr& item) {
    if (cancelled_) cancelled_->store(true);
    cancelled_.reset();
    item_ = item;
    loaded_ = false;
    pathTable_->clear();
    path_.clear();
    previewView_->clear();
    descriptionFld_->clear();
    auto record = item ? item->item.lock() : nullptr;
    if (!record) {
        nameFld_->setFullText(QString());
        if (item) QApplication::beep();
        return;
    }
    nameFld_->setFullText(record->displayName());
    // Until the details come: the icon of the type the listing saw (no file system here).
    previewView_->setAlignment(Qt::AlignCenter);
    previewView_->setPixmap(iconForMimeType(mimeTypeOfItem(record->url, record->mode.load())).pixmap(96, 96));
    cancelled_ = std::make_shared<std::atomic<bool>>(false);
    const int side = int(200 * devicePixelRatioF());
    loadPreviewDetails(record, side, true, this, cancelled_, [this](const RNPreviewDetails& d) { showDetails(d); });
}

void RNPreview::showDetails(const RNPreviewDetails& d) {
    if (!d.text.isNull()) {
        previewView_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        previewView_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        previewView_->setText(d.text.left(600));
    } else if (!d.image.isNull()) {
        QPixmap pixmap = QPixmap::fromImage(d.image);
        pixmap.setDevicePixelRatio(devicePixelRatioF());
        previewView_->setAlignment(Qt::AlignCenter);
        previewView_->setPixmap(pixmap);
    } else {
        previewView_->setAlignment(Qt::AlignCenter);
        previewView_->setPixmap(iconForMimeType(QMimeDatabase().mimeTypeForName(d.mimeName)).pixmap(128, 128));
    }
    QStringList lines;
    if (!d.kind.isEmpty()) lines << d.kind;
    // Whole lines from the table: the label's punctuation is the language's ("Taille : ").
    auto line = [](const char* key, const QString& value) {
        return QString::fromStdString(util::RNFormat(util::RNLocalizedString(key), {value.toStdString()}));
    };
    lines << line("preview_size_line", d.size) << line("date_modified", d.dateModified)
          << line("date_created", d.dateCreated);
    // Where it came from, beside the chain of folders inside the trash below.
    if (auto record = item_ ? item_->item.lock() : nullptr) {
        const std::string place = record->originalPath();
        if (!place.empty()) {
            const std::string folder = files::deletingLastPathComponent(place);
            const std::string shown = ui::displayPath(folder.empty() ? std::string("/") : folder).toStdString();
            lines << QString::fromStdString(util::RNFormat(util::RNLocalizedString("originally_in"), {util::RNIsolated(shown)}));
        }
    }
    descriptionFld_->setText(lines.join(QLatin1Char('\n')));
    path_ = d.path;
    const QMimeDatabase db;
    for (const auto& entry : path_) {
        // Badge, icon and name on one row; the badge takes its own slot even when absent so that
        // the icons line up.
        QPixmap row(QSize(44, 16) * devicePixelRatio());
        row.setDevicePixelRatio(devicePixelRatio());
        row.fill(Qt::transparent);
        {
            QPainter p(&row);
            const QPixmap badge = finderTagImage(entry.finderTag, false);
            if (!badge.isNull()) p.drawPixmap(QRect(0, 0, 15, 15), badge);
            QPixmap icon = entry.url.empty() ? placeholderImageWithSize(QSize(16, 16))
                                             : iconForMimeType(db.mimeTypeForName(entry.mimeName)).pixmap(16, 16);
            if (entry.isInvisible) icon = ghostIconWithIcon(icon, QSize(16, 16));
            p.drawPixmap(QRect(22, 0, 16, 16), icon);
        }
        auto* w = new QListWidgetItem(QIcon(row), entry.name, pathTable_);
        if (entry.isInvisible) w->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
        w->setToolTip(ui::displayPath(entry.url));
    }
    pathTable_->setIconSize(QSize(44, 16));
    const int rows = pathTable_->count();
    pathTable_->setFixedHeight(rows * (pathTable_->sizeHintForRow(0) > 0 ? pathTable_->sizeHintForRow(0) : 20) + 4);
    loaded_ = true;
    emit loaded();
}

void RNPreview::showPathMenu(const QPoint& pos) {
    QListWidgetItem* clicked = pathTable_->itemAt(pos);
    if (!clicked) return;
    const int row = pathTable_->row(clicked);
    if (row < 0 || size_t(row) >= path_.size() || path_[size_t(row)].url.empty()) return;
    const std::string url = path_[size_t(row)].url;
    QMenu menu(this);
    QAction* reveal = menu.addAction(ui::L("reveal_in_file_manager"));
    reveal->setData(int(kTagReveal));
    QAction* open = menu.addAction(ui::L("open_with_default_app"));
    open->setData(int(kTagOpen));
    QAction* chosen = menu.exec(pathTable_->viewport()->mapToGlobal(pos));
    if (!chosen) return;
    if (chosen->data().toInt() == kTagReveal) revealInFileManager({url});
    else if (chosen->data().toInt() == kTagOpen) openWithDefaultApplication(url);
}

void RNPreview::paintEvent(QPaintEvent*) {
    // The card: a rounded rectangle a little lighter (or darker, in a dark palette) than the
    // window, with a thin rim.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    QColor top = palette().color(QPalette::Base);
    QColor bottom = dark ? top.lighter(115) : top.darker(103);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    QPainterPath path;
    path.addRoundedRect(r, 6, 6);
    p.fillPath(path, g);
    p.setPen(QPen(palette().color(QPalette::Mid), 1));
    p.drawPath(path);
}

}  // namespace quillo::mainwindow
