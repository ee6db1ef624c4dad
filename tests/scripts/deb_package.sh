#!/usr/bin/env bash
# The Debian package installs and its launcher runs (see scripts/check-deb).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/../../scripts/check-deb" "$(dirname "$1")"
