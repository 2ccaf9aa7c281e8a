#!/usr/bin/env bash
# Runs a command in a private network namespace that has only loopback, with the tests' own
# name table, a resolver that points at loopback and a throw-away test CA added to the system
# certificate bundle (seen only inside). Nothing the command does can leave the machine, and
# names that the table lacks fail at once instead of asking a real DNS server.
# Needs root (unshare). Usage: scripts/isolated.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${VELMORA_ISOLATED_NET:-}" = 1 ]; then
    exec "$@"
fi

exec unshare --net --mount --propagation private -- bash -c '
    set -e
    here=$1
    shift
    ip link set lo up
    # Loopback would let every connection queue megabytes in its socket buffers; a real link
    # holds far less in flight. The Windows build counts upload bytes once WinHTTP has taken
    # them (it cannot see what the server acknowledged), so these queues would blur its upload
    # figures against a paced server. The benchmarks keep the defaults
    # (VELMORA_LOOPBACK_BUFFERS=default).
    if [ "${VELMORA_LOOPBACK_BUFFERS:-}" != default ]; then
        sysctl -q -w net.ipv4.tcp_rmem="4096 131072 262144" net.ipv4.tcp_wmem="4096 16384 262144"
    fi
    work=$(mktemp -d)
    trap "rm -rf \"$work\"" EXIT
    echo "nameserver 127.0.0.1" > "$work/resolv.conf"
    mount --bind "$here/tests/support/hosts" /etc/hosts
    mount --bind "$work/resolv.conf" /etc/resolv.conf

    # A CA and a certificate for localhost / 127.0.0.1, trusted by libcurl, OpenSSL and
    # Wine alike through the bundle they all read.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=VELMORA test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
    printf "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n" \
        > "$work/server.ext"
    openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
        -set_serial 1 -days 2 -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null
    bundle=/etc/ssl/certs/ca-certificates.crt
    { cat "$bundle" 2>/dev/null || true; cat "$work/ca.pem"; } > "$work/bundle.crt"
    mkdir -p /etc/ssl/certs
    [ -e "$bundle" ] || touch "$bundle"
    mount --bind "$work/bundle.crt" "$bundle"

    export VELMORA_ISOLATED_NET=1
    export VELMORA_TEST_CERT="$work/server.pem" VELMORA_TEST_KEY="$work/server.key"
    status=0
    "$@" || status=$?
    exit $status
' isolated "$here" "$@"
