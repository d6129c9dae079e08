#!/usr/bin/env bash
# Runs every check from a fresh clone, installing what it needs on the way: formatting, the C++
# core's tests, the wheel built and audited for the stable ABI, the module installed into .venv
# and tested with pytest, the same wheel tested under every other interpreter from 3.9 on that
# the machine has, both suites again under AddressSanitizer and UndefinedBehaviorSanitizer, and
# each fuzz target for FUZZ_SECONDS (60 by default; 0 skips fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}

. scripts/common.sh

# System packages: a compiler, GoogleTest for the core's tests, the Unicode Character
# Database that the escape table of observation kinds is checked against, and a browser for
# the host's status page.
need_packages g++ libgtest-dev unicode-data chromium

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

step "building the wheel and auditing its stable ABI"
rm -rf build/dist
"$py" -m pip wheel -q --disable-pip-version-check --no-deps -w build/dist . \
  --config-settings=build-dir=build/wheel --config-settings=cmake.define.MARLIX_WERROR=ON
wheels=(build/dist/marlix-*-cp39-abi3-*.whl)
if [ ! -f "${wheels[0]}" ]; then
  echo "no cp39-abi3 wheel was built: $(ls build/dist)" >&2
  exit 1
fi
abi3audit --strict --report "${wheels[0]}"
"$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "${wheels[0]}"
# The module exports its init function and nothing else.
so=$("$py" -c 'import _marlix; print(_marlix.__file__)')
exports=$(nm -D --defined-only "$so" | awk '{print $3}')
if [ "$exports" != "PyInit__marlix" ]; then
  printf 'unexpected exports in %s:\n%s\n' "$so" "$exports" >&2
  exit 1
fi
echo "$(basename "${wheels[0]}"): stable ABI only; $(basename "$so") exports $exports"
# The release library is hardened: full RELRO (a read-only GNU_RELRO segment, with every symbol
# bound at load time), stack protection (functions with buffers call __stack_chk_fail when their
# canary is overwritten), and _FORTIFY_SOURCE, under which glibc's printf family is only ever
# reached through its checked entry points.
hardening=()
segments=$(readelf -lW "$so")
dynamic=$(readelf -dW "$so")
imports=$(nm -D --undefined-only "$so" | awk '{print $2}' | sed 's/@.*//')
grep -q '^ *GNU_RELRO ' <<<"$segments" || hardening+=("no GNU_RELRO segment")
grep -Eq '\(BIND_NOW\)|\(FLAGS\) .*\bBIND_NOW\b|\(FLAGS_1\) .*\bNOW\b' <<<"$dynamic" ||
  hardening+=("no BIND_NOW: relocations are resolved lazily, so RELRO is partial")
grep -qx '__stack_chk_fail' <<<"$imports" || hardening+=("no __stack_chk_fail: no stack protection")
unchecked=$(grep -Ex '(v?f?|v?d)printf' <<<"$imports" | tr '\n' ' ' || true)
[ -z "$unchecked" ] || hardening+=("unchecked ${unchecked% }: built without _FORTIFY_SOURCE")
if [ ${#hardening[@]} -gt 0 ]; then
  printf '%s is not hardened:\n' "$so" >&2
  printf '  %s\n' "${hardening[@]}" >&2
  exit 1
fi
checked=$(grep -E '^__.*_chk$' <<<"$imports" | grep -vx '__stack_chk_fail' | tr '\n' ' ' || true)
checked=${checked% }
echo "$(basename "$so"): full RELRO, stack protector, checked calls: ${checked:-none}"

# LiteLLM, whose Router the tests put in front of two hosts, and kubernetes-validate, which
# carries the Kubernetes schemas: in a venv of their own, so that their dependencies never pin
# the project's. A venv already there is reused; pip then only checks the pins.
step "LiteLLM and kubernetes-validate (build/litellm-venv)"
routers=$root/build/litellm-venv
[ -x "$routers/bin/python" ] || python3 -m venv "$routers"
"$routers/bin/python" -m pip install -q --disable-pip-version-check -r tests/requirements-routers.txt

step "checking examples/kubernetes.yaml"
"$routers/bin/kubernetes-validate" --strict examples/kubernetes.yaml

step "Python tests"
(cd "$root/tests/python" && MARLIX_LITELLM_PYTHON=$routers/bin/python "$py" -m pytest -q)

step "type checking the marlix package"
"$py" -m mypy --strict --no-incremental python/marlix

# The wheel claims every interpreter from 3.9 on: each other one found here runs the suite too.
bash scripts/other_interpreters.sh "${wheels[0]}" "$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"

bash scripts/sanitize.sh

if [ "$fuzz_seconds" -gt 0 ]; then
  bash scripts/fuzz.sh "$fuzz_seconds"
fi
