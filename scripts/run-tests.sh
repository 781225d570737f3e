#!/bin/bash
# The whole test suite, run as root from the source tree:
#   1. installs the test dependencies;
#   2. release build: every unit and service-level test;
#   3. AddressSanitizer + UndefinedBehaviorSanitizer build: every test again;
#   4. ThreadSanitizer build: the tests that run threads (timer, servers,
#      socket layer, SMTP client, the service under concurrent requests);
#   5. a short run of every fuzz target (clang, libFuzzer).
# Any failure stops the run with a non-zero status.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-test-deps.sh

run_suite() {
  local dir=$1; shift
  local filter=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j2
  ctest --test-dir "$dir" --output-on-failure -j2 ${filter:+-R "$filter"}
}

echo "== release build =="
run_suite build "" -DCMAKE_BUILD_TYPE=Release

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
bash fuzz/run.sh 20 "$root/build-fuzz"
