#!/usr/bin/env bash
# Makes the Debian package webmon_VERSION_ARCH.deb from a native build folder:
#   bash scripts/deb.sh BUILD_DIR OUT_DIR
# The layout, as Debian keeps such a program:
#   /usr/lib/webmon/webmon            the program (stripped)
#   /usr/lib/webmon/web.txt           a link to the list: webmon reads it beside itself
#   /usr/lib/webmon/webmon-check-list the warnings in the journal about a list, before a start
#                                     (built with webmon, from webmon's own reading of a list)
#   /usr/lib/webmon/webmon-copy-list  hands a service its list (as root, before each start)
#   /usr/lib/webmon/webmon-list-path  the list of an instance, webmon@NAME
#   /usr/lib/webmon/webmon-watch-list restarts a webmon whose list changed (a process of its own)
#   /etc/webmon/web.txt               the list, a configuration file (empty when installed)
#   /usr/bin/webmon                   a link to the program
#   /lib/systemd/system/              webmon.service (the folder named); webmon@.service, for
#                                     a list of its own in /etc/webmon/NAME/web.txt
#   /usr/share/doc/webmon/, man1      README.Debian, NEWS.Debian, an example list, copyright,
#                                     changelog; the manual page
#   /usr/share/lintian/overrides/     why two of lintian's notes stand
# Its dependencies are read off the binary (dpkg-shlibdeps), never typed by hand.
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
src=$here/package/debian

# The version is the build's (CMakeLists.txt: a commit's own), with the packaging's revision.
version=$(sed -n 's/^WEBMON_DEBIAN_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "deb: no project version in $build/CMakeCache.txt" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
install -d "$root/DEBIAN" "$root/usr/lib/webmon" "$root/usr/bin" "$root/etc/webmon" \
  "$root/lib/systemd/system" "$root/usr/share/doc/webmon/examples" "$root/usr/share/man/man1"

for program in webmon webmon-check-list; do
  install -m 755 "$build/$program" "$root/usr/lib/webmon/$program"
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    "$root/usr/lib/webmon/$program"
done
install -m 755 "$src/webmon-copy-list" "$src/webmon-list-path" "$src/webmon-watch-list" \
  "$root/usr/lib/webmon/"
ln -s ../lib/webmon/webmon "$root/usr/bin/webmon"
ln -s /etc/webmon/web.txt "$root/usr/lib/webmon/web.txt"
: > "$root/etc/webmon/web.txt"
chmod 644 "$root/etc/webmon/web.txt"

# The tarball's unit, with the folder named and its manual page, and the list handed over as a
# copy: root copies it at each start, from wherever a link leads, into the service's runtime
# folder, readable by the service's user alone, so a list may be root's alone (chmod 600: it
# may hold passwords). In the sandbox /etc/webmon holds that copy and nothing else: the list's
# own name (which the check reads) and the one the program's link leads to. The watch on the
# list is a process of the service itself, started with webmon and ended with it.
unit=$root/lib/systemd/system
cat > "$work/list.conf" <<'LIST'
# The list, copied by root (no sandbox: it reads what systemd would) before anything else, and
# watched while webmon runs: a change restarts it (webmon-watch-list).
ExecStartPre=+/bin/sh /usr/lib/webmon/webmon-watch-list mark
ExecStartPre=+/bin/sh /usr/lib/webmon/webmon-copy-list /etc/webmon/web.txt webmon
ExecStartPost=+/bin/sh /usr/lib/webmon/webmon-watch-list watch
TemporaryFileSystem=/etc/webmon
BindReadOnlyPaths=-%t/webmon/web.txt:/etc/webmon/web.txt
LIST
sed -e 's|^Environment=WEBMON_DIR=.*|Environment=WEBMON_DIR=/usr/lib/webmon|' \
    -e 's|^Description=webmon URL monitor$|&\nDocumentation=man:webmon(1)|' \
    -e '1i # webmon as a service of this package: see webmon(1).' -e '1,/^\[Unit\]/{/^\[Unit\]/!d}' \
    -e "/^RuntimeDirectory=webmon$/r $work/list.conf" \
    "$here/package/webmon.service" > "$unit/webmon.service"
grep -q '^Environment=WEBMON_DIR=/usr/lib/webmon$' "$unit/webmon.service"
grep -q '^ExecStartPre=+.*webmon-copy-list /etc/webmon/web.txt' "$unit/webmon.service"
grep -q '^ExecStartPost=+.*webmon-watch-list watch$' "$unit/webmon.service"
# An instance, webmon@NAME: the same service on the list /etc/webmon/NAME/web.txt, NAME the
# folder's name as the unit's name writes it (%i), its \xNN escapes decoded (webmon-list-path),
# which the sandbox shows at /etc/webmon/web.txt, where the program reads its list. A name no
# folder has is refused: the main process says why and exits 78, which fails the instance for
# good. Its own input, its own tag in the journal, its own watch on its list.
cat > "$work/instance.conf" <<'LIST'
# The list of the folder NAME names, copied by root at each start and shown in the sandbox as
# /etc/webmon/web.txt, where webmon's link leads; a missing one: an empty copy, and webmon waits.
TemporaryFileSystem=/etc/webmon
BindReadOnlyPaths=-%t/webmon-%i/web.txt:/etc/webmon/web.txt
ExecStartPre=+/bin/sh /usr/lib/webmon/webmon-watch-list mark "%i"
ExecStartPre=+/bin/sh -c 'list=$$(/bin/sh /usr/lib/webmon/webmon-list-path "$$1" 2>/dev/null) || exit 0; exec /bin/sh /usr/lib/webmon/webmon-copy-list "$$list" "webmon@$$1"' webmon "%i"
ExecStartPost=+/bin/sh /usr/lib/webmon/webmon-watch-list watch "%i"
RestartPreventExitStatus=78
LIST
sed -e 's|^Description=webmon URL monitor$|Description=webmon URL monitor, instance %i|' \
    -e '/^# The list, copied by root/,/^BindReadOnlyPaths=/d' \
    -e "/^RuntimeDirectory=webmon$/r $work/instance.conf" \
    -e 's|^RuntimeDirectory=webmon$|RuntimeDirectory=webmon-%i|' \
    -e 's|^ExecStartPre=-\(.*\) ${WEBMON_DIR}/web.txt$|ExecStartPre=-/bin/sh -c '"'"'list=$$(/bin/sh /usr/lib/webmon/webmon-list-path "$$1" 2>/dev/null) \&\& exec \1 /etc/webmon/web.txt "$$list"'"'"' webmon "%i"|' \
    -e "s|^ExecStart=/bin/sh -c '|&/bin/sh /usr/lib/webmon/webmon-list-path \"\$\$1\" >/dev/null \|\| exit; |" \
    -e "/^ExecStart=/s|\$| webmon \"%i\"|" \
    -e 's|^SyslogIdentifier=webmon$|SyslogIdentifier=webmon@%i|' \
    -e 's|^# webmon as a service of this package: see webmon(1).$|# webmon@NAME: webmon on the list /etc/webmon/NAME/web.txt; see webmon(1).|' \
    -e '/^\[Install\]/,$d' "$unit/webmon.service" > "$unit/webmon@.service"
printf '[Install]\nWantedBy=multi-user.target\n' >> "$unit/webmon@.service"
for expected in 'ExecStartPre=+.*webmon-copy-list "$$list"' 'ExecStartPre=-.*webmon-check-list /etc/webmon/web.txt "$$list"' \
    'ExecStart=/bin/sh -c ./bin/sh /usr/lib/webmon/webmon-list-path "$$1" >/dev/null || exit; .* webmon "%i"$' \
    'ExecStartPost=+.*webmon-watch-list watch "%i"' 'RuntimeDirectory=webmon-%i' \
    'SyslogIdentifier=webmon@%i'; do
  grep -q "^$expected" "$unit/webmon@.service" || { echo "deb: webmon@.service lacks $expected" >&2; exit 1; }
done
if grep -q '%I' "$unit/webmon@.service"; then
  echo "deb: webmon@.service names a folder by %I, which reads - as /" >&2; exit 1
fi
chmod 644 "$unit/webmon.service" "$unit/webmon@.service"

install -m 644 "$src/README.Debian" "$src/copyright" "$root/usr/share/doc/webmon/"
install -m 644 "$here/monitor/web.txt.example" "$root/usr/share/doc/webmon/examples/web.txt"
sed "s/@VERSION@/$version/" "$src/changelog.in" | gzip -9n > "$root/usr/share/doc/webmon/changelog.Debian.gz"
sed "s/@VERSION@/$version/" "$src/NEWS.Debian.in" | gzip -9n > "$root/usr/share/doc/webmon/NEWS.Debian.gz"
sed "s/@VERSION@/$version/" "$src/webmon.1" | gzip -9n > "$root/usr/share/man/man1/webmon.1.gz"
chmod 644 "$root/usr/share/doc/webmon/changelog.Debian.gz" "$root/usr/share/doc/webmon/NEWS.Debian.gz" \
  "$root/usr/share/man/man1/webmon.1.gz"

# dpkg-shlibdeps reads a source package's control file: a minimal one in the work folder.
mkdir -p "$work/debian"
printf 'Source: webmon\n\nPackage: webmon\nArchitecture: any\n' > "$work/debian/control"
depends=$(cd "$work" && dpkg-shlibdeps -O -e"$root/usr/lib/webmon/webmon" \
  -e"$root/usr/lib/webmon/webmon-check-list" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "deb: dpkg-shlibdeps found no dependency" >&2; exit 1; }

install -d "$root/usr/share/lintian/overrides"
install -m 644 "$src/lintian-overrides" "$root/usr/share/lintian/overrides/webmon"
install -m 755 "$src/postinst" "$src/prerm" "$src/postrm" "$root/DEBIAN/"
echo /etc/webmon/web.txt > "$root/DEBIAN/conffiles"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" \
    -e "s/@DEPENDS@/$depends/" "$src/control.in" > "$root/DEBIAN/control"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum) > "$root/DEBIAN/md5sums"
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/conffiles" "$root/DEBIAN/md5sums"

deb=$out/webmon_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
