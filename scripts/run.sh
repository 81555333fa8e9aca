#!/usr/bin/env bash
# Runs Ostrel Chat. The window program is not built yet: for now this builds what exists and
# says so.
set -euo pipefail
ostrel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ostrel_root"
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "The chat window does not exist yet: so far Ostrel Chat is its packet and protocol library."
echo "Run the tests with: bash scripts/test.sh"
