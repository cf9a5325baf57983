#!/usr/bin/env bash
# End-to-end checks of the real binaries, run as a user runs them: console
# transcript, files written, exit status, windows and key presses under X,
# and signals. Usage: e2e.sh CASE TRAILCAM TRAILCAM_SYNTHETIC
# (trailcam_synthetic is the tool watching a synthetic scene instead of camera 1).
set -uo pipefail
check=$1 tool=$(realpath "$2") synthetic=$(realpath "$3")
work=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" && mkdir run

fail() {
    echo "FAIL ($check): $*"
    echo "--- stdout"; cat out 2>/dev/null
    echo "--- stderr"; cat err 2>/dev/null
    exit 1
}
skip() { echo "SKIP ($check): $*"; exit 77; }
needs_display() { [ -n "${DISPLAY:-}" ] || skip "needs an X display (scripts/test.sh starts Xvfb)"; }

# Repeats a command until it succeeds or the seconds run out.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

# Starts the synthetic tool (env arguments first) and waits for its first status line.
start_synthetic() {
    (cd run && exec env "$@" "$synthetic" </dev/null >../out 2>../err) &
    pid=$!
    wait_for 60 grep -q '^freq=' out || fail "no status line"
}

# The run must end by itself with status 0: start-up lines, status lines,
# then "stopapp" and "closing app".
gone() { ! kill -0 "$pid"; }
expect_orderly_end() {
    wait_for 60 gone || fail "still running"
    wait "$pid"
    local status=$?
    pid=""
    [ "$status" -eq 0 ] || fail "exit status $status"
    [ "$(head -n 3 out)" = $'setup\nsetup done\ncaptured' ] || fail "start-up lines"
    [ "$(tail -n 2 out)" = $'stopapp\nclosing app' ] || fail "closing lines"
    ! sed '1,3d' out | head -n -2 | grep -v '^freq=' || fail "unexpected line"
}

case $check in
no-camera)
    [ -e /dev/video1 ] && skip "this machine has a camera at index 1"
    for input in x ""; do
        # Without any display, an attempt to open a window would abort the process.
        (cd run && printf '%s' "$input" | timeout 20 env -u DISPLAY "$tool" >../out 2>../err)
        status=$?
        [ "$status" -eq 0 ] || fail "exit status $status"
        [ "$(cat out)" = $'setup\ncannot open cameracaptured\nempty\nclosing app' ] || fail "transcript"
        [ -z "$(ls -A run)" ] || fail "files written: $(ls -A run)"
        ! grep -q "no display" err || fail "tried to show a window"
    done
    ;;
key-q | key-Escape)
    needs_display
    start_synthetic
    wait_for 120 xdotool search --onlyvisible --name '^frame$' || fail "no window named frame"
    wait_for 120 xdotool search --onlyvisible --name '^imMin$' || fail "no window named imMin"
    trail=$(xdotool search --onlyvisible --name '^imMin$' | head -n 1)
    # Real key events (XTEST) into the focused trail window.
    xdotool windowfocus --sync "$trail" key "${check#key-}"
    expect_orderly_end
    ;;
SIGINT | SIGTERM)
    needs_display
    start_synthetic
    kill -s "$check" "$pid"
    expect_orderly_end
    ;;
headless)
    start_synthetic -u DISPLAY -u QT_QPA_PLATFORM
    kill -s TERM "$pid"
    expect_orderly_end
    [ "$(cat err)" = "no display: running without windows (stop with Ctrl-C)" ] || fail "headless notice"
    ;;
*)
    fail "unknown check"
    ;;
esac
echo "ok ($check)"
