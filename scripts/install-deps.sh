#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the Windows cross build need.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

packages=(
    build-essential cmake ninja-build clang-format
    libgtest-dev libcurl4-openssl-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 fonts-liberation2
    iproute2 util-linux python3 openssl ca-certificates
    chromium locales clang libclang-rt-14-dev
    xvfb xdotool imagemagick libcairo2-dev
    iptables iperf3 curl libnetfilter-queue-dev nlohmann-json3-dev
    prometheus prometheus-pushgateway prometheus-node-exporter
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
else
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${packages[@]}"
fi

# The Prometheus packages enable their services; the tests start their own copies in a private
# namespace, so the machine's are not wanted running (nor is the state they would keep).
if [ -d /run/systemd/system ]; then
    systemctl disable --now prometheus prometheus-pushgateway prometheus-node-exporter >/dev/null 2>&1 || true
fi

# A comma-decimal locale, so that the tests can show that files and pages keep "." in it.
if ! locale -a 2>/dev/null | grep -qi '^pt_BR\.utf-\?8$'; then
    localedef -i pt_BR -f UTF-8 pt_BR.UTF-8
fi
