#!/usr/bin/env bash
# The service units, checked by systemd's own verifier where it exists, with
# the programs of this build in place of the installed ones.
set -u
bin=$(cd "$1" && pwd)
units=$(cd "$(dirname "$0")/../../packaging/systemd" && pwd)
command -v systemd-analyze >/dev/null || { echo "systemd-analyze not here: skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin/zulctl" init "$work/srv" >/dev/null
instance=$(systemd-escape --path "$work/srv")
failures=0
for unit in zul-mailmonitor@.service zul-updater@.service zul-router@.service zul-milter@.service; do
  sed "s|/usr/local/bin/|$bin/|g" "$units/$unit" > "$work/${unit/@/@$instance}"
  grep -q '^Restart=on-failure' "$units/$unit" || { echo "FAIL $unit: no Restart=on-failure"; failures=$((failures + 1)); }
  grep -q '^User=zul' "$units/$unit" || { echo "FAIL $unit: runs as root"; failures=$((failures + 1)); }
  grep -q '^UMask=0027' "$units/$unit" || { echo "FAIL $unit: others may read what it creates"; failures=$((failures + 1)); }
done
grep -q '^After=.*zul-mailmonitor@%i.service' "$units/zul-router@.service" || { echo "FAIL the router starts before the monitor"; failures=$((failures + 1)); }
grep -q '^NoNewPrivileges' "$units/zul-router@.service" && { echo "FAIL the router's sendmail could not use its set-group program"; failures=$((failures + 1)); }
grep -q '^ExecStart=/usr/local/bin/zulrouter ' "$units/zul-router@.service" || { echo "FAIL the router unit does not run the router"; failures=$((failures + 1)); }
grep -q '^SupplementaryGroups=postfix' "$units/zul-milter@.service" || { echo "FAIL the milter cannot give its socket to Postfix's group"; failures=$((failures + 1)); }
grep -q '^ExecStart=/usr/local/bin/zulmilter .*--listen unix:/var/spool/postfix/zul/milter.sock --group postfix' "$units/zul-milter@.service" \
  || { echo "FAIL the milter's socket is not where Postfix's chrooted smtpd finds it"; failures=$((failures + 1)); }
grep -q '^smtpd_milters = unix:/zul/milter.sock' "$units/../postfix/milter.cf" || { echo "FAIL Postfix looks for the milter elsewhere"; failures=$((failures + 1)); }
for unit in zul-mailmonitor@.service zul-updater@.service; do
  grep -q '^RuntimeDirectory=zul/%i$' "$units/$unit" && grep -q '^RuntimeDirectoryMode=0700' "$units/$unit" \
    && grep -q '^RuntimeDirectoryPreserve=yes' "$units/$unit" || { echo "FAIL $unit: no shared private work folder"; failures=$((failures + 1)); }
done
grep -q 'ExecStartPre=.*mail requeue' "$units/zul-mailmonitor@.service" || { echo "FAIL no requeue before start"; failures=$((failures + 1)); }
if ! out=$(cd "$work" && systemd-analyze verify --man=no "$work/zul-mailmonitor@$instance.service" "$work/zul-updater@$instance.service" "$work/zul-router@$instance.service" "$work/zul-milter@$instance.service" 2>&1); then
  # Without a running systemd the verifier cannot load its own manager; only
  # complaints about the units themselves count.
  if grep -v -e 'Failed to' -e 'not running' -e 'bus' -e 'D-Bus' <<<"$out" | grep -q .; then
    echo "FAIL systemd-analyze verify:"; echo "$out" | sed 's/^/    /'; failures=$((failures + 1))
  fi
fi
echo "$failures failures"
[ "$failures" -eq 0 ]
