#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with. Idempotent: packages that
# are already present are left alone, and the package lists are refreshed only when something
# is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libplist-dev libssl-dev libasio-dev libcli11-dev nlohmann-json3-dev uuid-dev libexpected-dev
  libicu-dev libcairo2-dev fontconfig fonts-dejavu-core libsystemd-dev libp11-kit-dev
  python3 python3-cryptography openssl opensc p11-kit gnutls-bin
  clang clang-format libclang-rt-14-dev
  zsh fish
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
