# Sourced by scripts: start_nginx ROOT DIR starts nginx on 127.0.0.1 serving ROOT, with its
# configuration, logs and pid under DIR; sets NGINX_PORT and NGINX_PID. stop_nginx ends it.

start_nginx() {
  local root=$1 dir=$2
  mkdir -p "$dir"
  NGINX_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  local user=""
  [ "$(id -u)" -eq 0 ] && user="user root;"
  cat > "$dir/nginx.conf" <<CONF
$user
worker_processes 1;
error_log $dir/error.log;
pid $dir/nginx.pid;
events { worker_connections 64; }
http {
  log_format bytes '\$status \$body_bytes_sent "\$request"';
  access_log $dir/access.log bytes;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  types { application/zip zip; }
  sendfile on;
  server { listen 127.0.0.1:$NGINX_PORT; root $root; }
}
CONF
  /usr/sbin/nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" -g 'daemon off;' &
  NGINX_PID=$!
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$NGINX_PORT") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "nginx did not start:" >&2
  cat "$dir/error.log" >&2
  return 1
}

stop_nginx() {
  [ -n "${NGINX_PID:-}" ] && kill "$NGINX_PID" 2>/dev/null && wait "$NGINX_PID" 2>/dev/null
  NGINX_PID=
}
