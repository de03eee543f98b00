#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, calling apt-get only
# when at least one of them is missing. Used by test.sh and run.sh.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
  libsqlite3-dev libmariadb-dev mariadb-server libboost-dev libssl-dev uuid-dev
  nlohmann-json3-dev libsimpleini-dev libturbojpeg0-dev libstb-dev libzip-dev
  libgtest-dev libgmock-dev imagemagick
)

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "ensure-packages: installing ${missing[*]}" >&2
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  SUDO=(sudo)
fi
"${SUDO[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
