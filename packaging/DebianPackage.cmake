# The Debian package: `cpack -G DEB` in the release build (build/release).
#
# CPack rather than a debian/ folder with dpkg-buildpackage: the install rules stay the one
# list of what ships, and the package is made from the tree that was just built and tested
# instead of from a second build (two shared cores, a CI budget in minutes).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyglass)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Brightfen)
set(CPACK_PACKAGE_CONTACT "${TALLYGLASS_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${TALLYGLASS_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Codex rate-limit usage in the system tray")
set(CPACK_PACKAGE_DESCRIPTION
"Tallyglass shows how much of your Codex rate-limit allowance is left: the tray
icon shows the share of the five-hour window that remains, and its menu shows
the five-hour and the week windows and when they reset. tallyglass-status
prints the same readings as JSON lines for scripts and status bars.

It reads the usage through the Codex CLI, which this package does not contain.
Install it, version ${TALLYGLASS_OLDEST_CODEX} or newer, with
  npm install -g @openai/codex
and sign in with a ChatGPT account (codex login).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The history store opens SQLite through Qt's plugin, which shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
# Qt's Wayland plugin for Wayland sessions; Korean glyphs for the menu and status texts.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, fonts-noto-cjk")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# lintian reports no errors and no warnings. Two notes stay:
# binary-has-unneeded-section .comment: CPack's strip keeps the compiler's version note (bytes).
# hardening-no-fortify-functions on tallyglass-status: it is built with _FORTIFY_SOURCE=2, but
# its only such calls (memmove, strlen) have no size the compiler knows, so none is checked.
include(CPack)
