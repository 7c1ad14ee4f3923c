# The Debian package (scripts/package; `cpack -G DEB` in a build tree): everything
# `cmake --install` puts in place, below /usr. Dependencies on shared libraries come from
# dpkg-shlibdeps; the maintainer scripts only make the running system bus re-read its policy.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Quillo developers")
set(CPACK_PACKAGE_CONTACT "The Quillo developers <quillo@quillo-app.github.io>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "empties the trash of every volume from the system tray")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/quillo-app/quillo")
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillo lives in the system tray and manages the freedesktop.org Trash of
every mounted volume: it lists each volume's trash with its items and size,
empties one or all, and erases chosen items, with confirmation, progress,
questions about locked and protected items and a dated log.

What the user's own rights cannot remove goes to a privileged helper that
the system bus starts on demand once polkit has authorized an administrator.
quillo-cli does the same from a terminal.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The system bus and polkit run the helper; the Qt platform plugins show the tray application.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus-system-bus | dbus, polkitd, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/data/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/data/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
