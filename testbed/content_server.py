"""Reference content server: HTTPS on loopback with file information and
files that can be resumed with Range requests.

    server = ContentServer(cert_path, key_path)
    server.start()
    f = server.add_file("gps_2.1.0.tgz", data)      # f.url, f.info_url
    f.drops = [4096, 4096]   # the next two transfers break after 4096 bytes each
    f.hash = f.hash.upper()  # what the file information reports
    f.reply = {"success": False, "message": "not found"}   # or raw text
    server.requests          # (method, path, Range header) of every request

GET /fileinfo/<id>         {"success": true, "data": {"size", "usize", "hash"}}
GET /file/<id>/<name>      the file; "Range: bytes=N-" gives 206 from byte N
GET /pub/<id>/<name>       the same file at a URL without "/file/"

A dropped transfer sends its headers with the full length, then the given
number of body bytes, then a broken TLS record, which the client sees as a
failure in receiving data.
"""
import hashlib
import http.server
import itertools
import json
import re
import socket
import ssl
import sys
import threading
from urllib.parse import unquote

_ids = itertools.count(1)
# An application-data record of TLS 1.2 whose content is no valid ciphertext.
_BROKEN_RECORD = bytes([23, 3, 3, 0, 48]) + bytes(range(48))


class ServedFile:
    def __init__(self, name, data, file_id=None, usize=None):
        self.id = file_id or f"f{next(_ids):04d}"
        self.name = name
        self.data = bytes(data)
        self.size = len(self.data)
        self.usize = self.size if usize is None else usize
        self.hash = hashlib.sha1(self.data).hexdigest()
        self.reply = None   # a dict or raw text instead of the normal file information
        self.drops = []     # body bytes of the next transfers before the connection breaks
        self.base_url = None

    @property
    def url(self):
        return f"{self.base_url}/file/{self.id}/{self.name}"

    @property
    def plain_url(self):
        """The same file under a path without "/file/" (no file information)."""
        return f"{self.base_url}/pub/{self.id}/{self.name}"

    @property
    def info_url(self):
        return f"{self.base_url}/fileinfo/{self.id}"

    def info_body(self):
        if self.reply is None:
            body = {"success": True, "data": {"size": self.size, "usize": self.usize, "hash": self.hash}}
        else:
            body = self.reply
        return body if isinstance(body, (str, bytes)) else json.dumps(body)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        server = self.server.owner
        path = unquote(self.path.split("?", 1)[0])
        with server.lock:
            server.requests.append(("GET", path, self.headers.get("Range")))
        m = re.fullmatch(r"/fileinfo/([^/]+)", path)
        if m:
            f = server.files_by_id.get(m.group(1))
            body = f.info_body() if f else json.dumps({"success": False, "message": "not found"})
            self._send(200, body.encode() if isinstance(body, str) else body, "application/json")
            return
        m = re.fullmatch(r"/(?:file|pub)/([^/]+)/(.+)", path)
        f = server.files_by_id.get(m.group(1)) if m else None
        if f is None or f.name != m.group(2):
            self._send(404, b"not found\n", "text/plain")
            return
        self._send_file(f)

    def _send(self, code, body, ctype, extra=()):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(body)

    def _send_file(self, f):
        total = len(f.data)
        start, end = 0, total - 1
        rng = self.headers.get("Range")
        code, extra = 200, [("Accept-Ranges", "bytes")]
        if rng:
            m = re.fullmatch(r"bytes=(\d*)-(\d*)", rng.strip())
            if not m or not m.group(1):
                self._send(416, b"", "text/plain", [("Content-Range", f"bytes */{total}")])
                return
            start = int(m.group(1))
            if m.group(2):
                end = min(int(m.group(2)), total - 1)
            if start >= total or start > end:
                self._send(416, b"", "text/plain", [("Content-Range", f"bytes */{total}")])
                return
            code = 206
            extra.append(("Content-Range", f"bytes {start}-{end}/{total}"))
        body = f.data[start:end + 1]
        with self.server.owner.lock:
            drop = f.drops.pop(0) if f.drops else None
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        for k, v in extra:
            self.send_header(k, v)
        self.end_headers()
        if drop is None or drop >= len(body):
            self.wfile.write(body)
            return
        self.wfile.write(body[:drop])
        self.wfile.flush()
        self.close_connection = True
        # Breaks the stream in the middle of the body with a TLS record that
        # cannot be decrypted, sent past the TLS layer. Everything sent before
        # arrives in order, so the client keeps exactly `drop` bytes and fails
        # in receiving data.
        socket.socket.sendall(self.connection, _BROKEN_RECORD)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def finish_request(self, request, client_address):
        try:
            tls = self.owner.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            super().finish_request(tls, client_address)
        except (ssl.SSLError, OSError):
            pass

    def shutdown_request(self, request):
        try:
            super().shutdown_request(request)
        except OSError:
            pass

    def handle_error(self, request, client_address):
        pass


class ContentServer:
    def __init__(self, cert, key, host="127.0.0.1", port=0):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(str(cert), str(key))
        self.host = host
        self.lock = threading.Lock()
        self.requests = []
        self.files_by_id = {}
        self._httpd = _Server((host, port), _Handler)
        self._httpd.owner = self
        self.port = self._httpd.server_address[1]
        self._thread = None

    @property
    def base_url(self):
        return f"https://{self.host}:{self.port}"

    def add_file(self, name, data, file_id=None, usize=None):
        f = ServedFile(name, data, file_id, usize)
        f.base_url = self.base_url
        with self.lock:
            self.files_by_id[f.id] = f
        return f

    def file_requests(self, f):
        """(path, Range header) of the transfers of one file, in order."""
        with self.lock:
            return [(p, r) for (_, p, r) in self.requests
                    if p.startswith(f"/file/{f.id}/") or p.startswith(f"/pub/{f.id}/")]

    def info_requests(self, f):
        with self.lock:
            return [p for (_, p, _) in self.requests if p == f"/fileinfo/{f.id}"]

    def start(self):
        self._thread = threading.Thread(target=self._httpd.serve_forever, name="content-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        if self._thread:
            self._thread.join(10)


def main(argv):
    """content_server.py CERT KEY PORT FILE...: serves each file under its own
    name with a fresh identifier and prints the download URLs."""
    if len(argv) < 3:
        print(main.__doc__, file=sys.stderr)
        return 2
    server = ContentServer(argv[0], argv[1], port=int(argv[2]))
    for path in argv[3:]:
        with open(path, "rb") as fh:
            print(server.add_file(path.rsplit("/", 1)[-1], fh.read()).url, flush=True)
    server.start()
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
