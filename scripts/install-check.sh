#!/bin/sh
# Installs into a temporary directory as a packager would (make install
# DESTDIR=...), checks that the listed files are there, verifies the systemd
# unit against that staging tree, then builds the Debian package and checks
# that it has no maintainer scripts and only its own files.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
sh scripts/install-deps.sh systemd man-db dpkg-dev

stage=$(mktemp -d)
root=$(mktemp -d)
trap 'rm -rf "$stage" "$root"' EXIT

make install BUILD_DIR="$BUILD_DIR" DESTDIR="$stage" PREFIX=/usr
for file in usr/sbin/httpd etc/httpd/vostrel.ini usr/lib/systemd/system/httpd.service \
    usr/share/man/man8/httpd.8 usr/share/httpd/site/htdocs/index.html \
    usr/share/httpd/site/htdocs/form.html usr/share/httpd/site/htdocs/form.pl \
    usr/share/httpd/site/cgi-bin/form.exe usr/share/httpd/site/cgi-src/form.c; do
    [ -f "$stage/$file" ] || { echo "install-check: $file is missing" >&2; exit 1; }
done
[ -x "$stage/usr/share/httpd/site/cgi-bin/form.exe" ] || { echo "install-check: form.exe is not executable" >&2; exit 1; }
grep -q '^WEBROOT=/usr/share/httpd/site/htdocs$' "$stage/etc/httpd/vostrel.ini"
grep -q '^LOGNAME=/var/log/httpd/httpd.log$' "$stage/etc/httpd/vostrel.ini"

# The unit is verified in a copy of the staging tree that also holds the
# system's own units, which it refers to (sysinit.target and the like); its
# Documentation= must name a manual page of the staging tree.
cp -a "$stage/." "$root/"
cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/"
MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" \
    "$root/usr/lib/systemd/system/httpd.service"

make package BUILD_DIR="$BUILD_DIR"
deb=$(ls "$BUILD_DIR"/package/*.deb)
control=$(dpkg-deb -I "$deb")
for script in preinst postinst prerm postrm config triggers; do
    if echo "$control" | grep -q " $script\$\| $script "; then
        echo "install-check: the package has a $script script" >&2
        exit 1
    fi
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/httpd/vostrel.ini ]
# Every file of the package lies in a place that the package owns.
dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -E \
    '^\./(etc/|etc/httpd/.*|usr/|usr/sbin/(httpd)?|usr/lib/(systemd/(system/(httpd\.service)?)?)?|usr/share/|usr/share/(httpd|doc/httpd)/.*|usr/share/man/(man8/(httpd\.8)?)?|usr/share/doc/)$' \
    && { echo "install-check: the package holds files of others" >&2; exit 1; }
echo "install-check: install, unit and package are fine ($deb)"
