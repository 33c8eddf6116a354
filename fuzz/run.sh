#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, in build-fuzz) and runs each for $FUZZ_SECONDS
# on a scratch copy of its seed corpus. Exits non-zero if any target crashed, naming the
# reproducer. Usage: fuzz/run.sh [--build-only] [target...]   (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${JOBS:-$(nproc)}"

# Each target with the longest input worth trying: a control byte and a packet a little past the
# largest message (so oversized packets are tried too); the largest first message either end
# reads, with room for a hello of another size; the fixed registration record.
declare -A max_len=(
    [message_decoder]=1100
    [hello_exchange]=192
    [buffer_registration]=34
)
all_targets=(message_decoder hello_exchange buffer_registration)
build_only=false
if [[ "${1:-}" == --build-only ]]; then
    build_only=true
    shift
fi
targets=("$@")
[[ $# -gt 0 ]] || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
    if [[ -z "${max_len[$target]:-}" ]]; then
        echo "unknown fuzz target: $target (known: ${all_targets[*]})" >&2
        exit 2
    fi
done

if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER=clang++ -DKOVA_SANITIZE=address -DKOVA_FUZZ=ON -DKOVA_WERROR=ON
fi
cmake --build "$build" -j "$jobs" --target kova_fuzzers
$build_only && exit 0

# Sanitizer reports are crashes; leaks too.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/fuzz-artifacts"
failed=()

for target in "${targets[@]}"; do
    corpus="$scratch/$target"
    mkdir -p "$corpus" "$artifacts/$target"
    cp fuzz/corpus/"$target"/* "$corpus"/
    log="$artifacts/$target/last-run.log"
    echo "fuzzing $target for ${seconds} s (log: $log)"
    status=0
    "$build/bin/fuzz_$target" "$corpus" \
        -max_len="${max_len[$target]}" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$target/" >"$log" 2>&1 || status=$?

    # The last status line: "#runs DONE cov: N ft: N corp: N/Nb ... exec/s: N ...".
    summary="$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)"
    [[ -z "$summary" ]] || echo "  $summary"
    if [[ $status -ne 0 ]]; then
        failed+=("$target")
        reproducer="$(grep -oE 'Test unit written to [^ ]+' "$log" | tail -n 1 | cut -d' ' -f5 || true)"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|[a-z_]+: )' "$log" | head -n 5 | sed 's/^/  /' || true
        echo "  $target CRASHED (exit $status); reproducer: ${reproducer:-see $log}"
        echo "  replay it: $build/bin/fuzz_$target ${reproducer:-<reproducer>}"
        echo "  then keep it as a regression: fuzz/regressions/$target/<what it catches>"
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzzing found crashes in: ${failed[*]}" >&2
    exit 1
fi
echo "fuzzing: no crash in ${targets[*]} (${seconds} s each)"
