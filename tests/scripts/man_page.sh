#!/usr/bin/env bash
# The manual page, as the build makes it for installation, renders without a single groff warning.
# Usage: man_page.sh <launcher in the build tree>
set -euo pipefail
page="$(cd "$(dirname "$1")" && pwd)/man/launcher.1"
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
man -l "$page" 2>&1 >/dev/null | { ! grep .; }
echo "man page renders cleanly"
