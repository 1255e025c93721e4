#!/bin/sh
# Side-by-side benchmark of httpd, nginx and lighttpd on loopback. Installs what
# it needs, builds a Release binary into build-release, runs the measurements
# and writes bench/RESULTS.md and bench/results.svg. Run by hand, never in CI.
#
#   sh bench/run.sh                      full run (about 10 minutes)
#   BENCH_REPS=1 BENCH_SCALE=0.2 sh bench/run.sh    quick look
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sh scripts/install-deps.sh nginx lighttpd apache2-utils

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j2 --target httpd

exec /usr/bin/python3 bench/bench.py --httpd "$root/build-release/httpd" --out "$root/bench" "$@"
