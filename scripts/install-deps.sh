#!/bin/sh
# Installs what the build and the tests need on a Debian 12 machine, and only
# what is missing, so that a machine that has everything pays nothing.
set -eu

packages="g++ cmake make ninja-build libgtest-dev libgmock-dev curl perl"
for extra in "$@"; do
    packages="$packages $extra"
done

missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run as root, or install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
