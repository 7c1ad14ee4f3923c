#include "mainwindow/RNPreview.h"

#include "mainwindow/RNFinderLabels.h"
#include "mainwindow/RNImages.h"
#include "ui/RNQtStrings.h"

#include <QFile>
#include <QApplication>
#include <QFontDatabase>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <fcntl.h>
#include <unistd.h>

namespace quillo::mainwindow {

void livePreviewOfItem(const RNLumoWindowItem& item, int side, QPixmap* image, QString* text) {
    const QMimeType type = mimeTypeOfItem(item.url);
    if (type.inherits(QStringLiteral("text/plain")) && !item.isDirectory()) {
        // The first few kilobytes, read without following a link.
        const int fd = ::open(item.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            QByteArray bytes(4096, 0);
            const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
            ::close(fd);
            if (n >= 0) {
                bytes.resize(n);
                *text = QString::fromUtf8(bytes);
                return;
            }
        }
    }
    *image = item.thumbnailWithValue(side);
}

RNPreview::RNPreview(QWidget* parent) : QFrame(parent) {
    setAttribute(Qt::WA_StyledBackground, false);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    previewView_ = new QLabel(this);
    previewView_->setAlignment(Qt::AlignCenter);
    previewView_->setMinimumHeight(160);
    previewView_->setMaximumHeight(220);
    previewView_->setWordWrap(true);
    previewView_->setTextFormat(Qt::PlainText);
    nameFld_ = new QLabel(this);
    QFont bold = nameFld_->font();
    bold.setBold(true);
    nameFld_->setFont(bold);
    nameFld_->setWordWrap(true);
    nameFld_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    descriptionFld_ = new QLabel(this);
    descriptionFld_->setForegroundRole(QPalette::PlaceholderText);
    descriptionFld_->setWordWrap(true);
    pathTable_ = new QListWidget(this);
    pathTable_->setFrameShape(QFrame::NoFrame);
    pathTable_->setIconSize(QSize(16, 16));
    pathTable_->setContextMenuPolicy(Qt::CustomContextMenu);
    pathTable_->setFocusPolicy(Qt::NoFocus);
    pathTable_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
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

void RNPreview::setRepresentedObject(const RNPreviewItemPtr& item) {
    item_ = item;
    pathTable_->clear();
    path_.clear();
    auto record = item ? item->item.lock() : nullptr;
    if (!record) {
        previewView_->clear();
        nameFld_->clear();
        descriptionFld_->clear();
        if (item) QApplication::beep();
        return;
    }
    QPixmap image;
    QString text;
    livePreviewOfItem(*record, 200, &image, &text);
    if (!text.isNull()) {
        previewView_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        previewView_->setFont(mono);
        previewView_->setText(text.left(600));
    } else {
        previewView_->setAlignment(Qt::AlignCenter);
        previewView_->setPixmap(image);
    }
    nameFld_->setText(item->name());
    QStringList lines;
    const QString kind = item->kind();
    if (!kind.isEmpty()) lines << kind;
    lines << ui::L("size_col") + QStringLiteral(": ") + item->size();
    lines << ui::L("date_modified") + QStringLiteral(": ") + item->dateModified();
    lines << ui::L("date_created") + QStringLiteral(": ") + item->dateCreated();
    descriptionFld_->setText(lines.join(QLatin1Char('\n')));
    path_ = item->oldStylePath();
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
                                             : iconOfItemWithURL(entry.url, QSize(16, 16));
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
