#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (as root).
# Packages already present are not fetched again.
set -euo pipefail

packages=(cmake g++ make pkgconf libgtest-dev libgmock-dev python3-numpy python3-pytest
  python3-venv python3-setuptools python3-wheel python3-distributed)
# --bench: benchmark peers; --fuzz: clang and its libFuzzer runtime
# (scripts/fuzz.sh). Both may be given.
for arg in "$@"; do
  case "$arg" in
    --bench) packages+=(libbenchmark-dev libfaiss-dev libopenblas0-pthread python3-matplotlib) ;;
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
