#!/usr/bin/env bash
# The manual page renders without a single groff warning.
set -euo pipefail
page="$(cd "$(dirname "$0")/../.." && pwd)/man/launcher.1"
warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
man -l "$page" 2>&1 >/dev/null | { ! grep .; }
echo "man page renders cleanly"
