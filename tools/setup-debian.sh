#!/usr/bin/env bash
# Installs everything Tallyglass needs to build, run and test on Debian 12:
# the Debian packages, and the pinned and the oldest supported Codex CLI that the
# integration tests talk to.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

packages=(
  cmake ninja-build g++ pkg-config procps
  qt6-base-dev libgl-dev libqt6sql6-sqlite
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  dbus python3-dbusmock
  xvfb trayer xdotool x11-utils imagemagick fonts-noto-cjk desktop-file-utils
  libglib2.0-bin dpkg-dev file lintian appstream man-db
  qt6-wayland
)
# Tray hosts, status bars and desktops (Xfce's panel, GNOME Shell with the AppIndicator
# extension, KDE Plasma) the desktop tests run against, with the bus tools they use;
# without their recommends, which would pull in whole desktop environments.
host_packages=(
  dbus dbus-bin systemd python3 util-linux
  lxqt-panel sway waybar grim polybar
  xfce4-panel gnome-shell gnome-shell-extension-appindicator plasma-workspace plasma-desktop
)

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q "${packages[@]}" </dev/null
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${host_packages[@]}" </dev/null

# sway refuses to run as root; run as root, the Wayland desktop test runs as this user.
if [ "$(id -u)" -eq 0 ] && ! id tallyglass-test >/dev/null 2>&1; then
  useradd --create-home --user-group --shell /usr/sbin/nologin tallyglass-test
fi

# A machine that already has Node.js with its own npm keeps it; Debian's npm would conflict.
if ! command -v npm >/dev/null 2>&1; then
  "${sudo_cmd[@]}" apt-get install -y -q nodejs npm </dev/null
fi
npm ci --prefix tests/system/codex-cli --no-audit --no-fund </dev/null
# The oldest Codex CLI Tallyglass supports, for one reading against it.
npm ci --prefix tests/system/codex-cli-0.58 --no-audit --no-fund </dev/null
