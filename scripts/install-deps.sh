#!/usr/bin/env bash
# Installs the Debian packages Deskwave needs to build and test. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ccache
  libboost-dev libboost-system-dev
  libssl-dev libcurl4-openssl-dev libsqlite3-dev
  nlohmann-json3-dev libicu-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libavahi-client-dev
  # The Linux desktop backend: accessibility (AT-SPI), synthesized input (XTest),
  # the X11 clipboard and window list, PNG conversion of clipboard images.
  libatspi2.0-dev libx11-dev libxtst-dev libglib2.0-dev libgdk-pixbuf-2.0-dev
  # For the tests: a private D-Bus and Avahi daemon in a network namespace,
  # fuzzing with clang, and the load generator and reference server of the benchmarks.
  dbus avahi-daemon avahi-utils iproute2 clang libclang-rt-14-dev wrk nginx-light curl
  # A headless desktop for the desktop-backend tests: X server, accessibility bus,
  # a GTK 3 chat window written in Python, and a second clipboard client.
  xvfb x11-utils at-spi2-core dbus-x11 gir1.2-gtk-3.0 python3-gi xclip
  # Secrets in the desktop keyring (libsecret), and a keyring daemon for its tests.
  libsecret-1-dev gnome-keyring
  # The HTTP/2 stand-in for the push notification service in the push tests.
  nodejs
  # Claude Code at the desk in the whole-system tests: a private terminal server.
  tmux
  # The graphical shell: Qt 6 Widgets (and Qt Test), its OpenGL headers, the SVG
  # icon engine and the Adwaita theme for the freedesktop icons it shows.
  qt6-base-dev libgl-dev libqt6svg6 adwaita-icon-theme
  # Checks of the desktop entries and the systemd user unit that are installed.
  desktop-file-utils systemd
)

# npm installs the Claude Code CLI; a Node.js from elsewhere may bring its own.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  # Installing must not start daemons (Avahi would announce on the real network).
  added_policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee /usr/sbin/policy-rc.d >/dev/null
    "${sudo_cmd[@]}" chmod +x /usr/sbin/policy-rc.d
    added_policy=1
  fi
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  if [ -n "$added_policy" ]; then "${sudo_cmd[@]}" rm -f /usr/sbin/policy-rc.d; fi
fi

# The pinned Claude Code CLI for the whole-system tests, into the user's cache.
"$(dirname "$0")/install-claude-code.sh" >/dev/null
