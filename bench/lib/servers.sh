# The servers of the benchmark: nginx serving the published releases on
# 127.0.0.1, and the delaying relay in front of it. Each is started in the
# background with its pid kept, and stopped by pid (first politely, then
# for good after a bounded wait). Sourced by run.sh, which sets SCRATCH, PY
# and BENCH_DIR and calls stop_servers from its exit trap.

NGINX_PID=
NGINX_PORT=
PROXY_PID=
PROXY_PORT=

# A TCP port on 127.0.0.1 that is free right now.
free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# Waits until URL answers (any HTTP status), at most SECONDS.
wait_for_url() {  # url seconds
  local url=$1 tries=$(($2 * 10))
  for _ in $(seq 1 "$tries"); do
    curl -s --noproxy '*' -o /dev/null --max-time 2 "$url" && return 0
    sleep 0.1
  done
  return 1
}

# Stops one background process by pid: TERM (so nginx's master takes its
# workers down), then KILL for it and its children after SECONDS.
stop_pid() {  # pid seconds
  local pid=$1 tries=$(($2 * 10))
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 "$tries"); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    local children=()
    read -r -a children <<<"$(ps -o pid= --ppid "$pid" 2>/dev/null | tr '\n' ' ')"
    kill -KILL "$pid" "${children[@]}" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

write_nginx_config() {  # dir root port
  local dir=$1 root=$2 port=$3
  mkdir -p "$dir/temp"
  cat >"$dir/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port;
    root $root;
  }
}
CONF
}

# Serves ROOT on 127.0.0.1:NGINX_PORT; dies with the error log if nginx does
# not answer within 10 seconds or cannot read ROOT.
start_nginx() {  # root
  local root=$1 dir=$SCRATCH/nginx
  NGINX_PORT=$(free_port)
  write_nginx_config "$dir" "$root" "$NGINX_PORT"
  echo "probe" >"$root/probe.txt"
  nginx -c "$dir/nginx.conf" -p "$dir/" -e "$dir/error.log" >"$dir/stdout.log" 2>&1 &
  NGINX_PID=$!
  if ! wait_for_url "http://127.0.0.1:$NGINX_PORT/" 10; then
    tail -n 20 "$dir/error.log" "$dir/stdout.log" >&2 || true
    die "nginx did not start on 127.0.0.1:$NGINX_PORT (logs above)"
  fi
  if ! curl -sf --noproxy '*' -o /dev/null "http://127.0.0.1:$NGINX_PORT/probe.txt"; then
    die "nginx cannot read $root (its workers run as an unprivileged user;" \
      "choose a --scratch directory whose parents everyone may enter)"
  fi
  note "nginx serving $root on 127.0.0.1:$NGINX_PORT (pid $NGINX_PID)"
}

# Starts the relay on PROXY_PORT in front of nginx, delaying by RTT_MS.
start_proxy() {  # rtt_ms
  PROXY_PORT=$(free_port)
  "$PY" "$BENCH_DIR/delay_proxy.py" "$PROXY_PORT" "$NGINX_PORT" "$1" 7200 \
    >"$SCRATCH/proxy.log" 2>&1 &
  PROXY_PID=$!
  if ! wait_for_url "http://127.0.0.1:$PROXY_PORT/probe.txt" 10; then
    tail -n 20 "$SCRATCH/proxy.log" >&2 || true
    die "the delaying relay did not start on 127.0.0.1:$PROXY_PORT"
  fi
  note "relay with a $1 ms round trip on 127.0.0.1:$PROXY_PORT (pid $PROXY_PID)"
}

stop_servers() {
  stop_pid "$PROXY_PID" 5
  PROXY_PID=
  stop_pid "$NGINX_PID" 10
  NGINX_PID=
}
