#!/usr/bin/env bash
# Runs CMD inside the root DIR (scripts/debian13-root.sh), as root:
#   scripts/debian13-chroot.sh DIR CMD [ARG...]
# In mount and PID namespaces of their own: /proc, /dev, a fresh /tmp, /run
# and /dev/shm are mounted for CMD alone, and every process CMD started ends
# with it. The network is this machine's (apt and npm reach their registries),
# and so are the certificate authorities Node.js trusts (NODE_EXTRA_CA_CERTS).
# The environment is a clean one: pass variables with `env NAME=VALUE CMD`.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DIR CMD [ARG...]" >&2; exit 2; }
root=$(cd "$1" && pwd)
shift
[ -x "$root/bin/sh" ] || { echo "$0: $root is not a root file system" >&2; exit 1; }
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
ca=()
if [ -f "${NODE_EXTRA_CA_CERTS:-}" ]; then
  cp -L "$NODE_EXTRA_CA_CERTS" "$root/etc/host-ca-certificates.crt"
  ca=(NODE_EXTRA_CA_CERTS=/etc/host-ca-certificates.crt)
fi
exec unshare --mount --pid --fork --kill-child -- sh -c '
  set -e
  root=$1
  shift
  # A mount point of its own: unshare --mount inside (the tests) can then
  # make it private.
  mount --rbind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  mount -t tmpfs -o mode=755 tmpfs "$root/run"
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" "$@"
' sh "$root" ${ca[@]+"${ca[@]}"} "$@"
