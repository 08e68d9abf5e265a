#!/usr/bin/env bash
# Recorder loss over loopback: runs the real nimbra_reeltake, sends it paced
# 1860-byte Mocap frames with recorder_loss_sender, stops it with SIGINT and
# compares what was sent with what was recorded (summary line and file size).
#
#   bench/recorder_loss/run.sh <build-dir> [rate:seconds ...]
#
# Default scenarios: 10000:10 and 50000:2. Exit status 1 when any scenario
# lost datagrams. RECORD_DIR (default: a temporary directory under TMPDIR)
# chooses where the recordings are written, e.g. a tmpfs to take the disk out
# of the measurement.
set -euo pipefail

BUILD_DIR="$(cd "${1:?usage: run.sh <build-dir> [rate:seconds ...]}" && pwd)"
shift
SCENARIOS=("$@")
[ ${#SCENARIOS[@]} -gt 0 ] || SCENARIOS=(10000:10 50000:2)

RECORDER="$BUILD_DIR/bin/nimbra_reeltake"
SENDER="$BUILD_DIR/bin/recorder_loss_sender"
for program in "$RECORDER" "$SENDER"; do
  [ -x "$program" ] || { echo "missing $program: build the targets nimbra_reeltake and recorder_loss_sender" >&2; exit 2; }
done

WORK="$(mktemp -d)"
REC="${RECORD_DIR:-$WORK}/recorder_loss.$$"
RECORDER_PID=""
cleanup() {
  if [ -n "$RECORDER_PID" ] && kill -0 "$RECORDER_PID" 2>/dev/null; then
    kill -TERM "$RECORDER_PID" 2>/dev/null || true
    wait "$RECORDER_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK" "$REC"
}
trap cleanup EXIT

# Udp counters of /proc/net/snmp by name (system-wide, so other traffic on the
# machine shows up too).
udp_counter() {
  awk -v name="$1" '$1 == "Udp:" { if (!header) { for (i = 2; i <= NF; i++) col[$i] = i; header = 1 } else print $col[name] }' /proc/net/snmp
}

# CPU seconds (user + system) used so far by a process.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}

start_recorder() {
  local attempt port
  for attempt in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 40000 ))
    rm -rf "$REC" "$WORK/recorder.log"
    "$RECORDER" --port "$port" -d "$REC" 2>"$WORK/recorder.log" &
    RECORDER_PID=$!
    for _ in $(seq 100); do
      grep -q "^Recording UDP datagrams on" "$WORK/recorder.log" && { PORT=$port; return 0; }
      kill -0 "$RECORDER_PID" 2>/dev/null || break
      sleep 0.1
    done
    wait "$RECORDER_PID" 2>/dev/null || true
    RECORDER_PID=""
  done
  echo "the recorder did not start:" >&2
  cat "$WORK/recorder.log" >&2
  exit 2
}

printf '%-8s %4s %9s %9s %6s %8s %13s %12s %9s %8s\n' \
  "rate/s" "s" "sent" "recorded" "lost" "loss%" "file bytes" "rcvbuf errs" "cpu s" "us/dgram"
status=0
for scenario in "${SCENARIOS[@]}"; do
  rate=${scenario%%:*}
  seconds=${scenario##*:}
  start_recorder
  rcvbuf_before=$(udp_counter RcvbufErrors)
  cpu_before=$(cpu_seconds "$RECORDER_PID")

  "$SENDER" --port "$PORT" --rate "$rate" --seconds "$seconds" >"$WORK/sender.log"
  sent=$(sed -n 's/^sent \([0-9]*\) datagrams.*/\1/p' "$WORK/sender.log")
  # Let the recorder drain its socket before stopping it.
  sleep 1
  cpu_after=$(cpu_seconds "$RECORDER_PID")
  rcvbuf_after=$(udp_counter RcvbufErrors)
  kill -INT "$RECORDER_PID"
  wait "$RECORDER_PID"
  RECORDER_PID=""

  summary=$(grep "^Recording stopped:" "$WORK/recorder.log")
  recorded=$(sed -n 's/^Recording stopped: \([0-9]*\) datagram(s), .*/\1/p' <<<"$summary")
  bytes=$(sed -n 's/^Recording stopped: [0-9]* datagram(s), \([0-9]*\) byte(s).*/\1/p' <<<"$summary")
  file=${summary#*, file }
  file_bytes=$(stat -c %s "$file")
  rm -f "$file"
  lost=$(( sent - recorded ))
  cpu=$(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }')
  per_datagram=$(awk -v c="$cpu" -v n="$recorded" 'BEGIN { printf "%.1f", n ? c * 1e6 / n : 0 }')
  printf '%-8s %4s %9s %9s %6s %8s %13s %12s %9s %8s\n' "$rate" "$seconds" "$sent" "$recorded" "$lost" \
    "$(awk -v l="$lost" -v s="$sent" 'BEGIN { printf "%.3f", s ? 100 * l / s : 0 }')" \
    "$file_bytes" "$(( rcvbuf_after - rcvbuf_before ))" "$cpu" "$per_datagram"
  echo "         sender: $(cat "$WORK/sender.log")"
  grep -v -e "^Recording UDP datagrams on" -e "^Recording stopped:" "$WORK/recorder.log" | sed 's/^/         recorder: /' || true
  if [ "$lost" -ne 0 ] || [ "$file_bytes" -ne "$bytes" ] || [ "$bytes" -ne $(( recorded * 1860 )) ]; then
    status=1
  fi
done
exit $status
