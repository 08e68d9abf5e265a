#!/usr/bin/env bash
# Recorder loss over loopback: runs the real nimbra_reeltake, sends it paced
# 1860-byte Mocap frames with recorder_loss_sender, stops it with SIGINT and
# compares what was sent with what was recorded (summary line and file size).
# With --tools reeltake,tcpdump each scenario is also captured by a packet
# recorder on lo (`tcpdump -w`, same receive buffer as ours) in its own run,
# alternating with ours, and its file's packets are counted.
#
#   bench/recorder_loss/run.sh [--tools reeltake,tcpdump] [--repeat N] <build-dir> [rate:seconds ...]
#
# Default scenarios: 10000:10 and 50000:2; rate "max" (or 0) sends as fast as
# one sender can. Exit status 1 when any run of ours lost datagrams.
# RECORD_DIR (default: a temporary directory under TMPDIR) chooses where the
# recordings are written, e.g. a tmpfs to take the disk out of the
# measurement.
set -euo pipefail

TOOLS=reeltake
REPEAT=1
while [ $# -gt 0 ]; do
  case "$1" in
    --tools) TOOLS="$2"; shift 2 ;;
    --repeat) REPEAT="$2"; shift 2 ;;
    *) break ;;
  esac
done
BUILD_DIR="$(cd "${1:?usage: run.sh [--tools reeltake,tcpdump] [--repeat N] <build-dir> [rate:seconds ...]}" && pwd)"
shift
SCENARIOS=("$@")
[ ${#SCENARIOS[@]} -gt 0 ] || SCENARIOS=(10000:10 50000:2)
IFS=, read -r -a TOOL_LIST <<<"$TOOLS"

RECORDER="$BUILD_DIR/bin/nimbra_reeltake"
SENDER="$BUILD_DIR/bin/recorder_loss_sender"
COUNTER="$BUILD_DIR/bin/bench_pcap_count"
for program in "$RECORDER" "$SENDER"; do
  [ -x "$program" ] || { echo "missing $program: build the targets nimbra_reeltake and recorder_loss_sender" >&2; exit 2; }
done
for tool in "${TOOL_LIST[@]}"; do
  case "$tool" in
    reeltake) ;;
    tcpdump)
      command -v tcpdump >/dev/null || { echo "tcpdump not found (scripts/setup.sh --bench installs it)" >&2; exit 2; }
      [ -x "$COUNTER" ] || { echo "missing $COUNTER: build the target bench_pcap_count" >&2; exit 2; } ;;
    *) echo "unknown tool: $tool" >&2; exit 2 ;;
  esac
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

# Starts a capturing program (the command after the first argument, with
# PORT in it replaced by a random port) in the background and waits for
# `ready` on its standard error; sets RECORDER_PID and PORT.
start_capture() {
  local ready="$1" attempt port
  shift
  for attempt in 1 2 3 4 5; do
    port=$(( 20000 + RANDOM % 40000 ))
    rm -rf "$REC" "$WORK/recorder.log"
    mkdir -p "$REC"
    "${@//PORT/$port}" 2>"$WORK/recorder.log" &
    RECORDER_PID=$!
    for _ in $(seq 100); do
      grep -q "$ready" "$WORK/recorder.log" && { PORT=$port; return 0; }
      kill -0 "$RECORDER_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill -TERM "$RECORDER_PID" 2>/dev/null || true
    wait "$RECORDER_PID" 2>/dev/null || true
    RECORDER_PID=""
  done
  echo "the capture did not start: $*" >&2
  cat "$WORK/recorder.log" >&2
  exit 2
}

percent() {
  awk -v l="$1" -v s="$2" 'BEGIN { printf "%.3f", s ? 100 * l / s : 0 }'
}

printf '%-9s %-8s %4s %9s %9s %7s %8s %13s %12s %9s %8s\n' \
  "tool" "rate/s" "s" "sent" "recorded" "lost" "loss%" "file bytes" "rcvbuf errs" "cpu s" "us/dgram"
status=0
for scenario in "${SCENARIOS[@]}"; do
  rate=${scenario%%:*}
  seconds=${scenario##*:}
  [ "$rate" = max ] && rate=0
  for (( run = 0; run < REPEAT; run++ )); do
    for tool in "${TOOL_LIST[@]}"; do
      sink=0
      if [ "$tool" = reeltake ]; then
        start_capture "^Recording UDP datagrams on" "$RECORDER" --port PORT -d "$REC"
      else
        # Same receive buffer as the recorder asks for (8 MiB); a socket in the
        # sender takes the datagrams so that none is answered with an ICMP error.
        start_capture "listening on" tcpdump -i lo -n -B 8192 -w "$REC/capture.pcap" udp dst port PORT
        sink=1
      fi
      rcvbuf_before=$(udp_counter RcvbufErrors)
      cpu_before=$(cpu_seconds "$RECORDER_PID")

      "$SENDER" --port "$PORT" --rate "$rate" --seconds "$seconds" --sink "$sink" >"$WORK/sender.log"
      sent=$(sed -n 's/^sent \([0-9]*\) datagrams.*/\1/p' "$WORK/sender.log")
      # Let the capture drain its buffer before stopping it.
      sleep 1
      cpu_after=$(cpu_seconds "$RECORDER_PID")
      rcvbuf_after=$(udp_counter RcvbufErrors)
      kill -INT "$RECORDER_PID"
      wait "$RECORDER_PID" || true
      RECORDER_PID=""

      extra=""
      if [ "$tool" = reeltake ]; then
        summary=$(grep "^Recording stopped:" "$WORK/recorder.log")
        recorded=$(sed -n 's/^Recording stopped: \([0-9]*\) datagram(s), .*/\1/p' <<<"$summary")
        bytes=$(sed -n 's/^Recording stopped: [0-9]* datagram(s), \([0-9]*\) byte(s).*/\1/p' <<<"$summary")
        file=${summary#*, file }
        file_bytes=$(stat -c %s "$file")
        if [ "$recorded" -ne "$sent" ] || [ "$file_bytes" -ne "$bytes" ] || [ "$bytes" -ne $(( recorded * 1860 )) ]; then
          status=1
        fi
      else
        count=$("$COUNTER" "$REC/capture.pcap")
        recorded=$(awk '{ print $2 }' <<<"$count")
        file_bytes=$(stat -c %s "$REC/capture.pcap")
        extra=$(grep -E "packets (captured|received by filter|dropped by kernel)" "$WORK/recorder.log" | paste -sd, - || true)
      fi
      rm -rf "$REC"
      lost=$(( sent - recorded ))
      cpu=$(awk -v a="$cpu_before" -v b="$cpu_after" 'BEGIN { printf "%.2f", b - a }')
      per_datagram=$(awk -v c="$cpu" -v n="$recorded" 'BEGIN { printf "%.1f", n ? c * 1e6 / n : 0 }')
      printf '%-9s %-8s %4s %9s %9s %7s %8s %13s %12s %9s %8s\n' "$tool" "$([ "$rate" = 0 ] && echo max || echo "$rate")" \
        "$seconds" "$sent" "$recorded" "$lost" "$(percent "$lost" "$sent")" \
        "$file_bytes" "$([ "$sink" = 1 ] && echo - || echo $(( rcvbuf_after - rcvbuf_before )))" "$cpu" "$per_datagram"
      echo "          sender: $(cat "$WORK/sender.log")"
      [ -z "$extra" ] || echo "          tcpdump: $extra"
      grep -v -e "^Recording UDP datagrams on" -e "^Recording stopped:" -e "listening on" -e "packets captured" \
        -e "packets received by filter" -e "packets dropped by kernel" "$WORK/recorder.log" \
        | sed "s/^/          $tool: /" || true
    done
  done
done
exit $status
