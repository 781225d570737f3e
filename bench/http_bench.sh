#!/bin/bash
# Compares the web server of an installed ScanLantern with nginx serving the
# same static file, one request per connection (keep-alive off on both).
#
#   bench/http_bench.sh PREFIX PORT [FILE]
#
# PREFIX is the installation directory; PORT is where the service answers.
# The file is PREFIX/www/FILE; without FILE a static page of 2 KiB is made
# there for the run and removed afterwards. When nothing answers on PORT and
# PREFIX/bin/ScanLanternService exists, the service is started for the run
# and stopped afterwards. nginx runs from a scratch directory on
# 127.0.0.1:NGINX_PORT with one worker per core and an access log, as the
# service logs every request too. The service runs with its connection caps
# (256 in all, 32 from one address), which wrk's connections stay within.
#
# Environment: DURATION (seconds, default 5), CONNECTIONS (default 32),
# THREADS (wrk threads, default 2), NGINX_PORT (default 18080),
# NGINX_WORKERS (default: the number of cores), NGINX_LISTEN (options added
# to nginx's listen directive, e.g. "deferred"; default none), BENCH_USER / BENCH_PASSWORD
# (Basic credentials sent to both servers when the service asks for a login).
# Prints requests per second and latency percentiles of both, and the ratio;
# then the same for a page the service fills from a template
# (TEMPLATE_ROUTE, default WatchSetting.cgi), which nginx has no part in.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PORT [FILE]" >&2
  exit 2
fi
prefix=$(cd "$1" && pwd)
port=$2
file=${3:-}
duration=${DURATION:-5}
connections=${CONNECTIONS:-32}
threads=${THREADS:-2}
nginx_port=${NGINX_PORT:-18080}
nginx_workers=${NGINX_WORKERS:-$(nproc)}
nginx_listen=${NGINX_LISTEN:-}
wrk=${WRK:-/usr/bin/wrk}
nginx=${NGINX:-/usr/sbin/nginx}

docroot="$prefix/www"
made_page=""
if [ -z "$file" ]; then
  file=bench-2k.htm
  made_page="$docroot/$file"
  { printf '<html><head><title>bench</title></head><body>\n'
    head -c 1986 /dev/zero | tr '\0' 'x'
    printf '\n</body></html>\n'; } | head -c 2048 >"$made_page"
fi
if [ ! -f "$docroot/$file" ]; then
  echo "no file $docroot/$file to serve" >&2
  exit 1
fi

scratch=$(mktemp -d /tmp/http_bench.XXXXXX)
service_pid=""
nginx_started=""
cleanup() {
  if [ -n "$nginx_started" ] && [ -f "$scratch/nginx.pid" ]; then
    kill "$(cat "$scratch/nginx.pid")" 2>/dev/null || true
    sleep 0.5
  fi
  if [ -n "$service_pid" ]; then
    kill -TERM "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
  if [ -n "$made_page" ]; then rm -f "$made_page"; fi
}
trap cleanup EXIT

answers() {  # answers PORT: true when something accepts on 127.0.0.1:PORT
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

wait_for() {  # wait_for PORT: up to 10 seconds
  for _ in $(seq 1 100); do
    answers "$1" && return 0
    sleep 0.1
  done
  return 1
}

if ! answers "$port"; then
  if [ -x "$prefix/bin/ScanLanternService" ]; then
    echo "starting $prefix/bin/ScanLanternService"
    "$prefix/bin/ScanLanternService" >"$scratch/service.out" 2>&1 &
    service_pid=$!
    wait_for "$port" || { echo "the service does not answer on port $port" >&2; exit 1; }
  else
    echo "nothing answers on port $port" >&2
    exit 1
  fi
fi

auth_args=()
if [ -n "${BENCH_USER:-}${BENCH_PASSWORD:-}" ]; then
  token=$(printf '%s:%s' "${BENCH_USER:-}" "${BENCH_PASSWORD:-}" | base64 -w0)
  auth_args=(-H "Authorization: Basic $token")
fi

mkdir -p "$scratch/tmp"
cat >"$scratch/nginx.conf" <<EOF
worker_processes $nginx_workers;
pid $scratch/nginx.pid;
error_log $scratch/error.log;
user root root;
events { worker_connections 4096; }
http {
  access_log $scratch/access.log;
  client_body_temp_path $scratch/tmp;
  proxy_temp_path $scratch/tmp;
  fastcgi_temp_path $scratch/tmp;
  uwsgi_temp_path $scratch/tmp;
  scgi_temp_path $scratch/tmp;
  keepalive_timeout 0;
  sendfile on;
  default_type text/html;
  server {
    listen 127.0.0.1:$nginx_port $nginx_listen;
    root $docroot;
  }
}
EOF
if [ "$(id -u)" != 0 ]; then
  sed -i '/^user root root;$/d' "$scratch/nginx.conf"
fi
"$nginx" -e "$scratch/error.log" -c "$scratch/nginx.conf"
nginx_started=1
wait_for "$nginx_port" || { echo "nginx did not start" >&2; cat "$scratch/error.log" >&2; exit 1; }

check() {  # check URL: the file must come back with status 200
  local code
  code=$(curl -s -o "$scratch/check.out" -w '%{http_code}' "${auth_args[@]}" "$1" || true)
  if [ "$code" != 200 ] || ! cmp -s "$scratch/check.out" "$docroot/$file"; then
    echo "$1 did not return the file (status $code)" >&2
    exit 1
  fi
}
service_url="http://127.0.0.1:$port/$file"
nginx_url="http://127.0.0.1:$nginx_port/$file"
check "$service_url"
check "$nginx_url"

run_wrk() {  # run_wrk NAME URL: prints the wrk report, stores it in $scratch/NAME
  "$wrk" -t"$threads" -c"$connections" -d"${duration}s" --latency \
    -H "Connection: close" "${auth_args[@]}" "$2" >"$scratch/$1.txt" 2>&1
}

summary() {  # summary NAME
  local f="$scratch/$1.txt"
  local rps p50 p75 p90 p99 errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' "$f")
  p50=$(awk '$1 == "50%" {print $2}' "$f")
  p75=$(awk '$1 == "75%" {print $2}' "$f")
  p90=$(awk '$1 == "90%" {print $2}' "$f")
  p99=$(awk '$1 == "99%" {print $2}' "$f")
  errors=$(awk '/Non-2xx|Socket errors/ {sub(/^ +/, ""); printf "%s; ", $0}' "$f")
  printf '%-8s %12s req/s   p50 %-9s p75 %-9s p90 %-9s p99 %-9s %s\n' \
    "$1" "${rps:-?}" "${p50:-?}" "${p75:-?}" "${p90:-?}" "${p99:-?}" "$errors"
  echo "${rps:-0}" >"$scratch/$1.rps"
}

size=$(stat -c %s "$docroot/$file")
echo "file $file ($size bytes), ${duration}s, $connections connections, $threads wrk threads, keep-alive off"
run_wrk service "$service_url"
run_wrk nginx "$nginx_url"
# A page the service fills from a template on every request (the watch list).
template_url="http://127.0.0.1:$port/${TEMPLATE_ROUTE:-WatchSetting.cgi}"
run_wrk template "$template_url"
summary service
summary nginx
summary template
awk -v s="$(cat "$scratch/service.rps")" -v n="$(cat "$scratch/nginx.rps")" \
  'BEGIN { if (n > 0) printf "ratio service/nginx: %.2f\n", s / n; else print "ratio: n/a" }'
if [ -n "${BENCH_VERBOSE:-}" ]; then
  cat "$scratch/service.txt" "$scratch/nginx.txt"
fi
