// The small information windows of the tray app: the first-run welcome, the newsletter
// subscription and the information window. Each posts its close notification ("welcomeDidClose",
// "newsletterDidClose", "webPromoDidClose") with its owner as the object when its window closes.
#pragma once

#include <QDialog>

#include <string>

class QLineEdit;
class QStackedWidget;

namespace quillo::ui {

class RNInfoWindow : public QDialog {
    Q_OBJECT
public:
    RNInfoWindow(const void* owner, std::string closeNotification);
    // Shows the window, or brings it to the front when it is already open.
    void showWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void done(int result) override;

private:
    void postClose();
    const void* owner_;
    std::string closeNotification_;
    bool posted_ = false;
};

class RNWelcomeCntrl : public RNInfoWindow {
    Q_OBJECT
public:
    explicit RNWelcomeCntrl(const void* owner);
    int pageCount() const;
    int currentPage() const;

private:
    QStackedWidget* pages_;
};

class RNSubscribe : public RNInfoWindow {
    Q_OBJECT
public:
    explicit RNSubscribe(const void* owner);

private:
    QLineEdit* email_;
};

class RNWebPromo : public RNInfoWindow {
    Q_OBJECT
public:
    explicit RNWebPromo(const void* owner);
};

// The project's pages.
inline constexpr const char* kProjectHomePage = "https://github.com/quillo-app/quillo";
inline constexpr const char* kProjectReleasesPage = "https://github.com/quillo-app/quillo/releases";

}  // namespace quillo::ui
