#!/usr/bin/env bash
# Runs a command as an unprivileged user when called as root: as root, a
# terminal's exclusive mode and file permissions are bypassed, so the tests
# could never see the failures they check. HOME and caches go to /tmp.
set -euo pipefail
home=/tmp/brimlet-home
if [ "$(id -u)" = 0 ]; then
    mkdir -p "$home" && chown 65534:65534 "$home"
    exec setpriv --reuid=65534 --regid=65534 --clear-groups \
        env HOME="$home" XDG_CACHE_HOME="$home/.cache" MPLCONFIGDIR="$home/.mpl" "$@"
fi
exec "$@"
