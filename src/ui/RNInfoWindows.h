// The small information windows of the tray app: the first-run welcome, the newsletter
// subscription and the "Quillo is running" window. Their owner learns that one closed from
// QDialog::finished, which every way of closing them emits (a button, Escape, the title bar).
#pragma once

#include <QDialog>
#include <QWizard>

class QLineEdit;

namespace quillo::ui {

// Shows a dialog, or brings it to the front when it is already open.
void showInFront(QDialog* dialog);

// The welcome pages, in the desktop's own wizard layout (Back left of Next, where the platform
// puts them).
class RNWelcomeCntrl : public QWizard {
    Q_OBJECT
public:
    // `hotKeys` names the two hot keys ("Ctrl+Super+Backspace"), in the order empty all, open
    // the Lumo Window; empty texts leave the line out.
    explicit RNWelcomeCntrl(const QString& emptyAllKey = {}, const QString& lumoKey = {}, QWidget* parent = nullptr);
    void showWindow() { showInFront(this); }
    int pageCount() const { return int(pageIds().size()); }
    int currentPage() const { return int(visitedIds().size()) - 1; }
    // What the pages need: QWizard asks for at least 500 by 360, which leaves a short page
    // mostly empty.
    QSize sizeHint() const override;
};

class RNSubscribe : public QDialog {
    Q_OBJECT
public:
    explicit RNSubscribe(QWidget* parent = nullptr);
    void showWindow() { showInFront(this); }

private:
    QLineEdit* email_;
};

// "Quillo is running": where a desktop has no system tray, the one place that tells a user who
// started Quillo from the menu how to reach it (the hot keys, or starting it again).
class RNWebPromo : public QDialog {
    Q_OBJECT
public:
    explicit RNWebPromo(const QString& text, QWidget* parent = nullptr);
    void showWindow() { showInFront(this); }
};

// The project's pages.
inline constexpr const char* kProjectHomePage = "https://github.com/quillo-app/quillo";
inline constexpr const char* kProjectReleasesPage = "https://github.com/quillo-app/quillo/releases";

}  // namespace quillo::ui
