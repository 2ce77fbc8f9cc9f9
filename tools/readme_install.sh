#!/usr/bin/env bash
# Runs the install lines of README.md exactly as they are written there: the
# shell block after the marker "<!-- install-test: NAME -->", with a fresh
# HOME, in the directory the README assumes.
#
#   tools/readme_install.sh source [HOME]   from the checkout
#   tools/readme_install.sh wheel [HOME]    from dist/, where make wheels puts the wheels
#
# HOME, if given, is emptied first and kept afterwards (to look at what was
# installed); otherwise a temporary one is used and removed.
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:-}
case "$name" in
    source) dir=. ;;
    wheel) dir=dist ;;
    *) echo "usage: $0 source|wheel" >&2; exit 2 ;;
esac
lines=$(awk -v marker="<!-- install-test: $name -->" '
    $0 == marker { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    found && inside { print }
' README.md)
[ -n "$lines" ] || { echo "README.md has no install lines marked $name" >&2; exit 1; }

if [ -n "${2:-}" ]; then
    rm -rf --one-file-system "$2"
    mkdir -p "$2"
    home=$(cd "$2" && pwd)
else
    home=$(mktemp -d /tmp/brimlet-readme.XXXXXX)
    trap 'rm -rf --one-file-system "$home"' EXIT
fi
echo "== README.md, install $name, run in $dir with HOME=$home:"
printf '%s\n' "$lines"
(cd "$dir" && HOME=$home bash -euo pipefail -c "$lines")
