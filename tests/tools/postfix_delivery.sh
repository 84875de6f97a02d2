# What the Postfix tests share: the README's lines as the caller's
# readme_steps gives them, and the Maildirs under $maildirs as the referee
# ($mailpy) reads them. $daemon_log is shown beside Postfix's log when a
# delivery count is wrong.
step() {  # the README line that starts with $1 (a "without systemd:" line without that mark)
  local line
  while IFS= read -r line; do
    line=${line#"#   without systemd: "}
    [[ $line == "$1"* ]] && { echo "$line"; return; }
  done < <(readme_steps)
}
as_zul() { runuser -u zul -- "$@"; }

delivered() {  # delivered MAILBOX TAG: waits until a message with the tag arrives; its files
  local found=
  for _ in $(seq 1 400); do
    found=$(python3 "$mailpy" find "$maildirs/$1" "$2")
    [ -n "$found" ] && break
    sleep 0.05
  done
  echo "$found"
}
once() {  # once NAME FILES: exactly one delivery
  if [ "$(grep -c . <<<"$2")" -ne 1 ]; then
    echo "FAIL $1: $(grep -c . <<<"$2") deliveries"; tail -20 "$pf/maillog"; cat "$daemon_log"
    failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}
send() {  # send SHAPE TAG RCPT...
  python3 "$mailpy" send "$port" "$1" "$2" "$root/$2.eml" anna@sender.test "${@:3}" \
    && passed=$((passed + 1)) || { echo "FAIL SMTP refused $2"; tail -5 "$daemon_log"; failures=$((failures + 1)); }
}
