#!/usr/bin/env bash
# Load test of the local server against nginx on loopback, one request per
# connection ("Connection: close"), with wrk. Prints requests per second and p99
# latency for each endpoint and both servers, and the ratio.
# Usage: bench/local_server_bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-5}
host_bin="$build/bench/local_server_bench_host"
[ -x "$host_bin" ] || { echo "build $host_bin first (cmake --build $build)"; exit 1; }
command -v wrk >/dev/null && command -v nginx >/dev/null || { echo "needs wrk and nginx (scripts/install-deps.sh)"; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as an unprivileged user
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

"$host_bin" > "$work/port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
dw_port=$(head -n1 "$work/port")

prompt='{"target":"codex","text":"Refactor the parser and add tests for the error paths."}'
curl -s "http://127.0.0.1:$dw_port/status" > "$work/status.json"
curl -s "http://127.0.0.1:$dw_port/responses" > "$work/responses.json"
curl -s -X POST --data "$prompt" "http://127.0.0.1:$dw_port/" > "$work/prompt.json"

# nginx answers the same bodies, byte for byte, from memory-mapped files.
# A port below the ephemeral range, so that no client socket of an earlier run holds it.
ng_port=$((20000 + RANDOM % 5000))
while ss -ltn | awk '{print $4}' | grep -q ":$ng_port\$"; do ng_port=$((20000 + RANDOM % 5000)); done
mkdir -p "$work/html" "$work/logs"
cp "$work/status.json" "$work/html/status"
cp "$work/responses.json" "$work/html/responses"
cp "$work/prompt.json" "$work/html/prompt"
cat > "$work/nginx.conf" <<CONF
worker_processes 2;
pid $work/nginx.pid;
error_log $work/logs/error.log;
daemon off;
events { worker_connections 1024; }
http {
  access_log off;
  default_type application/json;
  server {
    listen 127.0.0.1:$ng_port;
    keepalive_timeout 0;
    root $work/html;
    location = /status { try_files /status =404; }
    location = /responses { try_files /responses =404; }
    location = / { error_page 405 =200 /prompt; try_files /prompt =404; }
    location = /prompt { internal; }
  }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$ng_port/status" && break; sleep 0.05; done

cat > "$work/post.lua" <<LUA
wrk.method = "POST"
wrk.body = '$prompt'
wrk.headers["Content-Type"] = "application/json"
LUA

# Prints "RPS P99_MS" for one wrk run.
measure() {
  local url=$1 script=${2:-}
  local args=(-t2 -c16 -d"${seconds}s" --latency -H "Connection: close")
  [ -n "$script" ] && args+=(-s "$script")
  wrk "${args[@]}" "$url" > "$work/wrk.out"
  if grep -q "Non-2xx" "$work/wrk.out"; then
    echo "error: $url answered with non-2xx statuses" >&2
    cat "$work/wrk.out" >&2
    exit 1
  fi
  local rps p99
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk.out")
  p99=$(awk '$1=="99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v=v/1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v=v*1000}; print v}' "$work/wrk.out")
  echo "$rps $p99"
}

printf '%-22s %12s %10s %12s %10s %8s\n' endpoint deskwave_rps p99_ms nginx_rps p99_ms ratio
for case in "GET /status|/status|" "GET /responses|/responses|" "POST / prompt|/|$work/post.lua"; do
  IFS='|' read -r name path script <<< "$case"
  read -r dw_rps dw_p99 < <(measure "http://127.0.0.1:$dw_port$path" "$script")
  read -r ng_rps ng_p99 < <(measure "http://127.0.0.1:$ng_port$path" "$script")
  ratio=$(awk -v a="$dw_rps" -v b="$ng_rps" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }')
  printf '%-22s %12s %10s %12s %10s %8s\n' "$name" "$dw_rps" "$dw_p99" "$ng_rps" "$ng_p99" "$ratio"
done
