// The preferences window: the two global hot keys (recorders), start at login, the erase
// confirmation, erasing locked items without asking, the erase log and how often it starts a
// new file, the automatic clean-up (RNCleanupSection), and the two restore buttons.
//
// The controls edit the user defaults directly and follow them: a change made elsewhere (the
// terminal tool, a restore) shows at once. Hot keys are stored as {"keyCode": Qt key,
// "modifierFlags": Qt modifier bits}; a recorder left empty stores the factory hot key, so a hot
// key can be changed but never removed. Next to each recorder a line says when the desktop
// refused the combination (another program holds it), and a note says when this desktop has no
// global hot keys at all; both follow RNHotKeyCenter.
//
// The controller is made once and kept; the window is shown again on each request.
#pragma once

#include "erase/RNNotificationCenter.h"
#include "erase/RNValue.h"

#include <QObject>
#include <QString>

#include <vector>

class QCheckBox;
class QComboBox;
class QDialog;
class QKeySequence;
class QLabel;
class QPushButton;
class QWidget;

namespace quillo::erase {
class RNUserDefaults;
class RNUserDefaultsController;
}  // namespace quillo::erase

namespace quillo::ui {

class RNCleanupSection;
class RNHotKeyRecorder;

class RNPreferencesWindow : public QObject {
    Q_OBJECT
public:
    // Works on the shared user-defaults controller.
    RNPreferencesWindow();
    explicit RNPreferencesWindow(erase::RNUserDefaultsController& controller, QObject* parent = nullptr);
    ~RNPreferencesWindow() override;

    // Shows the window in front: modal (returns when it is closed) or not.
    void openWindowInModal(bool modal);
    QDialog* window() const { return window_; }

    // Recorders from the stored hot keys.
    void setupHotKeys();
    // Stores each recorder's combination; an empty recorder stores the factory hot key.
    void saveHotKey();
    // Factory values of the general preferences, wherever they are stored (hot keys, check
    // boxes, log days, the saved main-window frame).
    void restoreValues();
    // Brings back the questions the user silenced ("show_install_helper_tool").
    void restoreWarnings();
    // Applies "launch_at_login" to the autostart entry; "login_error" when it cannot.
    void setLoginEnabled();

    // Days offered for "how_many_days_for_new_log_file".
    static const std::vector<int>& logDayChoices();
    // A hot-key preference as a key sequence (empty when the value is no hot key) and back.
    static QKeySequence keySequenceFromDictionary(const erase::RNValue& value);
    static erase::RNDictionary dictionaryFromKeySequence(const QKeySequence& sequence);
    // A hot key as people read it on this desktop: "Ctrl+Super+Backspace".
    static QString hotKeyText(const QKeySequence& sequence);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Recorder {
        const char* preferenceKey;  // "empty_trash"
        QString identifier;         // "values.empty_trash"
        RNHotKeyRecorder* edit = nullptr;
        QWidget* statusRow = nullptr;
        QLabel* statusIcon = nullptr;
        QLabel* statusText = nullptr;
        QString hint;  // why the last recording was not taken, until the next one
    };

    erase::RNUserDefaults& defaults() const;
    void buildWindow();
    QWidget* makeRecorderRow(Recorder& recorder, QWidget* parent);
    void recorderChanged(Recorder& recorder);
    void showHotKeyText(Recorder& recorder);
    void saveRecorder(Recorder& recorder);
    void saveRecorder(Recorder& recorder, const QKeySequence& sequence);
    void refreshControls();
    void refreshHotKeyStatus();
    void defaultsChanged(const std::string& key);
    void setBoolPreference(const char* key, bool value);

    erase::RNUserDefaultsController& controller_;
    erase::RNUserDefaults* observed_ = nullptr;
    std::vector<erase::RNObserverToken> observers_;
    QDialog* window_ = nullptr;  // owned
    Recorder emptyTrash_;
    Recorder lumoDelete_;
    QLabel* unavailableNote_ = nullptr;
    QCheckBox* launchCheckBtn_ = nullptr;
    QCheckBox* showAlertCheckBtn_ = nullptr;
    QCheckBox* deleteLockedCheckBtn_ = nullptr;
    QCheckBox* createLogCheckBtn_ = nullptr;
    QComboBox* createLogPopup_ = nullptr;
    QPushButton* restoreWarnings_ = nullptr;
    QPushButton* restoreBtn_ = nullptr;
    RNCleanupSection* cleanupSection_ = nullptr;
    bool refreshing_ = false;
};

}  // namespace quillo::ui
