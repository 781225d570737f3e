#!/bin/bash
# The whole test suite, run as root from the source tree:
#   1. installs the test dependencies, then checks the habits of the tree:
#      every C++ file as clang-format writes it, every include pointing
#      down the layers (scripts/check-layers.sh);
#   2. release build: every unit and service-level test;
#   3. clang build with the thread-safety analysis (built, not run): the
#      locking rules of core/thread_annotations.h hold everywhere; then
#      clang-tidy over every source file with the checks of .clang-tidy;
#   4. AddressSanitizer + UndefinedBehaviorSanitizer build: every test again;
#   5. ThreadSanitizer build: the tests that run threads (timer, servers,
#      socket layer, SMTP client, the service under concurrent requests);
#   6. a short run of every fuzz target (clang, libFuzzer).
# Every build treats warnings as errors. Any failure stops the run with a
# non-zero status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-test-deps.sh

echo "== formatting and layers =="
clang-format --dry-run --Werror $(git ls-files '*.cc' '*.h')
bash scripts/check-layers.sh

run_suite() {
  local dir=$1; shift
  local filter=$1; shift
  cmake -S . -B "$dir" -DSL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2 ${filter:+-R "$filter"}
}

echo "== release build =="
run_suite build "" -DCMAKE_BUILD_TYPE=Release

echo "== clang build: thread-safety analysis =="
# Only compiled, at -O0 so that it stays quick; ccache is used when present.
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
  -DSL_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${launcher[@]}" >/dev/null
cmake --build build-clang -j2

echo "== clang-tidy =="
# Every finding is an error (.clang-tidy: WarningsAsErrors); the headers
# are checked through the files that include them.
run-clang-tidy -p build-clang -quiet -j2 "^$root/(core|net|settings|mail|watch|discovery|web|service)/" \
  > build-clang/clang-tidy.log 2>&1 || { grep -E "(warning|error):" build-clang/clang-tidy.log | sort -u; exit 1; }

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
SL_SANITIZED=1 run_suite build-asan "" -DCMAKE_BUILD_TYPE=Debug -DSL_SANITIZE=ON
unset ASAN_OPTIONS UBSAN_OPTIONS

echo "== ThreadSanitizer build =="
threaded='ThreadedTimer|WatchScan|TCPServer|TCPConnection|UDPServer|Responder|AsyncSocket|MsgQueue|Smtp|Notifier|MailQueue|HttpServer|AdminDispatcher|EventLog|service\.test_(web_admin|watch|mail|load|http_clients|status)'
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 SL_SANITIZED=1 \
  run_suite build-tsan "$threaded" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSL_TSAN=ON

echo "== fuzz targets, 20 seconds each =="
SL_WERROR=ON SL_FUZZ_JOBS=2 bash fuzz/run.sh 20 "$root/build-fuzz"
