#!/usr/bin/env bash
# Runs every check from a fresh clone: formatting, the C++ core's tests, then the module built
# and installed with pip into .venv and tested with pytest. Installs what it needs on the way.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}

step() { printf '\n== %s\n' "$*"; }

# System packages: a compiler and GoogleTest for the core's tests.
need_pkgs=()
for pkg in g++ libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_pkgs+=("$pkg")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  step "installing ${need_pkgs[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need_pkgs[*]} (run as root or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_pkgs[@]}" >/dev/null
fi

step "python environment"
[ -x .venv/bin/python ] || python3 -m venv .venv
py=$root/.venv/bin/python
"$py" -m pip install -q --disable-pip-version-check -r tests/requirements.txt
export PATH=$root/.venv/bin:$PATH

step "formatting"
mapfile -t cxx_files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${cxx_files[@]}"
ruff format --check .
ruff check .

step "C++ core tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARLIX_BUILD_TESTS=ON \
  -DMARLIX_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure -j "$jobs"

step "building and installing the module"
"$py" -m pip install -q --disable-pip-version-check . \
  --config-settings=build-dir=build/wheel --config-settings=cmake.define.MARLIX_WERROR=ON

step "Python tests"
cd "$root/tests/python"
"$py" -m pytest -q
