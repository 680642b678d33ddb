#!/usr/bin/env bash
# Prepares a fresh machine for the demo, the tests or the benchmarks:
# Debian packages, a virtual environment with Python 3.13 (the newest python3
# where 3.13 is absent), the Python dependencies and the project itself.
# Usage: scripts/setup.sh [extra requirements file ...]
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${ZARNEL_VENV:-.venv}
# The transfer engine builds on libcurl, OpenSSL, expat, zlib and ISA-L.
DEBIAN_PACKAGES=(openssh-client openssh-server libcurl4-openssl-dev libssl-dev libexpat1-dev
                 zlib1g-dev libisal-dev)
# The linters are needed only by `make lint` and `make format`.
[ "${ZARNEL_LINT:-}" = 1 ] && DEBIAN_PACKAGES+=(clang-format clang-tidy)

install_debian_packages() {
  local missing=()
  for pkg in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return
  if ! command -v apt-get >/dev/null; then
    echo "setup: missing Debian packages: ${missing[*]} (no apt-get here)" >&2
    return
  fi
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

works() { "$1" -c 'import sys, venv, sysconfig; assert sys.version_info >= (3, 11)' >/dev/null 2>&1; }

pick_python() {
  local candidates=(/usr/bin/python3.13 python3.13)
  # A pyenv-managed 3.13 where Debian has none.
  candidates+=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13)
  candidates+=(/usr/bin/python3.12 python3.12 /usr/bin/python3.11 python3.11 python3)
  for c in "${candidates[@]}"; do
    if works "$c"; then command -v "$c" || echo "$c"; return; fi
  done
  echo "setup: no Python 3.11 or newer found" >&2
  exit 1
}

install_debian_packages

PYTHON=$(pick_python)
want=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
if [ -x "$VENV/bin/python" ]; then
  have=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)
  [ "$have" = "$want" ] || rm -rf "$VENV"
fi
if [ ! -x "$VENV/bin/python" ]; then
  echo "setup: creating $VENV with $PYTHON (Python $want)"
  "$PYTHON" -m venv "$VENV"
fi
PIP=("$VENV/bin/python" -m pip --disable-pip-version-check -q)

# Dependencies change rarely: install them only when a requirements file did.
stamp="$VENV/.zarnel-deps"
reqs=(requirements/build.txt requirements/test.txt "$@")
digest=$(cat pyproject.toml "${reqs[@]}" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$digest" ]; then
  echo "setup: installing Python dependencies"
  "${PIP[@]}" install --upgrade pip >/dev/null
  for r in "${reqs[@]}"; do "${PIP[@]}" install -r "$r"; done
  echo "$digest" >"$stamp"
fi

# The project itself: an incremental native build in build/.
echo "setup: building zarnel"
settings=()
for define in ${ZARNEL_CMAKE_DEFINES:-}; do
  settings+=("--config-settings=cmake.define.$define")
done
[ -n "${ZARNEL_BUILD_DIR:-}" ] && settings+=("--config-settings=build-dir=$ZARNEL_BUILD_DIR")
"${PIP[@]}" install --no-build-isolation --no-deps "${settings[@]}" .
