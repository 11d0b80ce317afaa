#!/usr/bin/env bash
# Installs the wheel built for PYTHON into a fresh virtual environment the way a user without
# a compiler would (no index, binaries only: the dependencies come from a wheelhouse
# downloaded beforehand) and runs the Python tests against it, with no compiler reachable
# and neither the sources nor a build directory on the path.
# usage: tools/check_wheel.sh WHEELHOUSE PYTHON [PYTEST ARGS...]
set -euo pipefail
wheelhouse=$1 py=$2; shift 2
tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$wheelhouse"/quorvel-*-"$tag"-"$tag"-manylinux*.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "no wheel for $tag in $wheelhouse: run make wheel first"; exit 1; }
venv=build/wheel-check/$tag deps=build/wheel-deps/$tag
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python
# What the wheel needs and what its tests need, fetched once while the index is allowed.
extras=test,demo
if [ ! -f "$deps/.ready" ] || [ pyproject.toml -nt "$deps/.ready" ]; then
  rm -rf "$deps"
  "$vpy" -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; o = p["optional-dependencies"]
print("\n".join(p["dependencies"] + [r for e in "'$extras'".split(",") for r in o[e]]))' > "$venv/requirements.txt"
  "$vpy" -m pip download -q --only-binary=:all: -d "$deps" -r "$venv/requirements.txt" 2>&1 | grep -v 'is ignored' || true
  touch "$deps/.ready"
fi
echo "== installing $(basename "$wheel") into $venv with --no-index --only-binary=:all:"
PIP_CONFIG_FILE=/dev/null "$vpy" -m pip install -q --no-index --only-binary=:all: \
  --find-links "$wheelhouse" --find-links "$deps" "quorvel[$extras]==$("$vpy" -c 'import sys; print(sys.argv[1].split("-")[1])' "$(basename "$wheel")")"
echo "== Python tests against the installed wheel ($tag)"
env -u PYTHONPATH CC=false CXX=false QUORVEL_TEST_INSTALLED=1 \
  "$vpy" -m pytest -q -p no:cacheprovider tests/python "$@"
