#include "ui/preferences/RNPreferencesWindow.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "hotkeys/RNHotKeyCenter.h"
#include "hotkeys/RNKeyNames.h"
#include "ui/preferences/RNCleanupSection.h"
#include "ui/preferences/RNHotKeyRecorder.h"
#include "ui/RNRunThen.h"
#include "ui/preferences/RNLoginItem.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

namespace quillo::ui {

using erase::RNDictionary;
using erase::RNValue;
using hotkeys::RNHotKeyCenter;

namespace {

QString text(const char* key) { return QString::fromStdString(util::RNLocalizedString(key)); }

QString format(const char* key, const QString& arg) {
    return QString::fromStdString(util::RNFormat(util::RNLocalizedString(key), {arg.toStdString()}));
}

constexpr auto kHotKeyModifiers = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

QLabel* sectionTitle(const QString& title, QWidget* parent) {
    auto* label = new QLabel(title, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

}  // namespace

RNPreferencesWindow::RNPreferencesWindow()
    : RNPreferencesWindow(erase::RNUserDefaultsController::sharedUserDefaultsController()) {}

RNPreferencesWindow::RNPreferencesWindow(erase::RNUserDefaultsController& controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    emptyTrash_.preferenceKey = erase::kPrefEmptyTrash;
    emptyTrash_.identifier = QStringLiteral("values.empty_trash");
    lumoDelete_.preferenceKey = erase::kPrefLumoDelete;
    lumoDelete_.identifier = QStringLiteral("values.lumo_delete");
    buildWindow();

    // The controls follow the defaults whoever changes them: at once when the change is made on
    // the main thread (a control's own click sees the window updated when it returns), through
    // the main thread's queue from any other.
    observed_ = &defaults();
    const RNMainThreadPath path(this);
    for (const char* key : {erase::kPrefLaunchAtLogin, erase::kPrefEmptyTrash, erase::kPrefLumoDelete,
                            erase::kPrefShowAlert, erase::kPrefDeleteLocked, erase::kPrefWriteLog,
                            erase::kPrefHowManyDaysForNewLogFile}) {
        observers_.push_back(observed_->addObserverForKey(key, [this, path](const std::string& changed, const RNValue&) {
            path.run([this, changed] { defaultsChanged(changed); });
        }));
    }
    auto& center = RNHotKeyCenter::sharedCenter();
    connect(&center, &RNHotKeyCenter::statusChanged, this, [this] { refreshHotKeyStatus(); });
    setupHotKeys();
    refreshControls();
}

RNPreferencesWindow::~RNPreferencesWindow() {
    if (window_ && window_->isVisible()) RNHotKeyCenter::sharedCenter().setSuspended(false);
    for (auto token : observers_) observed_->removeObserver(token);
    delete window_;
}

erase::RNUserDefaults& RNPreferencesWindow::defaults() const { return controller_.defaults(); }

const std::vector<int>& RNPreferencesWindow::logDayChoices() {
    static const std::vector<int> days{1, 3, 7, 14, 30, 90};
    return days;
}

QKeySequence RNPreferencesWindow::keySequenceFromDictionary(const RNValue& value) {
    const RNValue& key = value[erase::kHotKeyCode];
    const RNValue& flags = value[erase::kHotKeyModifierFlags];
    if (!key.isNumber() || !flags.isNumber()) return {};
    const auto keyCode = key.intValue();
    if (keyCode <= 0 || keyCode >= Qt::KeyboardModifierMask || (keyCode & Qt::KeyboardModifierMask)) return {};
    const auto modifiers = Qt::KeyboardModifiers(int(flags.intValue() & kHotKeyModifiers));
    return QKeySequence(QKeyCombination(modifiers, Qt::Key(keyCode)));
}

QString RNPreferencesWindow::hotKeyText(const QKeySequence& sequence) {
    return sequence.isEmpty() ? QString() : hotkeys::hotKeyText(sequence[0]);
}

RNDictionary RNPreferencesWindow::dictionaryFromKeySequence(const QKeySequence& sequence) {
    if (sequence.isEmpty()) return {};
    const QKeyCombination combination = sequence[0];
    return {{erase::kHotKeyCode, RNValue(static_cast<long long>(combination.key()))},
            {erase::kHotKeyModifierFlags,
             RNValue(static_cast<long long>((combination.keyboardModifiers() & kHotKeyModifiers).toInt()))}};
}

// ---- The window --------------------------------------------------------------------------------

void RNPreferencesWindow::buildWindow() {
    window_ = new QDialog();
    window_->setObjectName(QStringLiteral("window"));
    window_->setWindowTitle(text("preferences_title"));
    // Closing saves the recorders, whichever way it is closed (button, title bar, Escape).
    connect(window_, &QDialog::finished, this, [this] { saveHotKey(); });

    auto* layout = new QVBoxLayout(window_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->setSpacing(8);

    layout->addWidget(sectionTitle(text("hot_keys_section"), window_));
    auto* keys = new QGridLayout();
    keys->setHorizontalSpacing(12);
    keys->setVerticalSpacing(4);
    keys->setContentsMargins(12, 0, 0, 0);
    int row = 0;
    for (Recorder* recorder : {&emptyTrash_, &lumoDelete_}) {
        auto* label = new QLabel(text(recorder == &emptyTrash_ ? "empty_trash_hot_key" : "lumo_delete_hot_key"), window_);
        QWidget* field = makeRecorderRow(*recorder, window_);
        label->setBuddy(recorder->edit);
        recorder->edit->setAccessibleTexts(QString(label->text()).remove(QLatin1Char('&')), text("hot_key_recorder_tip"));
        keys->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignVCenter);
        keys->addWidget(field, row, 1);
        keys->addWidget(recorder->statusRow, row + 1, 1);
        row += 2;
    }
    keys->setColumnStretch(1, 1);
    layout->addLayout(keys);

    unavailableNote_ = new QLabel(text("hot_keys_unavailable"), window_);
    unavailableNote_->setObjectName(QStringLiteral("hotKeysUnavailable"));
    unavailableNote_->setWordWrap(true);
    unavailableNote_->setContentsMargins(12, 0, 0, 0);
    unavailableNote_->setForegroundRole(QPalette::PlaceholderText);
    layout->addWidget(unavailableNote_);

    layout->addSpacing(10);
    layout->addWidget(sectionTitle(text("general_section"), window_));
    auto* general = new QVBoxLayout();
    general->setContentsMargins(12, 0, 0, 0);
    general->setSpacing(6);
    auto addCheck = [&](QCheckBox*& box, const char* name, const char* title, const char* key) {
        box = new QCheckBox(text(title), window_);
        box->setObjectName(QLatin1String(name));
        connect(box, &QCheckBox::toggled, this, [this, key](bool on) {
            if (!refreshing_) setBoolPreference(key, on);
        });
        general->addWidget(box);
    };
    addCheck(launchCheckBtn_, "launchCheckBtn", "launch_at_login_check", erase::kPrefLaunchAtLogin);
    addCheck(showAlertCheckBtn_, "showAlertCheckBtn", "show_alert_check", erase::kPrefShowAlert);
    addCheck(deleteLockedCheckBtn_, "deleteLockedCheckBtn", "delete_locked_check", erase::kPrefDeleteLocked);
    addCheck(createLogCheckBtn_, "createLogCheckBtn", "write_log_check", erase::kPrefWriteLog);

    auto* logRow = new QHBoxLayout();
    logRow->setContentsMargins(24, 0, 0, 0);
    auto* logLabel = new QLabel(text("new_log_file"), window_);
    createLogPopup_ = new QComboBox(window_);
    createLogPopup_->setObjectName(QStringLiteral("createLogPopup"));
    logLabel->setBuddy(createLogPopup_);
    connect(createLogPopup_, &QComboBox::activated, this, [this](int index) {
        if (refreshing_ || index < 0) return;
        defaults().setInteger(erase::kPrefHowManyDaysForNewLogFile, createLogPopup_->itemData(index).toInt());
    });
    logRow->addWidget(logLabel);
    logRow->addWidget(createLogPopup_);
    logRow->addStretch(1);
    general->addLayout(logRow);
    layout->addLayout(general);

    layout->addSpacing(10);
    layout->addWidget(sectionTitle(text("cleanup_section"), window_));
    cleanupSection_ = new RNCleanupSection(defaults(), window_);
    layout->addWidget(cleanupSection_);

    layout->addSpacing(14);
    // The platform's button order: the two restore buttons are resets, Close accepts.
    auto* buttons = new QDialogButtonBox(window_);
    restoreWarnings_ = new QPushButton(text("restore_warnings_btn"), window_);
    restoreWarnings_->setObjectName(QStringLiteral("restoreWarnings"));
    restoreWarnings_->setToolTip(text("restore_warnings_tip"));
    restoreWarnings_->setAutoDefault(false);
    connect(restoreWarnings_, &QPushButton::clicked, this, [this] { restoreWarnings(); });
    restoreBtn_ = new QPushButton(text("restore_defaults_btn"), window_);
    restoreBtn_->setObjectName(QStringLiteral("restoreBtn"));
    restoreBtn_->setToolTip(text("restore_defaults_tip"));
    restoreBtn_->setAutoDefault(false);
    connect(restoreBtn_, &QPushButton::clicked, this, [this] { restoreValues(); });
    auto* close = new QPushButton(text("close_btn"), window_);
    close->setObjectName(QStringLiteral("closeBtn"));
    close->setDefault(true);
    connect(close, &QPushButton::clicked, window_, &QDialog::accept);
    buttons->addButton(restoreWarnings_, QDialogButtonBox::ResetRole);
    buttons->addButton(restoreBtn_, QDialogButtonBox::ResetRole);
    buttons->addButton(close, QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
}

QWidget* RNPreferencesWindow::makeRecorderRow(Recorder& recorder, QWidget* parent) {
    const bool empty = &recorder == &emptyTrash_;
    recorder.edit = new RNHotKeyRecorder(parent);
    recorder.edit->setObjectName(QLatin1String(empty ? "etHotKeyFld" : "lmHotKeyFld"));
    recorder.edit->setClearButtonEnabled(true);
    recorder.edit->setToolTip(text("hot_key_recorder_tip"));
    recorder.edit->setMinimumWidth(220);
    connect(recorder.edit, &QKeySequenceEdit::keySequenceChanged, this, [this, &recorder] { recorderChanged(recorder); });
    connect(recorder.edit, &QKeySequenceEdit::editingFinished, this, [this, &recorder] { saveRecorder(recorder); });
    recorder.edit->installEventFilter(this);

    recorder.statusRow = new QWidget(parent);
    recorder.statusRow->setObjectName(QLatin1String(empty ? "etHotKeyStatus" : "lmHotKeyStatus"));
    auto* row = new QHBoxLayout(recorder.statusRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    recorder.statusIcon = new QLabel(recorder.statusRow);
    recorder.statusText = new QLabel(recorder.statusRow);
    recorder.statusText->setObjectName(QStringLiteral("text"));
    recorder.statusText->setWordWrap(true);
    row->addWidget(recorder.statusIcon, 0, Qt::AlignTop);
    row->addWidget(recorder.statusText, 1);
    recorder.statusRow->hide();
    return recorder.edit;
}

// While a recorder has the keyboard the hot keys are suspended, so that pressing one (to record
// it for the other action, or again) records it instead of emptying the trash.
bool RNPreferencesWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == emptyTrash_.edit || watched == lumoDelete_.edit) {
        if (event->type() == QEvent::FocusIn)
            RNHotKeyCenter::sharedCenter().setSuspended(true);
        else if (event->type() == QEvent::FocusOut || event->type() == QEvent::Hide)
            RNHotKeyCenter::sharedCenter().setSuspended(false);
    }
    return QObject::eventFilter(watched, event);
}

void RNPreferencesWindow::openWindowInModal(bool modal) {
    setupHotKeys();
    refreshControls();
    window_->setWindowModality(modal ? Qt::ApplicationModal : Qt::NonModal);
    if (modal) {
        window_->raise();
        window_->activateWindow();
        window_->exec();
        return;
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

// ---- Hot keys ---------------------------------------------------------------------------------

void RNPreferencesWindow::setupHotKeys() {
    for (Recorder* recorder : {&emptyTrash_, &lumoDelete_}) {
        const QKeySequence stored = keySequenceFromDictionary(defaults().objectForKey(recorder->preferenceKey));
        {
            QSignalBlocker block(recorder->edit);
            recorder->edit->setKeySequence(stored);
        }
        showHotKeyText(*recorder);
    }
    refreshHotKeyStatus();
}

void RNPreferencesWindow::recorderChanged(Recorder& recorder) { showHotKeyText(recorder); }

void RNPreferencesWindow::showHotKeyText(Recorder& recorder) {
    recorder.edit->showText(hotKeyText(recorder.edit->keySequence()));
}

void RNPreferencesWindow::saveRecorder(Recorder& recorder) { saveRecorder(recorder, recorder.edit->keySequence()); }

void RNPreferencesWindow::saveRecorder(Recorder& recorder, const QKeySequence& sequence) {
    RNDictionary value;
    if (sequence.isEmpty()) {
        value = &recorder == &emptyTrash_ ? erase::defaultEmptyTrashHotKey() : erase::defaultLumoDeleteHotKey();
    } else {
        value = dictionaryFromKeySequence(sequence);
        const auto modifiers = sequence[0].keyboardModifiers();
        const Recorder& other = &recorder == &emptyTrash_ ? lumoDelete_ : emptyTrash_;
        QString refusal;
        // A combination without Ctrl, Alt or Super would take a key away from typing everywhere.
        if (!(modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
            refusal = text("hot_key_needs_modifier");
        else if (defaults().objectForKey(other.preferenceKey) == RNValue(value))
            refusal = text("hot_key_taken");
        if (!refusal.isEmpty()) {
            recorder.hint = refusal;
            setupHotKeys();
            return;
        }
    }
    recorder.hint.clear();
    defaults().setObject(recorder.preferenceKey, value);
    setupHotKeys();
}

void RNPreferencesWindow::saveHotKey() {
    // Both read first: storing one shows the stored values in both recorders again.
    const QKeySequence emptyTrash = emptyTrash_.edit->keySequence();
    const QKeySequence lumoDelete = lumoDelete_.edit->keySequence();
    saveRecorder(emptyTrash_, emptyTrash);
    saveRecorder(lumoDelete_, lumoDelete);
    // A refusal hint belongs to the recording that was just turned down, not to the next visit.
    emptyTrash_.hint.clear();
    lumoDelete_.hint.clear();
    refreshHotKeyStatus();
}

void RNPreferencesWindow::refreshHotKeyStatus() {
    auto& center = RNHotKeyCenter::sharedCenter();
    const bool available = center.isAvailable();
    unavailableNote_->setVisible(!available);
    const int iconSize = window_->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, window_);
    for (Recorder* recorder : {&emptyTrash_, &lumoDelete_}) {
        QString line;
        QStyle::StandardPixmap icon = QStyle::SP_MessageBoxWarning;
        if (!recorder->hint.isEmpty()) {
            line = recorder->hint;
        } else if (available && center.hasHotKey(recorder->identifier) &&
                   center.status(recorder->identifier) == RNHotKeyCenter::Status::Refused) {
            line = text("hot_key_refused");
        } else if (available && center.hasHotKey(recorder->identifier)) {
            // The portal's desktop may bind another trigger than the one asked for.
            const QString trigger = center.triggerDescription(recorder->identifier);
            if (!trigger.isEmpty()) {
                line = format("hot_key_desktop_trigger", trigger);
                icon = QStyle::SP_MessageBoxInformation;
            }
        }
        recorder->statusText->setText(line);
        recorder->statusIcon->setPixmap(window_->style()->standardIcon(icon, nullptr, window_).pixmap(iconSize, iconSize));
        recorder->statusRow->setVisible(!line.isEmpty());
    }
}

// ---- General preferences ----------------------------------------------------------------------

void RNPreferencesWindow::setBoolPreference(const char* key, bool value) { defaults().setBool(key, value); }

void RNPreferencesWindow::refreshControls() {
    refreshing_ = true;
    auto& d = defaults();
    launchCheckBtn_->setChecked(d.boolForKey(erase::kPrefLaunchAtLogin));
    showAlertCheckBtn_->setChecked(d.boolForKey(erase::kPrefShowAlert));
    deleteLockedCheckBtn_->setChecked(d.boolForKey(erase::kPrefDeleteLocked));
    const bool writeLog = d.boolForKey(erase::kPrefWriteLog);
    createLogCheckBtn_->setChecked(writeLog);

    // The offered days, plus a stored value that is not among them (set from the terminal).
    std::vector<int> days = logDayChoices();
    const int stored = int(std::clamp<std::int64_t>(d.integerForKey(erase::kPrefHowManyDaysForNewLogFile), 0, 100000));
    if (stored > 0 && std::find(days.begin(), days.end(), stored) == days.end()) {
        days.push_back(stored);
        std::sort(days.begin(), days.end());
    }
    createLogPopup_->clear();
    for (int n : days)
        createLogPopup_->addItem(
            QString::fromStdString(util::RNLocalizedMessage("log_every_days", {{"count", uint64_t(n)}})), n);
    createLogPopup_->setCurrentIndex(createLogPopup_->findData(stored));
    createLogPopup_->setEnabled(writeLog);
    refreshing_ = false;
}

void RNPreferencesWindow::defaultsChanged(const std::string& key) {
    if (key == erase::kPrefLaunchAtLogin) setLoginEnabled();
    if (key == erase::kPrefEmptyTrash || key == erase::kPrefLumoDelete) setupHotKeys();
    refreshControls();
}

void RNPreferencesWindow::restoreValues() {
    RNDictionary values;
    erase::defaultGeneralPreferences(values);
    // The clean-up rules are settings of this window too: back to off.
    erase::defaultAutoCleanupPreferences(values);
    erase::revertToInitialValuesInDictionary(values, defaults());
    emptyTrash_.hint.clear();
    lumoDelete_.hint.clear();
    setupHotKeys();
    refreshControls();
}

void RNPreferencesWindow::restoreWarnings() {
    std::vector<std::string> keys;
    for (const auto& [key, value] : controller_.initialValues()) keys.push_back(key);
    controller_.revertToInitialValues(keys);
}

void RNPreferencesWindow::setLoginEnabled() {
    QString error;
    if (RNLoginItem::setEnabled(defaults().boolForKey(erase::kPrefLaunchAtLogin), &error)) return;
    // The preference keeps the user's choice; the message says it could not be applied.
    erase::RNErrorDelegate::sharedControl().showError(std::string("login_error"), error.toStdString());
}

}  // namespace quillo::ui
