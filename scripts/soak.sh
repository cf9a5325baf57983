#!/usr/bin/env bash
# Runs the named checks (a CTest regular expression; default: every e2e
# check) N times each (default 10) while another process keeps one core busy,
# then prints a table of passes per check. The output of each failed run is
# kept in build/soak/. Build first with scripts/test.sh.
#   scripts/soak.sh 20 '^e2e.indi$'
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10} regex=${2:-^e2e\.}
[ -d build ] || { echo "soak: no build/: run scripts/test.sh first" >&2; exit 2; }
if [ -z "${DISPLAY:-}" ] && [ -z "${SOAK_UNDER_XVFB:-}" ]; then
    SOAK_UNDER_XVFB=1 exec xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24" bash "$0" "$@"
fi
mapfile -t checks < <(ctest --test-dir build -N -R "$regex" | sed -n 's/^ *Test *#[0-9]*: //p')
((${#checks[@]} > 0)) || { echo "soak: no check matches $regex" >&2; exit 2; }

# One core kept busy for as long as this runs.
(while :; do :; done) & busy=$!
trap 'kill "$busy" 2>/dev/null' EXIT
mkdir -p build/soak
failed=0
printf '%-24s %s\n' check passed
for check in "${checks[@]}"; do
    passed=0
    for ((i = 1; i <= runs; ++i)); do
        log=build/soak/$check.$i.log
        if ctest --test-dir build -R "^${check//./\\.}\$" --output-on-failure --timeout 600 >"$log" 2>&1 &&
            grep -q '100% tests passed' "$log" && ! grep -q 'did not run' "$log"; then  # a skip is no pass
            passed=$((passed + 1)) && rm -f "$log"
        fi
    done
    printf '%-24s %d/%d\n' "$check" "$passed" "$runs"
    ((passed == runs)) || failed=1
done
exit "$failed"
