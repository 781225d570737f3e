#!/bin/bash
# Installs what the test suite needs on Debian (run as root): the build
# dependencies, the real peers the tests talk to (curl, an SMTP server, a
# browser) and the benchmark peers.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
"$here/install-build-deps.sh"
packages=(clang-format clang-tidy curl python3 python3-aiosmtpd python3-selenium chromium chromium-driver fonts-ipafont-gothic clang wrk nginx-light iproute2 lintian strace openssl postfix prometheus)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  # Postfix is a test peer only: local delivery, no questions asked. The
  # mail test runs its own instance with a private configuration.
  printf '%s\n' 'postfix postfix/main_mailer_type select Local only' \
    'postfix postfix/mailname string scanlantern.test' | debconf-set-selections
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
# The system's own Postfix must not hold 127.0.0.1:25, where the tests run
# their mail servers.
if command -v postfix >/dev/null && postfix status >/dev/null 2>&1; then
  postfix stop >/dev/null 2>&1 || true
fi
