#!/usr/bin/env bash
# Builds and runs the whole test suite: native debug (AddressSanitizer + UBSan), the
# fiber tests over the portable ucontext switch, the Win32 build under Wine, native
# ThreadSanitizer, the optimised build with a smoke run of every benchmark program, and a
# bounded run of every fuzzer. Installs missing packages first.
# Usage: scripts/test-all.sh [fuzz seconds per target, default 60]
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds="${1:-60}"
jobs="$(nproc)"
scripts/install-deps.sh native windows fuzz || exit 1

total_passed=0
total_failed=0
failed_stages=()

# Runs ctest for a preset and adds its counts to the totals.
run_ctest() {
    local preset="$1"
    local log
    log="$(mktemp)"
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
    local status="${PIPESTATUS[0]}"
    local line
    line="$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
    rm -f "$log"
    if [[ -n "$line" ]]; then
        local failed all
        failed="$(sed -E 's/.*passed, ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")"
        all="$(sed -E 's/.*passed, ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")"
        total_passed=$((total_passed + all - failed))
        total_failed=$((total_failed + failed))
    fi
    [[ "$status" -eq 0 ]] || failed_stages+=("ctest $preset")
}

# Configures and builds a preset; a failed build counts as one failure.
build() {
    local preset="$1"
    echo "=== configure and build: $preset"
    if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
        failed_stages+=("build $preset")
        total_failed=$((total_failed + 1))
        return 1
    fi
}

if build debug; then run_ctest debug; fi

# The portable fiber switch of other architectures, tested on this one: its presets
# build and run only the fiber tests (system-platform-fiber-test).
if build generic-fibers; then run_ctest generic-fibers; fi

if build windows; then
    # shellcheck source=wine-env.sh
    source scripts/wine-env.sh
    run_ctest windows
fi

if build tsan; then run_ctest tsan; fi

# Every benchmark program once, each benchmark measured for a moment only: a smoke run
# that the programs start, run and print their ratio tables (a pair naming a benchmark
# that did not run fails the program). No timing is judged. The minimum time is given in
# seconds, which every Google Benchmark version reads (an iteration count such as "1x"
# needs 1.8 or later).
if build release; then
    bench_start="$SECONDS"
    bench_count=0
    for bench in build/release/bench/*-bench; do
        [[ -x "$bench" ]] || continue
        bench_count=$((bench_count + 1))
        echo "=== benchmark smoke run $(basename "$bench")"
        log="$(mktemp)"
        if "$bench" --benchmark_min_time=0.001 >"$log" 2>&1; then
            total_passed=$((total_passed + 1))
            # The ratio table: everything after the blank line that ends the figures.
            sed 's/\x1b\[[0-9;]*m//g' "$log" | sed -n '/^$/,$p' | tail -n +2
        else
            total_failed=$((total_failed + 1))
            failed_stages+=("bench $(basename "$bench")")
            tail -40 "$log"
        fi
        rm -f "$log"
    done
    echo "=== benchmark smoke runs: $bench_count programs in $((SECONDS - bench_start)) s" \
        "(too short for their figures to mean anything)"
fi

if build fuzz; then
    for fuzzer in build/fuzz/fuzz/*-fuzz; do
        [[ -x "$fuzzer" ]] || continue
        echo "=== fuzz $(basename "$fuzzer") for ${fuzz_seconds}s"
        corpus="$(mktemp -d)"
        if "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" >"$corpus.log" 2>&1; then
            total_passed=$((total_passed + 1))
            tail -3 "$corpus.log"
        else
            total_failed=$((total_failed + 1))
            failed_stages+=("fuzz $(basename "$fuzzer")")
            tail -40 "$corpus.log"
        fi
        rm -rf "$corpus" "$corpus.log"
    done
fi

echo
if ((${#failed_stages[@]})); then
    echo "Failed stages: ${failed_stages[*]}"
fi
echo "Summary: $total_passed passed, $total_failed failed"
((${#failed_stages[@]} == 0))
