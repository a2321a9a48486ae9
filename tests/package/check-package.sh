#!/usr/bin/env bash
# Builds the Debian package from a finished build folder, unpacks it into a
# temporary root and checks what a user would get: the program folder, the
# commands, the desktop entries, icons, metainfo and MIME type; then runs the
# installed settings test as an ordinary user against the unpacked tree.
# Usage: check-package.sh SOURCE_DIR BUILD_DIR [INSTALL_TEST_BINARY]
set -euo pipefail
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
install_test=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/tavo_*_amd64.deb)
echo "package: $(basename "$deb")"
dpkg-deb --field "$deb" Depends | grep -q libqt6widgets6 || fail "Depends lacks the Qt libraries"
dpkg-deb --field "$deb" Depends | grep -q qt6-qpa-plugins || fail "Depends lacks qt6-qpa-plugins"

root=$work/root
dpkg -x "$deb" "$root"
prog=$root/usr/lib/tavo
for f in tavo ini/s.txt ini/config.ini help/help.html blankimg/blank.jpg; do
  [ -f "$prog/$f" ] || fail "missing $prog/$f"
done
programs=(tavo)
for p in glimpse weaver; do [ -f "$prog/$p" ] && programs+=("$p"); done
for p in "${programs[@]}"; do
  [ -x "$prog/$p" ] || fail "$p is not executable"
  [ "$(readlink "$root/usr/bin/$p")" = "../lib/tavo/$p" ] || fail "usr/bin/$p does not lead to the program"
done
[ "${#programs[@]}" -eq 3 ] || echo "note: only ${programs[*]} packaged"
# The command-line downloader beside tavo, on the PATH, without a window system.
[ -x "$prog/tavo-get" ] || fail "tavo-get is missing"
[ "$(readlink "$root/usr/bin/tavo-get")" = "../lib/tavo/tavo-get" ] || fail "usr/bin/tavo-get does not lead to the program"
"$root/usr/bin/tavo-get" --help | grep -q '^Usage: tavo-get JOB.tavo' || fail "tavo-get --help"

share=$root/usr/share
for d in "$share"/applications/*.desktop; do
  desktop-file-validate "$d" || fail "desktop-file-validate $(basename "$d")"
done
[ "$(ls "$share"/applications/*.desktop | wc -l)" -eq "${#programs[@]}" ] || fail "one desktop entry per program"
grep -q '^MimeType=application/x-tavo-project;' "$share/applications/net.tavosoft.Tavo.desktop" ||
  fail "tavo does not open projects"
# A double-click on a project opens the downloader: it must be the first
# application the desktop database lists for the type.
cp -r "$share/applications" "$work/applications"
update-desktop-database "$work/applications"
grep -q '^application/x-tavo-project=net.tavosoft.Tavo.desktop;' "$work/applications/mimeinfo.cache" ||
  fail "tavo is not the first application for projects: $(grep tavo-project "$work/applications/mimeinfo.cache")"
appstreamcli validate --no-net "$share/metainfo/net.tavosoft.Tavo.metainfo.xml" || fail "appstreamcli"
grep -q 'glob pattern="\*.tavo"' "$share/mime/packages/tavo-project.xml" || fail "MIME glob"
for p in Tavo TavoGlimpse TavoWeaver; do
  grep -q "^Icon=net.tavosoft.$p\$" "$share/applications/net.tavosoft.$p.desktop" 2>/dev/null || continue
  [ -f "$share/icons/hicolor/scalable/apps/net.tavosoft.$p.svg" ] || fail "no SVG icon for $p"
  for s in 48 64 128 256; do
    [ -f "$share/icons/hicolor/${s}x$s/apps/net.tavosoft.$p.png" ] || fail "no ${s}px icon for $p"
  done
done

if [ -n "$install_test" ]; then
  # An ordinary user cannot write the installed program folder: settings must
  # go to the user's configuration folder.
  home=$work/home
  mkdir -p "$home"
  chown -R nobody "$home"
  chmod 700 "$home"
  cp "$install_test" "$work/install-test"
  chmod 755 "$work/install-test"
  runuser -u nobody -- env HOME="$home" XDG_CONFIG_HOME="$home/config" \
    XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen TAVO_INSTALLED_PROGRAM="$prog" \
    "$work/install-test" || fail "installed settings test"
  cmp -s "$prog/ini/config.ini" "$source/packaging/config.ini" || fail "the installed config.ini was changed"
  grep -q '^ProxyServer=' "$home/config/tavo/ini/config.ini" || fail "no settings in the user's folder"

  # The installed command itself, through its link on the PATH: it finds its
  # program folder and starts with the user's settings folder.
  home2=$work/home2
  mkdir -p "$home2" && chown nobody "$home2" && chmod 700 "$home2"
  set +e
  timeout 5 runuser -u nobody -- env HOME="$home2" XDG_CONFIG_HOME="$home2/config" \
    XDG_RUNTIME_DIR="$home2" QT_QPA_PLATFORM=offscreen "$root/usr/bin/tavo" >"$work/run.log" 2>&1
  status=$?
  set -e
  [ "$status" -eq 124 ] || { cat "$work/run.log"; fail "installed tavo ended with status $status"; }
  cmp -s "$home2/config/tavo/ini/s.txt" "$prog/ini/s.txt" || fail "installed tavo did not set up the user's settings"
fi
echo "package checks passed"
