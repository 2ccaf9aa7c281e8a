#!/usr/bin/env bash
# Runs a command in a private network namespace that has only loopback, with the tests' own
# name table and a resolver that points at loopback. Nothing the command does can leave the
# machine, and names that the table lacks fail at once instead of asking a real DNS server.
# Needs root (unshare). Usage: scripts/isolated.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${VELMORA_ISOLATED_NET:-}" = 1 ]; then
    exec "$@"
fi

exec unshare --net --mount --propagation private -- bash -c '
    set -e
    ip link set lo up
    resolv=$(mktemp)
    echo "nameserver 127.0.0.1" > "$resolv"
    mount --bind "$1/tests/support/hosts" /etc/hosts
    mount --bind "$resolv" /etc/resolv.conf
    export VELMORA_ISOLATED_NET=1
    shift
    status=0
    "$@" || status=$?
    rm -f "$resolv"
    exit $status
' isolated "$here" "$@"
