#!/usr/bin/env bash
# Installs the npm packages of the Foxglove client that tests `brimlet serve`
# (tests/node, versions pinned by its package-lock.json) with the machine's
# npm. Run on the host by `make test`: the tool root has node but not npm.
# Without npm the test that needs them is skipped, and says why.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if ! command -v npm >/dev/null; then
    echo "node packages: npm is not installed; the Foxglove client test will be skipped" >&2
    exit 0
fi
npm ci --prefix "$here/tests/node" --no-audit --no-fund --loglevel=error >&2
