#!/usr/bin/env bash
# The processor time a running, idle mail monitor uses: starts it on a fresh
# demo server directory, lets it idle, and reports its CPU share against the
# wall time of the same run.
#   bench/idle_cpu.sh BUILD_DIR [SECONDS]
set -euo pipefail
bin=$(cd "${1:-build}" && pwd)
seconds=${2:-20}
server=$(mktemp -d)
trap 'kill $monitor 2>/dev/null || true; rm -rf "$server"' EXIT
"$bin/zulctl" init "$server/srv" >/dev/null
export ZUL_NOTES_INI="$server/srv/notes.ini"
"$bin/zulctl" settings init --bases "$bin/demo-bases" >/dev/null
"$bin/nZulMailMonitor" >/dev/null 2>&1 &
monitor=$!
for _ in $(seq 1 100); do "$bin/zulctl" tasks | grep -q 'Idle task' && break; sleep 0.1; done
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$monitor/stat"; }
before=$(cpu)
sleep "$seconds"
after=$(cpu)
used=$(( after - before ))
echo "idle mail monitor: $used ticks of CPU in ${seconds} s wall (${ticks} ticks/s) =" \
  "$(awk -v u="$used" -v t="$ticks" -v s="$seconds" 'BEGIN {printf "%.2f%%", 100 * u / t / s}') of one core"
"$bin/zulctl" quit >/dev/null
wait "$monitor"
