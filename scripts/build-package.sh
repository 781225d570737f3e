#!/bin/bash
# Builds the Debian package (run as root on Debian or Ubuntu, from anywhere):
# installs the build dependencies, builds a release in build-package/ and
# leaves scanlantern_<version>_<arch>.deb in the source directory, ready for
#   apt install ./scanlantern_*.deb
# Extra arguments go to the CMake configuration, e.g.
# -DSL_PACKAGE_VERSION=1.2.0.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-build-deps.sh
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DSL_TESTS=OFF "$@" >/dev/null
cmake --build build-package -j"$(nproc)"
rm -f build-package/scanlantern_*.deb
(cd build-package && cpack -G DEB >/dev/null)
cp build-package/scanlantern_*.deb .
ls "$root"/scanlantern_*.deb
