#!/usr/bin/env bash
# Installs the pinned Python 2.7 packages into the project-local directory.
# Idempotent: a stamp holding the requirements' checksum makes a second run a no-op.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=$("$root/tools/python27")
target="$root/.deps/py27"
req="$root/requirements-py27.txt"
stamp="$target/.installed"
patches=("$root"/tools/patches/*.patch)
want=$(cat "$req" "${patches[@]}" | sha1sum | cut -d' ' -f1)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  exit 0
fi
echo "installing Python 2.7 packages into $target"
rm -rf "$target"
mkdir -p "$target"
PIP_DISABLE_PIP_VERSION_CHECK=1 "$py" -m pip install --quiet --no-warn-script-location \
  --target "$target" -r "$req"
# Fixes to dependencies that proved unfit as released; each patch says why.
for p in "${patches[@]}"; do
  patch --quiet --forward -p0 -d "$target" < "$p"
done
echo "$want" > "$stamp"
