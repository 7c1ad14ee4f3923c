#include "hotkeys/RNKeyNames.h"

#include "util/Localization.h"

#include <QStringList>
#include <Qt>

#include <array>

namespace quillo::hotkeys {

namespace {

struct Row {
    int qtKey;
    std::uint32_t keysym;
    const char* name;
};

// Keys outside the printable Latin-1 range.
constexpr Row kSpecial[] = {
    {Qt::Key_Escape, 0xff1b, "Escape"},       {Qt::Key_Tab, 0xff09, "Tab"},
    {Qt::Key_Backtab, 0xff09, "Tab"},         {Qt::Key_Backspace, 0xff08, "BackSpace"},
    {Qt::Key_Return, 0xff0d, "Return"},       {Qt::Key_Enter, 0xff8d, "KP_Enter"},
    {Qt::Key_Insert, 0xff63, "Insert"},       {Qt::Key_Delete, 0xffff, "Delete"},
    {Qt::Key_Pause, 0xff13, "Pause"},         {Qt::Key_Print, 0xff61, "Print"},
    {Qt::Key_Home, 0xff50, "Home"},           {Qt::Key_End, 0xff57, "End"},
    {Qt::Key_Left, 0xff51, "Left"},           {Qt::Key_Up, 0xff52, "Up"},
    {Qt::Key_Right, 0xff53, "Right"},         {Qt::Key_Down, 0xff54, "Down"},
    {Qt::Key_PageUp, 0xff55, "Prior"},        {Qt::Key_PageDown, 0xff56, "Next"},
    {Qt::Key_Menu, 0xff67, "Menu"},           {Qt::Key_Space, 0x20, "space"},
};

// Printable keys whose keysym name is not the character itself.
constexpr Row kPunctuation[] = {
    {Qt::Key_Exclam, 0x21, "exclam"},         {Qt::Key_QuoteDbl, 0x22, "quotedbl"},
    {Qt::Key_NumberSign, 0x23, "numbersign"}, {Qt::Key_Dollar, 0x24, "dollar"},
    {Qt::Key_Percent, 0x25, "percent"},       {Qt::Key_Ampersand, 0x26, "ampersand"},
    {Qt::Key_Apostrophe, 0x27, "apostrophe"}, {Qt::Key_ParenLeft, 0x28, "parenleft"},
    {Qt::Key_ParenRight, 0x29, "parenright"}, {Qt::Key_Asterisk, 0x2a, "asterisk"},
    {Qt::Key_Plus, 0x2b, "plus"},             {Qt::Key_Comma, 0x2c, "comma"},
    {Qt::Key_Minus, 0x2d, "minus"},           {Qt::Key_Period, 0x2e, "period"},
    {Qt::Key_Slash, 0x2f, "slash"},           {Qt::Key_Colon, 0x3a, "colon"},
    {Qt::Key_Semicolon, 0x3b, "semicolon"},   {Qt::Key_Less, 0x3c, "less"},
    {Qt::Key_Equal, 0x3d, "equal"},           {Qt::Key_Greater, 0x3e, "greater"},
    {Qt::Key_Question, 0x3f, "question"},     {Qt::Key_At, 0x40, "at"},
    {Qt::Key_BracketLeft, 0x5b, "bracketleft"}, {Qt::Key_Backslash, 0x5c, "backslash"},
    {Qt::Key_BracketRight, 0x5d, "bracketright"}, {Qt::Key_AsciiCircum, 0x5e, "asciicircum"},
    {Qt::Key_Underscore, 0x5f, "underscore"}, {Qt::Key_QuoteLeft, 0x60, "grave"},
    {Qt::Key_BraceLeft, 0x7b, "braceleft"},   {Qt::Key_Bar, 0x7c, "bar"},
    {Qt::Key_BraceRight, 0x7d, "braceright"}, {Qt::Key_AsciiTilde, 0x7e, "asciitilde"},
};

constexpr const char* kLetters[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m",
                                    "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z"};
constexpr const char* kDigits[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
constexpr const char* kFunctionKeys[] = {
    "F1",  "F2",  "F3",  "F4",  "F5",  "F6",  "F7",  "F8",  "F9",  "F10", "F11", "F12",
    "F13", "F14", "F15", "F16", "F17", "F18", "F19", "F20", "F21", "F22", "F23", "F24",
    "F25", "F26", "F27", "F28", "F29", "F30", "F31", "F32", "F33", "F34", "F35"};

}  // namespace

std::optional<RNKeyName> keyNameForQtKey(int qtKey) {
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        // Qt names a letter key by its capital; the key's own keysym is the small letter.
        return RNKeyName{std::uint32_t(qtKey - Qt::Key_A + 'a'), kLetters[qtKey - Qt::Key_A]};
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return RNKeyName{std::uint32_t(qtKey), kDigits[qtKey - Qt::Key_0]};
    if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F35)
        return RNKeyName{std::uint32_t(0xffbe + (qtKey - Qt::Key_F1)), kFunctionKeys[qtKey - Qt::Key_F1]};
    for (const Row& row : kSpecial)
        if (row.qtKey == qtKey) return RNKeyName{row.keysym, row.name};
    for (const Row& row : kPunctuation)
        if (row.qtKey == qtKey) return RNKeyName{row.keysym, row.name};
    return std::nullopt;
}

namespace {

QStringList modifierNames(Qt::KeyboardModifiers modifiers) {
    auto name = [](Qt::Modifier modifier) {
        QString t = QKeySequence(modifier).toString(QKeySequence::NativeText);
        if (t.endsWith(QLatin1Char('+'))) t.chop(1);
        return t;
    };
    QStringList parts;
    if (modifiers & Qt::ControlModifier) parts << name(Qt::CTRL);
    if (modifiers & Qt::AltModifier) parts << name(Qt::ALT);
    if (modifiers & Qt::ShiftModifier) parts << name(Qt::SHIFT);
    if (modifiers & Qt::MetaModifier) parts << QString::fromStdString(util::RNLocalizedString("super_modifier"));
    return parts;
}

}  // namespace

QString hotKeyText(QKeyCombination combination) {
    const Qt::Key key = combination.key();
    if (key == Qt::Key_unknown || key == 0) return {};
    QStringList parts = modifierNames(combination.keyboardModifiers());
    parts << QKeySequence(key).toString(QKeySequence::NativeText);
    return parts.join(QLatin1Char('+'));
}

QString modifiersText(Qt::KeyboardModifiers modifiers) {
    const QStringList parts = modifierNames(modifiers);
    return parts.isEmpty() ? QString() : parts.join(QLatin1Char('+')) + QLatin1Char('+');
}

}  // namespace quillo::hotkeys
