#!/usr/bin/env bash
# lintian on the packages: no error. Warnings and other findings are shown.
# usage: lintian.sh DEB...
set -uo pipefail
command -v lintian >/dev/null || { echo "lintian is not installed (scripts/bootstrap)"; exit 1; }
lintian --fail-on error --display-info "$@"
