#!/bin/sh
# A real browser against the real server: headless Chromium (Debian's package,
# never a downloaded browser) driven by playwright-core opens the example form
# served by build/httpd on loopback, submits Japanese text to the CGI program
# and to the Perl script, and checks that the reply pages show the same text.
# Screenshots are kept in $BUILD_DIR/browser.
set -eu
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}

sh scripts/install-deps.sh chromium fonts-ipafont-gothic
# The machine's Node.js may come with its own npm; Debian's needs the package.
command -v npm >/dev/null 2>&1 || sh scripts/install-deps.sh nodejs npm
[ -x "$BUILD_DIR/httpd" ] && [ -x examples/site/cgi-bin/form.exe ] || make build BUILD_DIR="$BUILD_DIR"

# playwright-core brings no browser; nothing is downloaded besides the package.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
(cd tests/browser && npm ci --no-audit --no-fund --silent)

HTTPD_BINARY="$(pwd)/$BUILD_DIR/httpd" \
SITE_DIR="$(pwd)/examples/site" \
ARTIFACT_DIR="$(pwd)/$BUILD_DIR/browser" \
    timeout 120 node tests/browser/form_test.mjs
