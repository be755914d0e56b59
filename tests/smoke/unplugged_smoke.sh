#!/usr/bin/env bash
# Starts the real program in an X window with no camera: a window must appear, the
# log must hold the banner and the unplugged line once, and the idle process must stay
# under 5 % of one core over ten seconds (BRISEL_IDLE_CPU_LIMIT, in percent, for a
# sanitizer build). Usage: unplugged_smoke.sh BRISEL ARTIFACT_DIR
set -euo pipefail
brisel="$1"
artifacts="$2"
# A private display: the suite's shared one sees other tests come and go.
if [ -z "${BRISEL_SMOKE_INNER:-}" ]; then
    export BRISEL_SMOKE_INNER=1
    exec "$(dirname "$0")/../ui/on_xvfb.sh" "$0" "$@"
fi
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/run"
cd "$work/run"
unset BRISEL_REPLAY
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" "$brisel" >"$work/console.txt" 2>&1 &
pid=$!

window=""
for _ in $(seq 1 100); do
    window="$(xdotool search --pid "$pid" 2>/dev/null | head -1 || true)"
    [ -n "$window" ] && break
    sleep 0.2
done
if [ -z "$window" ]; then
    echo "FAIL: no window appeared"; cat "$work/console.txt"; exit 1
fi
sleep 2
import -window root "$artifacts/unplugged.png" || true

ticks_per_second=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
before=$(cpu_ticks)
sleep 10
after=$(cpu_ticks)
percent=$(( (after - before) * 100 / (10 * ticks_per_second) ))
echo "cpu over 10 s unplugged: ${percent} % of a core"

grep -q "^=================================================$" log.txt || { echo "FAIL: no banner"; exit 1; }
grep -qE "^Brisel : [0-9]{2}\.[0-9]{2}\.[0-9]{4}_[0-9]{2}:[0-9]{2}:[0-9]{2}$" log.txt ||
    { echo "FAIL: no banner time stamp"; cat log.txt; exit 1; }
grep -q "^camera connected : 0 cam id : -1$" log.txt || { echo "FAIL: no unplugged line"; exit 1; }
lines=$(grep -c "^camera connected : 0 cam id : -1$" log.txt)
tries=$(grep -c "^camera connected : 0 cam id : -1$" "$work/console.txt" || true)
echo "unplugged lines after ~12 s: $lines in log.txt, $tries on the console"
[ "$tries" -le 30 ] || { echo "FAIL: the open sequence runs too often ($tries)"; exit 1; }
[ "$tries" -ge 5 ] || { echo "FAIL: the camera is not looked for every second ($tries)"; exit 1; }
# A classroom PC left on: the log hears of the unplugged camera once, then once a minute.
[ "$lines" -eq 1 ] || { echo "FAIL: log.txt grows while unplugged ($lines lines)"; exit 1; }
limit="${BRISEL_IDLE_CPU_LIMIT:-5}"
[ "$percent" -lt "$limit" ] || { echo "FAIL: ${percent} % CPU while unplugged (limit $limit %)"; exit 1; }
kill -0 "$pid" || { echo "FAIL: the program exited"; exit 1; }
echo "smoke test passed"
