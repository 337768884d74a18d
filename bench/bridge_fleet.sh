#!/usr/bin/env bash
# A building's worth of projectors on one machine: N simulated projectors, one rmq27-bridge in
# front of each, and one Prometheus server scraping every bridge every 5 s. Reports the bridges'
# CPU (all of them together, in % of one core) and proportional set size, the scrape duration's
# 99th percentile and how many targets are up.
#
#   bench/bridge_fleet.sh [BUILD_DIR] [N] [SECONDS]
#
# Everything listens on 127.0.0.1 and is stopped by its process id at the end.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
n=${2:-40}
measure=${3:-60}
poll=${POLL:-30}
work=$(mktemp -d "$build/fleet.XXXXXX")
pids=()
stop() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap stop EXIT

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The simulators print their device on standard output.
for i in $(seq 1 "$n"); do
    "$build/rmq27-projector-sim" >"$work/sim$i.out" 2>/dev/null &
    pids+=($!)
done
for i in $(seq 1 "$n"); do
    until [ -s "$work/sim$i.out" ]; do sleep 0.1; done
done

bridge_pids=()
targets=""
for i in $(seq 1 "$n"); do
    device=$(head -1 "$work/sim$i.out")
    port=$(free_port)
    "$build/rmq27-bridge" --port "$device" --listen 127.0.0.1:0 --metrics "127.0.0.1:$port" \
        --poll "$poll" --name "hall-$i" 2>"$work/bridge$i.log" &
    pids+=($!)
    bridge_pids+=($!)
    targets+="\"127.0.0.1:$port\","
done

prom_port=$(free_port)
cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: 5s
  scrape_timeout: 4s
scrape_configs:
  - job_name: projectors
    static_configs:
      - targets: [${targets%,}]
YAML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$prom_port" --log.level=warn 2>"$work/prometheus.log" &
pids+=($!)
prom="http://127.0.0.1:$prom_port"

# Let every bridge open its line, poll once and be scraped a few times.
sleep 20

ticks=$(getconf CLK_TCK)
cpu_ticks() {
    local total=0
    for pid in "${bridge_pids[@]}"; do
        read -r -a f <"/proc/$pid/stat"
        total=$((total + f[13] + f[14]))
    done
    echo "$total"
}
before=$(cpu_ticks)
start=$(date +%s.%N)
sleep "$measure"
after=$(cpu_ticks)
end=$(date +%s.%N)

pss_kb=0
max_pss_kb=0
for pid in "${bridge_pids[@]}"; do
    p=$(awk '/^Pss:/ {print $2}' "/proc/$pid/smaps_rollup")
    pss_kb=$((pss_kb + p))
    [ "$p" -gt "$max_pss_kb" ] && max_pss_kb=$p
done

query() {
    promtool query instant "$prom" "$1" | sed -E 's/.*=> ([^ ]+) @.*/\1/' | head -1
}
window=$(printf '%.0f' "$measure")
echo "# $n bridges, poll every $poll s, one Prometheus scraping every 5 s, measured over $measure s"
awk -v t="$((after - before))" -v hz="$ticks" -v s="$start" -v e="$end" \
    'BEGIN { printf "bridges_cpu_percent_of_one_core  %.3f  %%\n", 100 * t / hz / (e - s) }'
echo "bridges_pss_total  $((pss_kb / 1024)).$(((pss_kb % 1024) * 10 / 1024))  MiB"
echo "bridge_pss_max  $max_pss_kb  KiB"
echo "scrape_duration_p99  $(query "quantile(0.99, quantile_over_time(0.99, scrape_duration_seconds{job=\"projectors\"}[${window}s])) * 1000")  ms"
echo "scrape_duration_max  $(query "max(max_over_time(scrape_duration_seconds{job=\"projectors\"}[${window}s])) * 1000")  ms"
echo "targets_up  $(query 'count(up{job="projectors"} == 1)') of $n"
echo "polls_answered  $(query 'count(rmq27_poll_answered == 1)') of $n"
echo "samples_per_scrape  $(query 'max(scrape_samples_scraped{job="projectors"})')"
