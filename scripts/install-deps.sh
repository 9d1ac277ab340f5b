#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are left as they are.
set -euo pipefail
PKGS=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-base-dev-tools libgl-dev
      libgtest-dev libgmock-dev binutils xvfb xauth x11-apps fonts-wqy-microhei python3 time)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
