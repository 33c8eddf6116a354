#!/bin/sh
# Every program given as an argument answers --help and --version with status 0, and refuses an
# unknown option with status 2 and a usage line on stderr.
# Usage: command_line_test.sh PROGRAM [SUBCOMMAND...] -- PROGRAM ... (one group per command).
failures=0
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

check() {
    expected=$1
    shift
    "$@" >"$scratch/out" 2>"$scratch/err"
    status=$?
    if [ "$status" -ne "$expected" ]; then
        echo "FAIL: $* exited $status, not $expected"; cat "$scratch/err"
        failures=$((failures + 1))
    fi
}

command=""
for word in "$@" --; do
    if [ "$word" != "--" ]; then
        command="$command $word"
        continue
    fi
    [ -n "$command" ] || continue
    # shellcheck disable=SC2086 # the command's words are split on purpose
    set -- $command
    check 0 "$@" --help
    grep -q "^Usage: " "$scratch/out" || { echo "FAIL: $* --help shows no usage"; failures=$((failures + 1)); }
    if [ $# -eq 1 ]; then
        check 0 "$1" --version
        grep -q "^$(basename "$1") [0-9]" "$scratch/out" || { echo "FAIL: $1 --version: $(cat "$scratch/out")"; failures=$((failures + 1)); }
    fi
    check 2 "$@" --no-such-option
    grep -q "^Usage: " "$scratch/err" || { echo "FAIL: $* refused with no usage line"; failures=$((failures + 1)); }
    command=""
done
[ "$failures" -eq 0 ] && echo "every command answered as it should"
exit "$((failures != 0))"
