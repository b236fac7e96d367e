#!/usr/bin/env bash
# Installs the Debian packages Findlark needs to build, run and test; does nothing if all are there.
set -euo pipefail

packages=(
  cmake g++ ninja-build pkg-config git
  libgtest-dev libgmock-dev
  libminizip-dev libexpat1-dev zlib1g-dev libseccomp-dev liburing-dev poppler-utils
  clang libclang-rt-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-webengine-dev libglib2.0-dev
  qt6-qpa-plugins qt6-wayland libwayland-dev
  fuse3 libfuse3-dev qpdf
  xvfb weston openbox trayer xdotool wmctrl x11-utils imagemagick xauth
  python3-pyatspi at-spi2-core dbus-x11 dbus-daemon libglib2.0-bin python3-gi
  shared-mime-info desktop-file-utils appstream
  fd-find ripgrep hyperfine time
  dpkg-dev lintian file help2man man-db bsdextrautils bash-completion zsh fish
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
