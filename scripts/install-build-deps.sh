#!/bin/bash
# Installs what building ScanLantern needs on Debian (run as root).
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libssl-dev nlohmann-json3-dev libsystemd-dev libonig-dev tree dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
