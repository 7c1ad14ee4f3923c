// Starting Quillo at login: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/org.quillo.quillo-3.desktop, that desktops read when the user
// logs in. Present = enabled; absent = disabled.
#pragma once

#include <QString>

namespace quillo::ui {

class RNLoginItem {
public:
    static constexpr const char* kFileName = "org.quillo.quillo-3.desktop";

    // The entry's path ($XDG_CONFIG_HOME defaults to ~/.config; a relative value is ignored).
    static QString path();
    // Writes the entry (atomically: a reader never sees half a file) or removes it. False with
    // the reason in `*error` when that failed; a missing entry removed again is no failure.
    static bool setEnabled(bool enabled, QString* error = nullptr);
    static bool isEnabled();

    // The entry's text: starts `executable` (the running program unless given) with no
    // arguments.
    static QString desktopEntry(const QString& executable);
};

}  // namespace quillo::ui
