#!/usr/bin/env bash
# Sets everything up, then builds and runs every test twice: once in the
# ordinary build and once built with AddressSanitizer and
# UndefinedBehaviorSanitizer. Then the Debian package is built and tried in a
# clean Debian 12 root, the engines-on-many-threads tests run under
# ThreadSanitizer, every fuzz target a fixed number of runs, and the Windows
# build (cross-compiled) is checked under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
# The playback tests start a PulseAudio server of their own; here, where
# setup.sh has installed it, one that cannot start is a failure, not a skip.
export SONVALE_REQUIRE_SOUND_SERVER=1

bash scripts/setup.sh
# setup.sh installed Xvfb, xdotool and speech-dispatcher: a test that would
# skip for want of them fails instead.
export SONVALE_REQUIRE_X=1 SONVALE_REQUIRE_SPEECHD=1
echo "== tests"
ctest --test-dir build --output-on-failure -j "$(nproc)"

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
SONVALE_BUILD_DIR=build-sanitize SONVALE_VOICE=0 bash scripts/setup.sh -DSONVALE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$(nproc)"

echo "== the Debian package, installed into a clean Debian 12 root"
bash scripts/test_debian_package.sh

echo "== many engines on many threads under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DSONVALE_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-tsan robustness_test >/dev/null
SONVALE_CONCURRENCY_SECONDS=30 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  build-tsan/tests/robustness_test --gtest_filter='ConcurrencyTest.*'

echo "== fuzzing"
bash fuzz/run.sh

echo "== Windows: Sonvale.dll under Wine"
bash scripts/build_windows.sh
bash scripts/test_windows.sh
bash scripts/test_windows_ui.sh
bash scripts/test_windows_sapi.sh
bash scripts/test_windows_setup.sh
