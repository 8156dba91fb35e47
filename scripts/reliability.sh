#!/usr/bin/env bash
# The long reliability runs (the fast samples of the same checks run in the normal
# tests). Each step prints its figures; logs go to build/reliability-logs/.
#
#   bash scripts/reliability.sh [step ...]
#
# Steps (default: all, in this order):
#   deps       apt: clang-14, libclang-rt-14-dev, strace, libgtest-dev; pip: pytest numpy hypothesis
#   module     build the extension into build/rel-module (used by the Python steps)
#   logsweep   every byte cut and every single-bit flip of three real logs
#   kills      1000 SIGKILLs of a multi-threaded writer (KILLS=1000)
#   iosweep    every injected ENOSPC/EIO of write/openat/rename/unlink/fsync (strace)
#   fuzz       libFuzzer + ASan + UBSan on the four loaders at once (FUZZ_SECONDS=600 each)
#   asan       the extension built with ASan+UBSan, whole pytest suite, LD_PRELOAD libasan
#   tsan       the C++ stress driver under ThreadSanitizer (TSAN_RUNS=10 x TSAN_SECONDS=60)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
LOGS=$ROOT/build/reliability-logs
mkdir -p "$LOGS"
JOBS=${JOBS:-2}
SIMSIMD_ARG=()
[ -n "${SIMSIMD_SOURCE_DIR:-}" ] && SIMSIMD_ARG=(-DSIMSIMD_SOURCE_DIR="$SIMSIMD_SOURCE_DIR")
STATUS=0

note() { printf '\n== %s\n' "$*"; }
fail() { echo "FAILED: $*"; STATUS=1; }

step_deps() {
  note "dependencies"
  local missing=()
  command -v clang++-14 >/dev/null || missing+=(clang-14)
  [ -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ] ||
    ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 ||
    missing+=(libclang-rt-14-dev)
  command -v strace >/dev/null || missing+=(strace)
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
  python3 -c "import pytest, numpy, hypothesis" 2>/dev/null ||
    python3 -m pip install --quiet --disable-pip-version-check pytest numpy hypothesis
}

step_module() {
  note "extension module (build/rel-module)"
  cmake -S . -B build/rel-module -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDRALM_BUILD_EXTENSION=ON -DDRALM_BUILD_TESTS=OFF "${SIMSIMD_ARG[@]}" >/dev/null &&
    ninja -C build/rel-module -j "$JOBS" _dralm >/dev/null || fail "module build"
  export PYTHONPATH=$ROOT/build/rel-module${PYTHONPATH:+:$PYTHONPATH}
}

step_logsweep() {
  note "log sweep: every cut and every bit flip"
  python3 tests/reliability/logsweep.py --full --seed 1 | tee "$LOGS/logsweep.json" ||
    fail "log sweep"
  python3 - "$LOGS/logsweep.json" <<'EOF' || fail "log sweep found faults"
import json, sys
r = json.load(open(sys.argv[1]))
bad = 0
for kind, e in r.items():
    if not isinstance(e, dict):
        continue
    total = e["cuts"] + e["flips"]
    ok = total - e["faults"] - e["crashes"]
    print(f"{kind}: {e['log_bytes']} bytes, {e['frames']} frames, {e['cuts']} cuts, "
          f"{e['flips']} flips: {100.0 * ok / total:.3f}% exact prefix, "
          f"{e['faults']} faults, {e['crashes']} crashes")
    bad += e["faults"] + e["crashes"]
sys.exit(1 if bad else 0)
EOF
}

step_kills() {
  note "kill loop: ${KILLS:-1000} kills"
  python3 tests/reliability/killloop.py --kills "${KILLS:-1000}" --seed "${SEED:-1}" \
    --keep "$LOGS/killloop" | tee "$LOGS/killloop.json" || fail "kill loop"
}

step_iosweep() {
  note "injected I/O errors"
  python3 tests/reliability/iosweep.py | tee "$LOGS/iosweep.json" || fail "io sweep"
}

step_fuzz() {
  local seconds=${FUZZ_SECONDS:-600}
  note "fuzzing: ${seconds}s per loader, the four loaders side by side"
  # The main project with the fuzz option: the harnesses, and the engine under ASan+UBSan.
  CC=clang-14 CXX=clang++-14 cmake -S . -B build/rel-fuzz -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRALM_BUILD_FUZZ=ON -DDRALM_BUILD_EXTENSION=OFF \
    "${SIMSIMD_ARG[@]}" >/dev/null && ninja -C build/rel-fuzz -j "$JOBS" dralm_fuzzers >/dev/null ||
    { fail "fuzz build"; return; }
  python3 fuzz/make_seeds.py build/fuzz-corpus >/dev/null || { fail "seed corpus"; return; }
  local loader
  for loader in graph vectors sq8 wal; do
    local corpus=build/fuzz-corpus/$loader artifacts=build/fuzz-artifacts/$loader/
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/regressions/$loader/* "$corpus"/ 2>/dev/null
    # fork mode keeps going after a crash so one run reports every distinct finding
    DRALM_FUZZ_SEED_DIR=$corpus ./build/rel-fuzz/fuzz/${loader}_fuzz "$corpus" \
      -fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1 \
      -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -max_len=65536 \
      -artifact_prefix="$artifacts" >"$LOGS/fuzz-$loader.log" 2>&1 &
  done
  wait
  for loader in graph vectors sq8 wal; do
    local corpus=build/fuzz-corpus/$loader artifacts=build/fuzz-artifacts/$loader/ found
    # slow units are reported, not counted: on a busy machine a normal input can be slow
    found=$(find "$artifacts" -type f ! -name 'slow-unit-*' | wc -l)
    echo "$loader: ${seconds}s, $(grep -c . <(ls "$corpus")) corpus files, $found crashing inputs" \
      "($(grep -Eo '#[0-9]+' "$LOGS/fuzz-$loader.log" | tail -1) execs)"
    [ "$found" -eq 0 ] ||
      fail "$loader fuzzer: inputs in $artifacts (copy them to fuzz/regressions/$loader/)"
  done
}

step_asan() {
  note "ASan+UBSan extension, whole pytest suite"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRALM_SANITIZE=address,undefined \
    -DDRALM_BUILD_EXTENSION=ON -DDRALM_BUILD_TESTS=ON "${SIMSIMD_ARG[@]}" >/dev/null &&
    ninja -C build/asan -j "$JOBS" >/dev/null || { fail "asan build"; return; }
  (cd build/asan && ctest -j "$JOBS" --output-on-failure >"$LOGS/asan-ctest.log" 2>&1) ||
    fail "C++ tests under ASan (see $LOGS/asan-ctest.log)"
  local libasan
  libasan=$(g++ -print-file-name=libasan.so)
  # Python's own allocations are not ours to judge: leaks off; any UB report aborts.
  PYTHONPATH=$ROOT/build/asan LD_PRELOAD=$libasan \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$LOGS/asan-report \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$LOGS/ubsan-report \
    python3 -m pytest -q -p no:cacheprovider tests >"$LOGS/asan-pytest.log" 2>&1 ||
    fail "pytest under ASan (see $LOGS/asan-pytest.log)"
  tail -3 "$LOGS/asan-pytest.log"
  # A report counts when a frame lies in our code; one wholly inside another library
  # (Ray's workers report a use-after-free in their own setproctitle) is listed only.
  local reports=0 report
  for report in "$LOGS"/asan-report* "$LOGS"/ubsan-report*; do
    [ -e "$report" ] || continue
    if grep -qE '_dralm|dralm::' "$report"; then
      reports=$((reports + 1))
    else
      echo "not in dralm: $report: $(grep -m1 -E '^ +#[0-9]+ ' "$report" | sed 's/^ *//')"
    fi
  done
  echo "sanitizer reports with a dralm frame: $reports"
  [ "$reports" -eq 0 ] || fail "sanitizer reports in $LOGS"
}

step_tsan() {
  local runs=${TSAN_RUNS:-10} seconds=${TSAN_SECONDS:-60}
  note "ThreadSanitizer stress driver: $runs runs of ${seconds}s"
  # The main project with the stress option: the driver, and the engine under TSan.
  CC=clang-14 CXX=clang++-14 cmake -S . -B build/rel-tsan -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRALM_BUILD_STRESS=ON -DDRALM_BUILD_EXTENSION=OFF \
    "${SIMSIMD_ARG[@]}" >/dev/null && ninja -C build/rel-tsan -j "$JOBS" tsan_driver >/dev/null ||
    { fail "tsan build"; return; }
  local bad=0
  for run in $(seq 1 "$runs"); do
    TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1" \
      ./build/rel-tsan/stress/tsan_driver "/dev/shm/dralm-tsan-$$" "$seconds" "$run" \
      >"$LOGS/tsan-$run.log" 2>&1
    local rc=$? warnings
    warnings=$(grep -c 'WARNING: ThreadSanitizer' "$LOGS/tsan-$run.log")
    echo "run $run: exit $rc, $warnings TSan reports, $(tail -1 "$LOGS/tsan-$run.log")"
    [ "$rc" -eq 0 ] && [ "$warnings" -eq 0 ] || bad=$((bad + 1))
  done
  rm -rf "/dev/shm/dralm-tsan-$$"
  [ "$bad" -eq 0 ] || fail "$bad TSan runs reported"
}

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(deps module logsweep kills iosweep fuzz asan tsan)
built=0
for s in "${steps[@]}"; do
  case "$s" in
    module) built=1 ;;
    logsweep | kills | iosweep) [ "$built" -eq 1 ] || { step_module; built=1; } ;;
  esac
  "step_$s"
done
exit $STATUS
