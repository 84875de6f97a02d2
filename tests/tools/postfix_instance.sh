# A Postfix instance of its own for the gateway test and benchmark: its
# configuration, queue and Maildirs under $pf and $maildirs, SMTP on
# 127.0.0.1:$port with the content-filter lines of packaging/postfix (the
# hook of this build, the server $srv; the router's way back on
# $reinject_port), and, when $plain_port is set, SMTP
# without the filter there. With $milter_socket set, SMTP on $port goes to
# the milter there instead, with the lines of packaging/postfix/milter.cf;
# with $milter_port set, SMTP there goes to the milter at $milter_port_socket.
# Needs root; never touches the system's instance.
start_postfix_instance() {
  mkdir -p "$pf/conf" "$pf/queue" "$pf/data" "$maildirs"
  chown postfix "$pf/data"
  chown nobody "$maildirs"
  cat > "$pf/conf/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
command_directory = /usr/sbin
daemon_directory = /usr/lib/postfix/sbin
meta_directory = /etc/postfix
shlib_directory = /usr/lib/postfix
mail_owner = postfix
setgid_group = postdrop
myhostname = gateway.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtputf8_enable = no
virtual_mailbox_domains = example.com
virtual_mailbox_base = $maildirs
virtual_mailbox_maps = texthash:$pf/conf/mailboxes
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(id -g nobody)
maillog_file = $pf/maillog
maillog_file_prefixes = $pf
# The sanitizers' settings reach the hook Postfix runs (make check-asan).
export_environment = TZ MAIL_CONFIG LANG ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
EOF
  if [ -n "${milter_socket:-}" ]; then
    grep -v '^#' "$repo/packaging/postfix/milter.cf" | sed "s|unix:/zul/milter.sock|unix:$milter_socket|" >> "$pf/conf/main.cf"
  else
    grep -v '^#' "$repo/packaging/postfix/main.cf" >> "$pf/conf/main.cf"
  fi
  printf 'bob@example.com bob/\ncarol@example.com carol/\npostmaster@example.com postmaster/\n' > "$pf/conf/mailboxes"
  cat > "$pf/conf/master.cf" <<EOF
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
virtual   unix  -       n       n       -       -       virtual
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
  if [ -n "${milter_socket:-}" ]; then
    echo "127.0.0.1:$port inet  n       -       n       -       -       smtpd" >> "$pf/conf/master.cf"
  else
    grep -v '^#' "$repo/packaging/postfix/master.cf" \
      | sed -e "s|^smtp      inet  n       -       y|127.0.0.1:$port inet  n       -       n|" \
            -e "s|/usr/local/bin/|$bin/|" -e "s|/srv/zul|$srv|" \
            -e "s|^127.0.0.1:10026 |127.0.0.1:${reinject_port:-10026} |" >> "$pf/conf/master.cf"
  fi
  if [ -n "${plain_port:-}" ]; then
    echo "127.0.0.1:$plain_port inet  n       -       n       -       -       smtpd" >> "$pf/conf/master.cf"
  fi
  if [ -n "${milter_port:-}" ]; then
    printf '127.0.0.1:%s inet  n       -       n       -       -       smtpd\n  -o smtpd_milters=unix:%s\n  -o milter_default_action=tempfail\n' \
      "$milter_port" "$milter_port_socket" >> "$pf/conf/master.cf"
  fi
  postfix -c "$pf/conf" start >/dev/null 2>&1 || { echo "postfix did not start:"; cat "$pf/maillog"; return 1; }
  local _
  for _ in $(seq 1 200); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1)" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "postfix does not listen on $port"
  return 1
}
