#!/bin/bash
# Installs what the test suite needs on Debian (run as root): the build
# dependencies, the real peers the tests talk to (curl, an SMTP server, a
# browser) and the benchmark peers.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/install-build-deps.sh"
packages=(curl python3 python3-aiosmtpd python3-selenium chromium chromium-driver fonts-ipafont-gothic clang wrk nginx-light iproute2 lintian strace)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
