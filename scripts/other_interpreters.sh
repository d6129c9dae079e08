#!/usr/bin/env bash
# The one stable-ABI wheel, installed and put through the Python suite under every other
# interpreter from 3.9 on that this machine has: python3.X on the PATH, or a version pyenv
# installed. Each gets its own venv in build/interpreters/. A machine with none says so.
#
#   scripts/other_interpreters.sh WHEEL [SKIP_VERSION]     SKIP_VERSION: e.g. 3.11, tested already
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(realpath "$1")
skip=${2:-}

. scripts/common.sh

pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
found=0
for minor in 9 10 11 12 13 14; do
  version=3.$minor
  [ "$version" != "$skip" ] || continue
  python=$(command -v "python$version" 2>/dev/null || true)
  # A pyenv shim answers for a version it cannot run; the interpreter itself is certain.
  if [ -z "$python" ] || ! "$python" -c '' 2>/dev/null; then
    python=$(ls -d "$pyenv_root"/versions/"$version".*/bin/python"$version" 2>/dev/null |
      sort -V | tail -n 1 || true)
  fi
  [ -n "$python" ] && "$python" -c '' 2>/dev/null || continue
  found=$((found + 1))
  step "Python tests under $("$python" -c 'import sys; print(sys.version.split()[0])')"
  venv=$root/build/interpreters/$version
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check \
    -r tests/requirements-python.txt
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
    "$wheel"
  # The page is the same document whatever serves it: it is shown in the browser once, under
  # the main interpreter, which keeps the whole run within its time.
  (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not browser")
done
[ "$found" -gt 0 ] || echo "no other interpreter from 3.9 on was found"
