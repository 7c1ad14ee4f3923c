// The recorder of one hot key: it takes exactly one key combination. Qt's key sequence editor
// records up to four in a row and waits a second for the next one, showing "Ctrl+Alt+L, ..." all
// the while; a global hot key is one combination, so the first complete one ends the recording
// at once. While only modifiers are held it shows them as the desktop names them
// ("Ctrl+Super+"); letting them go without a key brings back the combination it had.
#pragma once

#include <QKeySequenceEdit>

class QLineEdit;

namespace quillo::ui {

class RNHotKeyRecorder : public QKeySequenceEdit {
public:
    explicit RNHotKeyRecorder(QWidget* parent = nullptr);

    // The text field shows `text` instead of Qt's own spelling of the combination.
    void showText(const QString& text);
    // The name and description assistive technologies give the recorder, on the field inside it
    // too (the field is what takes the keyboard focus and what a screen reader lands on).
    void setAccessibleTexts(const QString& name, const QString& description);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QLineEdit* line() const;
    void finish(const QKeySequence& combination);
    void cancel();

    bool recording_ = false;
    QKeySequence before_;
};

}  // namespace quillo::ui
