"""Private network namespace for a whole test process (or the demo).

Everything started afterwards (brokers, servers, routers) inherits it, so all
traffic stays on a loopback of our own and ports cannot collide with the host
or with another test worker.
"""
import ctypes
import os
import socket
import subprocess

CLONE_NEWNET = 0x40000000


def enter_private_network():
    """Move the calling process into a new network namespace with loopback up."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        err = ctypes.get_errno()
        raise OSError(err, "unshare(CLONE_NEWNET) failed: " + os.strerror(err))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def free_port():
    """A TCP port that is free on this namespace's loopback right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
