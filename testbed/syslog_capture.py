"""Receives the syslog datagrams of a simulated router's /dev/log and writes
one JSON object per line: priority, severity name, ident, pid and message.

Usage: syslog_capture.py SOCKET_PATH OUTPUT_FILE
"""
import json
import os
import re
import signal
import socket
import sys

SEVERITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]
LINE = re.compile(rb"^<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d )?(.*?)(?:\[(\d+)\])?: (.*)$", re.S)


def parse(datagram):
    m = LINE.match(datagram)
    if not m:
        return {"pri": None, "severity": None, "ident": "", "pid": None,
                "msg": datagram.decode("utf-8", "replace")}
    pri = int(m.group(1))
    return {
        "pri": pri,
        "severity": SEVERITIES[pri & 7],
        "ident": m.group(2).decode("utf-8", "replace"),
        "pid": int(m.group(3)) if m.group(3) else None,
        "msg": m.group(4).rstrip(b"\n").decode("utf-8", "replace"),
    }


def main(path, output):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    os.chmod(path, 0o666)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    with open(output, "a", buffering=1) as out:
        # Tell the starter that the socket is bound.
        print("ready", flush=True)
        while True:
            data = sock.recv(65536)
            out.write(json.dumps(parse(data)) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
