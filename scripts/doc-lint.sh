#!/bin/sh
# Checks the manual page: mandoc's lint, then groff's warnings and man's own
# rendering must report nothing. Installs mandoc when it is missing.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh mandoc groff-base man-db

page=docs/httpd.8
problems=$(mktemp)
trap 'rm -f "$problems"' EXIT

mandoc -T lint -W warning "$page" >"$problems" 2>&1 || true
groff -man -ww -z -Tutf8 "$page" >>"$problems" 2>&1 || true
# man -l formats the page as a reader sees it; its warnings go to standard error.
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>>"$problems" >/dev/null || true

if [ -s "$problems" ]; then
    cat "$problems" >&2
    echo "doc-lint: $page has warnings" >&2
    exit 1
fi
echo "doc-lint: $page is clean"
