#!/usr/bin/env bash
# Checks a built findlark .deb: its control fields, that everything lands under /usr where
# Debian looks, that lintian --pedantic finds no error or warning in it, and that the program
# runs from a scratch root it is unpacked into.
# Usage: scripts/check-package.sh findlark_VERSION_amd64.deb
set -euo pipefail
deb=$(realpath "$1")
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
[[ $(basename "$deb") == "findlark_${version}_amd64.deb" ]] || fail "file name $(basename "$deb")"
[[ $(field Package) == findlark ]] || fail "Package: $(field Package)"
[[ $(field Architecture) == amd64 ]] || fail "Architecture: $(field Architecture)"
for f in Section Maintainer Description Homepage; do
  [[ -n $(field "$f") ]] || fail "no $f field"
done
# Worked out from the linked libraries, so it names the C++ runtime and Qt with versions; the
# document libraries, loaded only when needed, are named by hand.
depends=$(field Depends)
for lib in 'libc6 (>=' 'libstdc++6 (>=' 'libqt6widgets6 (>=' 'libqt6svg6' 'libexpat1 (>=' \
  'libminizip1 (>='; do
  [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ $(field Recommends) == *qt6-wayland* ]] || fail "Recommends: $(field Recommends)"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I cannot read it"

listing=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
outside=$(grep -v '^\./usr/' <<<"$listing" | grep -vx '\./' || true)
[[ -z $outside ]] || fail "installs outside /usr: $outside"
for path in usr/bin/findlark usr/bin/findlark-cli \
  usr/share/applications/findlark.desktop usr/share/metainfo/org.findlark.Findlark.metainfo.xml \
  usr/share/icons/hicolor/scalable/apps/findlark.svg \
  usr/share/icons/hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/findlark.png \
  usr/share/man/man1/findlark.1.gz usr/share/man/man1/findlark-cli.1.gz \
  usr/share/bash-completion/completions/findlark-cli usr/share/zsh/vendor-completions/_findlark-cli \
  usr/share/fish/vendor_completions.d/findlark-cli.fish usr/share/doc/findlark/copyright \
  usr/share/doc/findlark/changelog.gz; do
  grep -qx "\./$path" <<<"$listing" || fail "does not install /$path"
done

# As a Debian developer would check it: an error or a warning fails, as does lintian itself
# failing to run; info and pedantic tags are shown.
if lintian_out=$(lintian --pedantic --display-info --fail-on error,warning "$deb" 2>&1); then
  grep -v '^running with root privileges' <<<"$lintian_out" || true
else
  fail "lintian: $lintian_out"
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
got=$("$root/usr/bin/findlark-cli" --version) || fail "findlark-cli --version failed"
# Its first line; the second says what the PDF sandbox can use on this machine.
[[ ${got%%$'\n'*} == "findlark-cli $version" ]] || fail "findlark-cli --version says '$got'"
man -l "$root/usr/share/man/man1/findlark-cli.1.gz" >/dev/null 2>&1 || fail "findlark-cli(1) unreadable"

((failed == 0)) && echo "package OK: $(basename "$deb")"
exit $failed
