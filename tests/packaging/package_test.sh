#!/usr/bin/env bash
# Builds the Debian package from the build tree, checks what is in it and
# with which modes, validates its desktop entries and AppStream metadata,
# extracts it into a scratch root and runs the extracted program, and lets
# lintian judge it (no errors allowed).
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

fail() { echo "package_test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb="$(ls "$scratch"/out/telvane_*_*.deb)"
version="$(dpkg-deb -f "$deb" Version)"
arch="$(dpkg-deb -f "$deb" Architecture)"
[ "$(basename "$deb")" = "telvane_${version}_${arch}.deb" ] || fail "unexpected file name $(basename "$deb")"
echo "package: $(basename "$deb")"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q "libqt6widgets6" || fail "dpkg-shlibdeps found no Qt dependency"

# Every expected file, with its mode.
dpkg-deb -c "$deb" >"$scratch/contents"
expect() {
  local mode="$1" path="$2"
  grep -E "^${mode} [^ ]+ +[0-9]+ [0-9-]+ [0-9:]+ \./${path}$" "$scratch/contents" >/dev/null \
    || { cat "$scratch/contents"; fail "missing or wrong mode: $mode $path"; }
}
for path in bin/telvane bin/telvane-widget libexec/telvane/telvane-widget-window; do
  expect -rwxr-xr-x "usr/$path"
done
for path in applications/telvane.desktop applications/telvane-widget.desktop icons/hicolor/scalable/apps/telvane.svg \
    metainfo/org.telvane.Telvane.metainfo.xml man/man1/telvane.1.gz man/man1/telvane-widget.1.gz \
    doc/telvane/copyright doc/telvane/changelog.gz gnome-shell/extensions/telvane@telvane.org/{metadata.json,extension.js,stylesheet.css} \
    plasma/plasmoids/org.telvane.widget/{metadata.json,contents/ui/main.qml}; do
  expect -rw-r--r-- "usr/share/$path"
done
if awk '{print $1}' "$scratch/contents" | grep -E '^.{5}w|^.{8}w' >/dev/null; then
  fail "something is writable by group or others"
fi

# Installed files pass the desktop's own validators.
dpkg-deb -x "$deb" "$scratch/root"
for entry in "$scratch"/root/usr/share/applications/*.desktop; do
  desktop-file-validate "$entry" || fail "desktop-file-validate: $entry"
done
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/org.telvane.Telvane.metainfo.xml" \
  || fail "appstreamcli validate"
grep -q "\"Version\": \"$version\"" "$scratch/root/usr/share/plasma/plasmoids/org.telvane.widget/metadata.json" \
  || fail "the Plasma widget's version is not $version"

# The extracted program runs.
out="$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch" "$scratch/root/usr/bin/telvane" --version 2>/dev/null)"
[ "$out" = "telvane $version" ] || fail "telvane --version said '$out'"
out="$("$scratch/root/usr/bin/telvane-widget" --version)"
[ "$out" = "telvane-widget $version" ] || fail "telvane-widget --version said '$out'"
# A status bar may start telvane-widget every second: it loads neither Qt
# nor Avahi (the broker search's), only what its text modes use.
needed="$(readelf -d "$scratch/root/usr/bin/telvane-widget" | grep NEEDED)"
if grep -E "libavahi|libQt" <<<"$needed" >/dev/null; then
  echo "$needed"
  fail "telvane-widget needs a library its text modes do not use"
fi
# The extracted widget finds its window program under libexec, and a
# missing store is a line and status 0, not a failure.
out="$("$scratch/root/usr/bin/telvane-widget" --once --store "$scratch/none.sqlite3")"
[ "$out" = "Telvane: kein Speicher" ] || fail "telvane-widget --once said '$out'"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch" XDG_CONFIG_HOME="$scratch/config" \
  "$scratch/root/usr/bin/telvane-widget" --window --store "$scratch/none.sqlite3" \
  --screenshot "$scratch/window.png" 2>/dev/null || fail "telvane-widget --window did not run"
[ -s "$scratch/window.png" ] || fail "telvane-widget --window drew nothing"

if command -v lintian >/dev/null; then
  # Run as root here; lintian warns about that and nothing else changes.
  lintian --allow-root --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || true
  cat "$scratch/lintian.log"
  if grep -E "^E: " "$scratch/lintian.log" >/dev/null; then
    fail "lintian reports errors"
  fi
else
  echo "lintian not installed; not judged"
fi
echo "package_test: ok"
