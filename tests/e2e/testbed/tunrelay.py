#!/usr/bin/env python3
"""A VPN in miniature for the testbed: the IP packets of a tun device travel as UDP datagrams
between two namespaces, one per datagram, unencrypted (what the program sees is a tun device with
the route through it; the crypto is not its concern).

  tunrelay.py DEVICE LOCAL_IP LOCAL_PORT PEER_IP PEER_PORT

Ends when its namespace is torn down (the testbed's `down` ends every process in it)."""
import fcntl, os, select, socket, struct, sys

TUNSETIFF, IFF_TUN, IFF_NO_PI = 0x400454CA, 0x0001, 0x1000


def main():
    device, local_ip, local_port, peer_ip, peer_port = sys.argv[1:6]
    tun = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(tun, TUNSETIFF, struct.pack("16sH", device.encode(), IFF_TUN | IFF_NO_PI))
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    udp.bind((local_ip, int(local_port)))
    peer = (peer_ip, int(peer_port))
    print("tunrelay: ready", flush=True)
    while True:
        ready, _, _ = select.select([tun, udp], [], [])
        if tun in ready:
            try:
                udp.sendto(os.read(tun, 65536), peer)
            except OSError:
                pass  # the peer not up yet, or a full buffer: that packet is lost, as on a link
        if udp in ready:
            packet = udp.recv(65536)
            try:
                os.write(tun, packet)
            except OSError:
                pass


if __name__ == "__main__":
    main()
