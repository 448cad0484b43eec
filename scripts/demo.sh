#!/usr/bin/env bash
# Builds the launcher with its embedded demo installer and runs it with a
# fresh temporary directory, then shows what it left there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-demo -G Ninja -DLAUNCHER_TESTS=OFF >/dev/null
ninja -C build-demo launcher >/dev/null
tmp=$(mktemp -d /tmp/launcher-demo-XXXXXX)
echo "== running build-demo/launcher with TMPDIR=$tmp"
rc=0
TMPDIR=$tmp ./build-demo/launcher || rc=$?
echo "== exit code $rc"
for i in $(seq 1 50); do [ -f "$tmp/Setup.ran" ] && break; sleep 0.1; done
echo "== the temporary directory now holds:"
(cd "$tmp" && find . -mindepth 1 | sort | sed 's/^/  /')
echo "== Setup.exe's report (Setup.ran):"
sed 's/^/  /' "$tmp/Setup.ran"
