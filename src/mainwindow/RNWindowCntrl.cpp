#include "mainwindow/RNWindowCntrl.h"

#include "erase/RNDeleteItems.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNSplitView.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"
#include "util/Localization.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QPainter>
#include <QRegularExpression>
#include <QToolButton>
#include <QTimer>
#include <QVBoxLayout>

#include <malloc.h>

namespace quillo::mainwindow {

// ---- Outer split view ------------------------------------------------------------------------

RNLumoWindowSplitViewCntrl::RNLumoWindowSplitViewCntrl(RNSplitView* splitView, QWidget* window,
                                                       RNLumoWindowSourceViewCntrl* sources)
    : QObject(window), splitView_(splitView), window_(window), sources_(sources) {
    connect(splitView_, &RNSplitView::didResizeSubviews, this, &RNLumoWindowSplitViewCntrl::splitViewDidResize);
    connect(sources_, &RNLumoWindowSourceViewCntrl::showSelectedItems, this, [this] { updateTitle(); });
}

void RNLumoWindowSplitViewCntrl::splitViewDidResize() {
    const bool collapsed = splitView_->isSubviewCollapsed(0);
    if (collapsed == isCollapsed_) return;
    isCollapsed_ = collapsed;
    sources_->setCollapsed(collapsed);
    updateTitle();
}

void RNLumoWindowSplitViewCntrl::updateTitle() {
    if (isCollapsed_)
        window_->setWindowTitle(QString::fromStdString(
            util::RNFormat(util::RNLocalizedString("lumo_window_name"),
                           {util::RNIsolated(currentSelectedSourceName().toStdString())})));
    else
        window_->setWindowTitle(ui::L("lumo_window_name_default"));
}

// ---- Window ----------------------------------------------------------------------------------

RNWindowCntrl::RNWindowCntrl() : QWidget(nullptr, Qt::Window) {
    setObjectName(QStringLiteral("lumoWindow"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    splitView_ = new RNSplitView(Qt::Horizontal, this);
    splitView_->setObjectName(QStringLiteral("lumoSplitView"));

    auto* sourcePane = new QWidget(splitView_);
    auto* sourceLayout = new QVBoxLayout(sourcePane);
    sourceLayout->setContentsMargins(0, 0, 0, 0);
    sourceLayout->setSpacing(0);
    sourceCntrl_ = new RNLumoWindowSourceViewCntrl(sourcePane);
    sourceCntrl_->tableView()->setFrameShape(QFrame::NoFrame);
    sourceLayout->addWidget(sourceCntrl_->tableView(), 1);
    auto* sourceBar = new QHBoxLayout;
    sourceBar->setContentsMargins(6, 4, 6, 6);
    auto* refresh = new QToolButton(sourcePane);
    refresh->setObjectName(QStringLiteral("refreshBtn"));
    refreshBtn_ = refresh;
    updateRefreshIcon();
    refresh->setToolTip(ui::L("refresh_btn"));
    refresh->setAccessibleName(ui::L("refresh_btn"));
    refresh->setAutoRaise(true);
    // F5 and Ctrl+R refresh: the Tab key goes source list, item list, erase button.
    refresh->setFocusPolicy(Qt::NoFocus);
    sourceBar->addWidget(refresh);
    sourceBar->addStretch(1);
    sourceLayout->addLayout(sourceBar);

    contentCntrl_ = new RNContentViewCntrl(this, sourceCntrl_->model(), splitView_);
    splitView_->addWidget(sourcePane);
    splitView_->addWidget(contentCntrl_);
    splitView_->setCollapsible(0, true);
    splitView_->setCollapsible(1, false);
    splitView_->setStretchFactor(0, 0);
    splitView_->setStretchFactor(1, 1);
    splitView_->setSizes({280, 820});
    layout->addWidget(splitView_);
    splitCntrl_ = new RNLumoWindowSplitViewCntrl(splitView_, this, sourceCntrl_);

    RNListCntrl* list = contentCntrl_->listCntrl();
    QWidget::setTabOrder(sourceCntrl_->tableView(), contentCntrl_->tableView());
    QWidget::setTabOrder(contentCntrl_->tableView(), contentCntrl_->eraseBtn());
    connect(sourceCntrl_, &RNLumoWindowSourceViewCntrl::showSelectedItems, list, &RNListCntrl::showSelectedItems);
    connect(sourceCntrl_, &RNLumoWindowSourceViewCntrl::sourceCheckBtnDidClick, list,
            [list](RNSourceItem* source, bool) {
                if (source != list->sourceItem().get()) return;
                list->model()->reloadColumn(RNContentListModel::CheckColumn);
                list->writeMarkedInfo();
            });
    connect(list, &RNListCntrl::eraseEnded, this, [this](uint64_t erased) {
        // After an erase that removed something every list is rebuilt: the window goes.
        lastErasedCount_ = erased;
        if (erased > 0) close();
    });
    connect(refresh, &QToolButton::clicked, sourceCntrl_, &RNLumoWindowSourceViewCntrl::refreshAction);
    auto* refreshAction = new QAction(this);
    refreshAction->setShortcuts({QKeySequence::Refresh, QKeySequence(Qt::CTRL | Qt::Key_R)});
    connect(refreshAction, &QAction::triggered, sourceCntrl_, &RNLumoWindowSourceViewCntrl::refreshAction);
    addAction(refreshAction);
    addAction(list->putBackAction());
    addAction(list->undoAction());
    setAcceptDrops(true);
    auto* closeAction = new QAction(this);
    closeAction->setShortcut(QKeySequence::Close);
    connect(closeAction, &QAction::triggered, this, &QWidget::close);
    addAction(closeAction);

    // "stopWorking" comes from the session's own thread.
    const ui::RNMainThreadPath path(this);
    stopObserver_ = erase::RNNotificationCenter::defaultCenter().addObserver(
        erase::kStopWorking, nullptr, [this, path](const erase::RNNotification& note) {
            const void* session = note.object;
            const uint64_t erased = note.info("erasedCount").uintValue();
            path.post([this, session, erased] { eraseDidEnd(session, erased); });
        });
    windowDidLoad();
}

void RNWindowCntrl::eraseDidEnd(const void* session, uint64_t erasedCount) {
    // This window's own erase is handled by its list (the window closes when it removed
    // something); another one leaves the listing stale, whatever it reports: it may have been
    // stopped half-way. A closed window is read afresh when it opens again.
    const auto& own = contentCntrl_->listCntrl()->deleteItemsCntrl();
    if (own && own.get() == session) return;
    if (closed_ || !isVisible()) return;
    Q_UNUSED(erasedCount);
    sourceCntrl_->refreshAction();
}

RNWindowCntrl::~RNWindowCntrl() {
    erase::RNNotificationCenter::defaultCenter().removeObserver(stopObserver_);
    sourceCntrl_->windowWillClose();
    // The records go with the child objects, after this body: trimmed once they are freed.
    if (auto* app = QCoreApplication::instance()) QTimer::singleShot(0, app, [] { ::malloc_trim(0); });
}

void RNWindowCntrl::updateRefreshIcon() {
    if (!refreshBtn_) return;
    // The symbolic glyph, painted in the button's text colour: as shipped it is a light grey
    // that can hardly be seen on a light palette. Themes without it give their own icon as is.
    const QIcon symbolic = QIcon::fromTheme(QStringLiteral("view-refresh-symbolic"));
    if (symbolic.isNull()) {
        refreshBtn_->setIcon(QIcon::fromTheme(QStringLiteral("view-refresh")));
        return;
    }
    QIcon icon;
    for (const int side : {16, 24, 32, 48}) {
        QPixmap glyph = symbolic.pixmap(QSize(side, side), devicePixelRatioF());
        QPainter p(&glyph);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRect(QPoint(0, 0), glyph.size()), palette().color(QPalette::Active, QPalette::ButtonText));
        p.end();
        icon.addPixmap(glyph, QIcon::Normal);
        QPixmap dimmed = glyph;
        QPainter d(&dimmed);
        d.setCompositionMode(QPainter::CompositionMode_SourceIn);
        d.fillRect(QRect(QPoint(0, 0), dimmed.size()), palette().color(QPalette::Disabled, QPalette::ButtonText));
        d.end();
        icon.addPixmap(dimmed, QIcon::Disabled);
    }
    refreshBtn_->setIcon(icon);
}

void RNWindowCntrl::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) updateRefreshIcon();
}

void RNWindowCntrl::useOneHeapForAllThreads() { ::mallopt(M_ARENA_MAX, 1); }

void RNWindowCntrl::windowDidLoad() {
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    level_ = kFloatingLevel;
    setWindowTitle(ui::L("lumo_window_name_default"));
    // Room for every column of the list beside the source list and the preview.
    resize(1180, 680);
    setMinimumSize(720, 420);
    const QRect saved = rectFromString(QString::fromStdString(
        erase::RNUserDefaults::standardUserDefaults().stringForKey(erase::kPrefLumoDeleteWindow)));
    if (saved.width() > 0 && saved.height() > 0) setGeometry(saved);
    sourceCntrl_->viewDidLoad();
}

void RNWindowCntrl::showWindow() {
    if (closed_) {
        // Opened again before it was released: every list is read afresh.
        closed_ = false;
        lastErasedCount_ = 0;
        sourceCntrl_->restart();
    }
    show();
    raise();
    activateWindow();
}

void RNWindowCntrl::setWindowLevel(int level) {
    if (level == level_) return;
    level_ = level;
    const bool wasVisible = isVisible();
    const QRect frame = geometry();
    setWindowFlag(Qt::WindowStaysOnTopHint, level >= kFloatingLevel);
    if (wasVisible) {
        setGeometry(frame);
        show();
    }
}

QString RNWindowCntrl::stringFromRect(const QRect& r) {
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QRect RNWindowCntrl::rectFromString(const QString& text) {
    static const QRegularExpression number(QStringLiteral("-?\\d+(?:\\.\\d+)?"));
    QList<double> values;
    for (auto it = number.globalMatch(text); it.hasNext();) values << it.next().captured().toDouble();
    if (values.size() != 4) return {};
    return QRect(int(values[0]), int(values[1]), int(values[2]), int(values[3]));
}

std::vector<std::string> RNWindowCntrl::droppedPaths(const QMimeData* data) {
    std::vector<std::string> paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile() || (!url.host().isEmpty() && url.host() != QLatin1String("localhost"))) return {};
        // The path's own bytes: a name that is not UTF-8 comes percent-encoded and stays exact.
        const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        if (bytes.isEmpty() || bytes.front() != '/' || bytes.contains('\0')) return {};
        paths.emplace_back(bytes.constData(), size_t(bytes.size()));
    }
    return paths;
}

void RNWindowCntrl::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedPaths(event->mimeData()).empty() && !contentCntrl_->listCntrl()->isMoving()) event->acceptProposedAction();
}

void RNWindowCntrl::dropEvent(QDropEvent* event) {
    const std::vector<std::string> paths = droppedPaths(event->mimeData());
    if (paths.empty()) return;
    // Reported as a copy: a source that honours a move would remove its side itself, and the
    // item must go to the trash only, by our hand.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    contentCntrl_->listCntrl()->putPaths(paths);
}

void RNWindowCntrl::closeEvent(QCloseEvent* event) {
    if (contentCntrl_->listCntrl()->isErasing() && lastErasedCount_ == 0) {
        // The erase session asks its questions on this window: it stays until the end.
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    if (closed_) return;
    closed_ = true;
    contentCntrl_->closeQLWindow();
    erase::RNUserDefaults::standardUserDefaults().setString(erase::kPrefLumoDeleteWindow, stringFromRect(geometry()).toStdString());
    sourceCntrl_->windowWillClose();
    contentCntrl_->listCntrl()->forgetUndo();
    emit closed(lastErasedCount_);
}

}  // namespace quillo::mainwindow
