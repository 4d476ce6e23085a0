"""Announces one service with python-zeroconf, an mDNS stack independent of
Avahi, on 127.0.0.1 only, until stdin closes or the process is terminated.

usage: announce_zeroconf.py NAME TYPE PORT   (TYPE like _mqtt._tcp)
"""

import signal
import socket
import sys
import threading

from zeroconf import IPVersion, ServiceInfo, Zeroconf


def main() -> int:
    name, service_type, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    full_type = service_type + ".local."
    info = ServiceInfo(
        full_type,
        name + "." + full_type,
        addresses=[socket.inet_aton("127.0.0.1")],
        port=port,
        server="zeroconf-announcer.local.",
    )
    zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
    zc.register_service(info)
    print("announced", flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    done.wait()
    zc.unregister_service(info)
    zc.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
