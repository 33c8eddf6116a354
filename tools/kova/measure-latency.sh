#!/usr/bin/env bash
# Push -> view latency of a running kova-camera: `kova push --fps 60` while `kova view --json`
# records; prints the median and 99th percentile of receivedNs - hostTimeNs over relayed frames.
# Usage: tools/kova/measure-latency.sh [BUILD_DIR] [FRAMES] [FPS]
set -euo pipefail

build=${1:-build}
frames=${2:-1200}
fps=${3:-60}
kova="$build/bin/kova"
camera="$build/bin/kova-camera"

work=$(mktemp -d)
camera_pid=""
view_pid=""
cleanup() {
    [ -n "$view_pid" ] && kill "$view_pid" 2>/dev/null || true
    [ -n "$camera_pid" ] && kill "$camera_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A private camera, so that nothing else pushes or views while measuring.
export KOVA_SOCKET="$work/camera.sock"
"$camera" 2>"$work/camera.log" &
camera_pid=$!
for _ in $(seq 100); do
    "$kova" info >/dev/null 2>&1 && break
    sleep 0.05
done

"$kova" view --json >"$work/view.jsonl" &
view_pid=$!
until [ -s "$work/view.jsonl" ]; do sleep 0.05; done

"$kova" push --fps "$fps" --count "$frames" --pattern counter
sleep 0.2
kill -INT "$view_pid"
wait "$view_pid" || true
view_pid=""

grep '"origin":"sink"' "$work/view.jsonl" |
    sed 's/.*"hostTimeNs":\([0-9]*\),"receivedNs":\([0-9]*\),.*"missed":\([0-9]*\)}/\1 \2 \3/' |
    awk '{ print ($2 - $1) / 1000.0, $3 }' | sort -n |
    awk -v fps="$fps" '
        { latency[NR] = $1; missed += $2 }
        END {
            if (NR == 0) { print "no relayed frame reached the viewer"; exit 1 }
            median = latency[int((NR + 1) / 2)]
            p99 = latency[int(NR * 0.99 + 0.999)]
            printf "push -> view at %s fps: %d frames, median %.0f us, p99 %.0f us, max %.0f us, missed %d\n",
                   fps, NR, median, p99, latency[NR], missed
        }'
