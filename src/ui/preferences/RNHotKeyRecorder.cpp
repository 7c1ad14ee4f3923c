#include "ui/preferences/RNHotKeyRecorder.h"

#include "hotkeys/RNKeyNames.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace quillo::ui {

namespace {

Qt::KeyboardModifiers modifierOfKey(int key) {
    switch (key) {
        case Qt::Key_Control: return Qt::ControlModifier;
        case Qt::Key_Alt:
        case Qt::Key_AltGr: return Qt::AltModifier;
        case Qt::Key_Shift: return Qt::ShiftModifier;
        case Qt::Key_Meta:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
        case Qt::Key_Hyper_L:
        case Qt::Key_Hyper_R: return Qt::MetaModifier;
        default: return Qt::NoModifier;
    }
}

bool isModifierKey(int key) { return modifierOfKey(key) != Qt::NoModifier; }

constexpr auto kModifiers = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier;

}  // namespace

RNHotKeyRecorder::RNHotKeyRecorder(QWidget* parent) : QKeySequenceEdit(parent) {}

QLineEdit* RNHotKeyRecorder::line() const { return findChild<QLineEdit*>(); }

void RNHotKeyRecorder::showText(const QString& text) {
    if (QLineEdit* l = line()) l->setText(text);
}

void RNHotKeyRecorder::setAccessibleTexts(const QString& name, const QString& description) {
    setAccessibleName(name);
    setAccessibleDescription(description);
    if (QLineEdit* l = line()) {
        l->setAccessibleName(name);
        l->setAccessibleDescription(description);
    }
}

void RNHotKeyRecorder::keyPressEvent(QKeyEvent* event) {
    if (!recording_) {
        recording_ = true;
        before_ = keySequence();
    }
    const int key = event->key();
    QKeySequenceEdit::keyPressEvent(event);
    if (isModifierKey(key)) {
        showText(hotkeys::modifiersText((event->modifiers() | modifierOfKey(key)) & kModifiers));
        return;
    }
    const QKeySequence recorded = keySequence();
    if (recorded.isEmpty()) return;
    finish(QKeySequence(recorded[recorded.count() - 1]));
}

void RNHotKeyRecorder::keyReleaseEvent(QKeyEvent* event) {
    const int key = event->key();
    if (recording_ && isModifierKey(key)) {
        const auto held = (event->modifiers() & ~modifierOfKey(key)) & kModifiers;
        event->accept();
        if (held == Qt::NoModifier) cancel();
        else showText(hotkeys::modifiersText(held));
        return;
    }
    QKeySequenceEdit::keyReleaseEvent(event);
}

void RNHotKeyRecorder::focusOutEvent(QFocusEvent* event) {
    // Leaving with only modifiers pressed records nothing.
    if (recording_) cancel();
    QKeySequenceEdit::focusOutEvent(event);
}

void RNHotKeyRecorder::finish(const QKeySequence& combination) {
    recording_ = false;
    // Ends Qt's recording state (no second chord is waited for) and keeps one combination.
    setKeySequence(combination);
    emit keySequenceChanged(combination);
    emit editingFinished();
}

void RNHotKeyRecorder::cancel() {
    recording_ = false;
    setKeySequence(before_);
    emit keySequenceChanged(before_);
}

}  // namespace quillo::ui
