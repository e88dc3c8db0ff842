#!/usr/bin/env bash
# Installs what the acquisition benchmark compares with: nginx (Debian's
# nginx-light) to serve the repository, and aria2c. Packages already present
# are left alone. Installing nginx would start a system server on port 80;
# a policy-rc.d that refuses every service start is in place while apt-get
# runs, and whatever was there before is put back afterwards.
set -euo pipefail

missing=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || missing+=(nginx-light)
command -v aria2c >/dev/null 2>&1 || missing+=(aria2)
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-bench-deps: need root to install: ${missing[*]}" >&2
  exit 1
fi

policy=/usr/sbin/policy-rc.d
backup=""
if [ -e "$policy" ]; then
  backup=$(mktemp /usr/sbin/.policy-rc.d.XXXXXX)
  cp -p "$policy" "$backup"
fi
restore() {
  if [ -n "$backup" ]; then
    mv -f "$backup" "$policy"
  else
    rm -f "$policy"
  fi
}
trap restore EXIT
trap 'exit 130' INT TERM
printf '#!/bin/sh\nexit 101\n' >"$policy"
chmod 0755 "$policy"

export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}" ||
  { apt-get -o DPkg::Lock::Timeout=600 update && apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"; }

# A server started anyway (by a package without an init script check) is stopped.
if [ -f /run/nginx.pid ]; then
  kill "$(cat /run/nginx.pid)" 2>/dev/null || true
fi
