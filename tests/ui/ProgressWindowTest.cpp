// The progress panel as the engine drives it.
#include "erase/RNMainThread.h"
#include "GuiTest.h"
#include "ui/RNLinearProgressIndicatorView.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <thread>

using namespace quillo;
using quillo::test::waitUntil;

TEST(ProgressWindow, FieldsBarAndStopButton) {
    ui::RNProgressWindowCntrl cntrl;
    ui::RNProgressWindow* w = cntrl.window();
    EXPECT_NE(cntrl.countStr().find("{total, plural,"), std::string::npos) << "the total is told by the plural rules";
    EXPECT_FALSE(cntrl.mainText().empty());

    cntrl.show(nullptr);
    EXPECT_TRUE(w->isVisible());
    cntrl.hideInfoSizeFields(true);
    for (QLabel* l : {w->countTxt, w->countFld, w->sizeTxt, w->sizeFld}) EXPECT_FALSE(l->isVisible());
    cntrl.startIndeterminateAnimation();
    EXPECT_TRUE(cntrl.isIndeterminate());
    EXPECT_EQ(w->spinner->maximum(), 0);  // the style's busy marker
    cntrl.updateProgress(50);             // ignored while indeterminate
    cntrl.hideInfoSizeFields(false);
    for (QLabel* l : {w->countTxt, w->countFld, w->sizeTxt, w->sizeFld}) EXPECT_TRUE(l->isVisible());
    cntrl.startDeterminateAnimation();
    EXPECT_FALSE(cntrl.isIndeterminate());
    EXPECT_EQ(w->spinner->value(), 0);
    cntrl.updateProgress(250);  // more erased than counted: the bar stops at the end
    EXPECT_EQ(w->spinner->value(), w->spinner->maximum());
    cntrl.updateProgress(12.5);
    EXPECT_DOUBLE_EQ(w->spinner->progress(), 12.5);

    cntrl.setMainText("Emptying");
    cntrl.setInfoText("Erasing the Trash of “USB”");
    cntrl.setCountText("1 of 8 items");
    cntrl.setSizeText("4 bytes");
    EXPECT_EQ(w->mainInfoFieldTxt->text(), "Emptying");
    EXPECT_EQ(w->countFld->text(), "1 of 8 items");

    EXPECT_FALSE(cntrl.wasStopped());
    w->stopBtn->click();
    EXPECT_TRUE(cntrl.wasStopped());
    EXPECT_FALSE(w->stopBtn->isEnabled());
    cntrl.close();
    EXPECT_FALSE(w->isVisible());
}

TEST(ProgressWindow, ClosingFromTheTitleBarIsTheStopButton) {
    ui::RNProgressWindowCntrl cntrl;
    cntrl.show(nullptr);
    cntrl.window()->reject();  // Escape or the window's close button
    EXPECT_TRUE(cntrl.wasStopped());
}

TEST(ProgressWindow, SheetOnAParentIsWindowModal) {
    QWidget parent;
    parent.show();
    ui::RNProgressWindowCntrl cntrl;
    cntrl.show(&parent);
    EXPECT_EQ(cntrl.window()->parentWidget(), &parent);
    EXPECT_EQ(cntrl.window()->windowModality(), Qt::WindowModal);
    cntrl.close();
}

// A sheet is its window's child: a Lumo Window closed while its erase ends takes the panel
// along, and the controller that still follows must neither use nor delete it again.
TEST(ProgressWindow, SheetWhoseWindowClosedFirstIsNotDeletedTwice) {
    auto dispatcher = ui::RNQtMainThread::install();
    auto* parent = new QWidget;
    parent->show();
    auto onMain = std::make_unique<ui::RNProgressWindowCntrl>();
    auto onWorker = std::make_unique<ui::RNProgressWindowCntrl>();
    onMain->show(parent);
    onWorker->show(parent);
    delete parent;
    EXPECT_EQ(onMain->window(), nullptr);
    onMain->setInfoText("late text");
    onMain->updateProgress(50);
    onMain->close();
    onMain.reset();
    std::thread([c = std::move(onWorker)]() mutable { c.reset(); }).join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    erase::RNMainThread::setActive(nullptr);
}

// The session that owns the panel may end on a worker thread: the widget is then deleted on the
// main thread, never on the worker.
TEST(ProgressWindow, ControllerDestroyedOnAWorkerDeletesTheWidgetOnTheMainThread) {
    auto dispatcher = ui::RNQtMainThread::install();
    auto factory = ui::RNProgressWindowCntrl::factory();
    auto cntrl = factory();
    ASSERT_NE(cntrl, nullptr);
    QPointer<ui::RNProgressWindow> window = static_cast<ui::RNProgressWindowCntrl*>(cntrl.get())->window();
    std::thread([c = std::move(cntrl)]() mutable { c.reset(); }).join();
    EXPECT_FALSE(window.isNull());  // not yet: it waits for the main loop
    EXPECT_TRUE(waitUntil([&] { return window.isNull(); }));
    // A panel asked for off the main thread cannot be shown: none is made.
    std::unique_ptr<erase::RNGenericProgressWindowCntrl> offMain;
    std::thread([&] { offMain = factory(); }).join();
    EXPECT_EQ(offMain, nullptr);
    erase::RNMainThread::setActive(nullptr);
}
