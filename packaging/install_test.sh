#!/usr/bin/env bash
# Installs a build tree into a staging DESTDIR as `make install` does and checks what a user gets:
# its programs start a camera and push a frame with no LD_LIBRARY_PATH; its install list names
# every file put there; its user units pass `systemd-analyze verify` and stay within their
# sandboxing exposure bounds.
# Usage: install_test.sh BUILD_DIR WITH_MAN_PAGES CAMERA_EXPOSURE_MAX BRIDGE_EXPOSURE_MAX
# (exposure on systemd-analyze's 0-100 scale, shown by it as 0.0-10.0).
set -euo pipefail

build="$1"
with_man="$2"
camera_exposure_max="$3"
bridge_exposure_max="$4"

work="$(mktemp -d)"
camera_pid=""
cleanup() {
    if [[ -n "$camera_pid" ]]; then
        kill "$camera_pid" 2>/dev/null || true
        wait "$camera_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
unset LD_LIBRARY_PATH

fail() {
    echo "install_test: $*" >&2
    exit 1
}

# ---- the staged install: layout, install list, programs running from it ----
stage="$work/stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }
root="$stage/usr"

expected=(
    bin/kova-camera bin/kova bin/kova-pipewire
    lib/libkova-client.so.0 include/kova/kova.h lib/pkgconfig/kova-client.pc
    lib/cmake/KovaClient/KovaClientConfig.cmake share/doc/kova/LICENSE
    lib/systemd/user/kova-camera.socket lib/systemd/user/kova-camera.service
    lib/systemd/user/kova-pipewire.service
)
if [[ "$with_man" == ON ]]; then
    expected+=(share/man/man1/kova-camera.1 share/man/man1/kova.1 share/man/man1/kova-pipewire.1)
fi
for file in "${expected[@]}"; do
    [[ -e "$root/$file" ]] || fail "the install lacks $file"
done

# `make uninstall` removes what the install list names, so it must name everything installed.
# CMake lists the files without DESTDIR.
diff <(find "$stage" ! -type d | sort) <(sed "s|^|$stage|" "$build/install_manifest.txt" | sort) ||
    fail "the install list and the installed files differ (< installed only, > listed only)"

# The units name where the programs are once installed, not the staging folder.
grep -qx "ExecStart=/usr/bin/kova-camera" "$root/lib/systemd/user/kova-camera.service" ||
    fail "kova-camera.service does not start /usr/bin/kova-camera"

for program in kova-camera kova kova-pipewire; do
    if readelf --section-headers "$root/bin/$program" | grep -q '\.debug_'; then
        fail "$program is installed with its debug information"
    fi
    "$root/bin/$program" --version >/dev/null || fail "$program --version failed"
done

export KOVA_SOCKET="$work/camera.sock"
"$root/bin/kova-camera" >"$work/camera.log" 2>&1 &
camera_pid=$!
for _ in $(seq 600); do
    "$root/bin/kova" info >/dev/null 2>&1 && break
    kill -0 "$camera_pid" 2>/dev/null || { cat "$work/camera.log" >&2; fail "kova-camera exited"; }
    sleep 0.05
done
"$root/bin/kova" push --pattern bars --count 1 || fail "kova push of one frame failed"
"$root/bin/kova" view --count 1 --json >/dev/null || fail "kova view of one frame failed"
kill "$camera_pid"
wait "$camera_pid" || fail "kova-camera did not end cleanly on SIGTERM"
camera_pid=""

# ---- the installed units, as the service manager would read them ----
# They name the programs' final place; point them into the staging folder for systemd to check.
units="$work/units"
mkdir "$units"
for unit in kova-camera.socket kova-camera.service kova-pipewire.service; do
    sed "s|^ExecStart=/usr/|ExecStart=$root/|" "$root/lib/systemd/user/$unit" >"$units/$unit"
done
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 0700 "$XDG_RUNTIME_DIR"
# --man=no: the pages' own folder is not on the man path.
systemd-analyze --user verify --man=no \
    "$units/kova-camera.socket" "$units/kova-camera.service" "$units/kova-pipewire.service" ||
    fail "systemd-analyze verify failed on the installed units"
check_exposure() {  # UNIT MAX
    systemd-analyze --user security --offline=true --threshold="$2" "$units/$1" >"$work/security" ||
        { cat "$work/security" >&2; fail "$1 is more exposed than $2/100"; }
    grep "Overall exposure" "$work/security"
}
check_exposure kova-camera.service "$camera_exposure_max"
check_exposure kova-pipewire.service "$bridge_exposure_max"
