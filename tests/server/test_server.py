#!/usr/bin/env python3
"""HTTP server for the installer's tests, on 127.0.0.1, that can misbehave on request.

In a test:

    with TestServer() as server:
        server.add_route('/setup.exe', b'MZ...')                    # fixed bytes
        server.add_route('/cut.exe', b'MZ...', fault='reset')       # ... with a fault
        server.add_route('/index.new.php', lambda request: Response(b'...'))
        server.add_route('/flaky.exe', [Response(b'MZ...', fault='reset'), Response(b'MZ...')])
                                                    # successive answers, the last one repeated
        server.add_file_route('/big.bin', '/tmp/big.bin')
        ... fetch server.url('/setup.exe') ...
        server.log()      # every request: time, method, path with query, headers

From a shell: test_server.py --port-file F [--log F] [--serve-file /path=FILE ...]
writes the port to F once it listens and serves until SIGINT/SIGTERM.

Built-in routes:
  /body?size=N&seed=S&status=C&fault=F&cut=K&hold=HOLD&piece=P&delay=MS&maxage=A
      N bytes of pattern(N, S) (see below) with status C (default 200), cacheable for A
      seconds when A is given.
      fault: short     declares N bytes, sends K (default N/2), closes
             reset     sends K bytes, waits HOLD ms (default 200, so that the client has
                       read them: a reset discards what the peer has not read yet), then
                       resets the connection (RST)
             nolength  no Content-Length; the body ends when the connection closes
             slow      P bytes (default 1024) every MS milliseconds (default 20)
             stall     sends K bytes, then nothing more until the server stops
             silent    reads the request and never answers
      range: honour (default) a "Range: bytes=N-" request is answered 206 with the rest;
             ignore    the whole body, 200, as if no range had been asked for;
             wrong     206 with the whole body and a Content-Range saying so (not the part asked)
      validator: etag (default) an ETag naming the body; lastmod a Last-Modified date instead;
             none neither. A request whose If-Range names another version gets the whole body.
      key=NAME&changed=1: every request with this key after its first gets the next version of
             the body (seed S+1, same length, another validator); faulty=F: the fault hits only
             the first F requests with this key, and the later ones get fault T when then=T is given.
      The fault applies to what is sent, after the range: K counts from the range's start.
      Status codes without a body in HTTP (1xx, 204, 304) get headers only.
  /moved?to=URL&status=C  a redirect (status C, default 302) to URL, a path or a whole URL
  /__log[?path=PREFIX] the request log as JSON (requests to /__log are not logged)

`closed_port` is a port nobody listens on: the server holds it bound without listening for its
lifetime, so connections to it are refused and no other program can take it meanwhile.
"""
import argparse
import json
import os
import signal
import socket
import zlib
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["TestServer", "Response", "pattern", "pattern_chunks"]

_BLOCK = 1 << 16
_BASE_BLOCK = bytes(((i * 31) + (i >> 8) * 7) & 0xFF for i in range(_BLOCK))


def pattern_chunks(size, seed=0, start=0):
    """Byte i of a body is (31*i + 7*(i >> 8) + 3*(i >> 16) + seed) mod 256: every value, NUL
    included, appears in each 256 bytes, and a chunk moved or repeated elsewhere changes bytes.
    Yields the body from byte `start` on in blocks of at most 64 KiB, made as they are sent, so
    that a body of any size (past 4 GiB too) costs no memory."""
    offset = start
    while offset < size:
        shift = ((offset >> 16) * 3 + seed) & 0xFF
        table = bytes((b + shift) & 0xFF for b in range(256))
        block = _BASE_BLOCK.translate(table)
        inner = offset & (_BLOCK - 1)
        take = min(_BLOCK - inner, size - offset)
        yield block[inner:inner + take]
        offset += take


def pattern(size, seed=0):
    return b"".join(pattern_chunks(size, seed))


def _no_body(status):
    return status < 200 or status in (204, 304)


class Response:
    """What a route answers. `body` is bytes or an iterable of byte chunks (then give `length`);
    `fault` is one of None, 'short', 'reset', 'nolength', 'slow'."""

    FAULTS = (None, "short", "reset", "nolength", "slow", "stall", "silent")
    RANGES = ("honour", "ignore", "wrong")

    def __init__(self, body=b"", status=200, fault=None, headers=None, length=None,
                 cut=None, hold=0.2, piece=1024, delay=0.02, content_type="application/octet-stream",
                 ranges="honour", validator="etag", version=None, rest=None):
        """`validator`: "etag", "lastmod" or "none": what names this version of the body, made
        from `version` (default: the body's own CRC, for a body given as bytes). `rest`: for a
        chunked body, a function that gives the chunks from a byte on, so that a range is served
        without holding the whole body."""
        if fault not in self.FAULTS:
            raise ValueError("unknown fault %r" % (fault,))
        if ranges not in self.RANGES:
            raise ValueError("unknown range handling %r" % (ranges,))
        if isinstance(body, (bytes, bytearray)):
            if version is None:
                version = zlib.crc32(body)
            body, length = [bytes(body)], len(body)
        if length is None:
            raise ValueError("a chunked body needs its length")
        self.chunks = body
        self.rest = rest
        self.length = length
        self.status = status
        self.fault = fault
        self.headers = dict(headers or {})
        self.cut = length // 2 if cut is None else cut
        self.hold = hold
        self.piece = max(1, piece)
        self.delay = delay
        self.content_type = content_type
        self.ranges = ranges
        self._cut = cut
        self.validator = validator
        if version is not None and validator == "etag":
            self.headers.setdefault("ETag", '"%x-%x"' % (length, version & 0xFFFFFFFF))
        elif version is not None and validator == "lastmod":
            stamp = 1500000000 + (version & 0xFFFFFF)
            self.headers.setdefault("Last-Modified", time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(stamp)))


class _FileBody:
    def __init__(self, filename):
        self.filename = filename


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PellmorrowTestServer/1"

    def log_message(self, format, *args):  # the request log replaces http.server's stderr lines
        pass

    def do_GET(self):
        owner = self.server.owner
        parsed = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True))
        if parsed.path == "/__log":
            prefix = query.get("path", "")
            entries = [e for e in owner.log() if e["path"].startswith(prefix)]
            return self._send(Response(json.dumps(entries, indent=1).encode(), content_type="application/json"))
        owner._record(self)
        try:
            answer = owner._answer(parsed.path, query, self)
        except Exception as error:  # a broken route must show up as a response, not a hang
            answer = Response(("route failed: %r" % (error,)).encode(), status=500, content_type="text/plain")
        if isinstance(answer, _FileBody):
            return self._send_file(answer.filename)
        self._send(answer)

    def _ranged(self, response):
        """The response to send for this request's Range header, if any."""
        asked = self.headers.get("Range", "")
        if not asked.startswith("bytes=") or not asked.endswith("-") or response.status != 200:
            return response
        try:
            start = int(asked[len("bytes="):-1])
        except ValueError:
            return response
        if response.ranges == "ignore" or start >= response.length:
            return response
        # If-Range: the rest only of the version the client holds; another gets the whole body.
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range not in (response.headers.get("ETag"),
                                                     response.headers.get("Last-Modified")):
            return response
        first = 0 if response.ranges == "wrong" else start
        if response.rest:
            body = response.rest(first)
        else:
            body = [b"".join(response.chunks)[first:]]
        part = Response(body, length=response.length - first, status=206, fault=response.fault, headers=response.headers,
                        cut=response._cut, hold=response.hold, piece=response.piece, delay=response.delay,
                        content_type=response.content_type, validator="none")
        part.headers["Content-Range"] = "bytes %d-%d/%d" % (first, response.length - 1, response.length)
        return part

    def _send(self, response):
        self.close_connection = True
        if response.fault == "silent":
            self.server.owner._stopping.wait()
            return
        response = self._ranged(response)
        self.send_response(response.status)
        self.send_header("Content-Type", response.content_type)
        for name, value in response.headers.items():
            self.send_header(name, value)
        has_body = not _no_body(response.status)
        if has_body and response.fault != "nolength":
            self.send_header("Content-Length", str(response.length))
        self.send_header("Connection", "close")
        self.end_headers()
        if not has_body:
            return
        try:
            if response.fault in ("short", "reset", "stall"):
                self._write(response.chunks, limit=response.cut)
                self.wfile.flush()
                if response.fault == "stall":
                    self.server.owner._stopping.wait()
                elif response.fault == "reset":
                    self.server.owner._stopping.wait(response.hold)
                    self._reset()
            elif response.fault == "slow":
                self._write(response.chunks, piece=response.piece, delay=response.delay)
            else:
                self._write(response.chunks)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client went away; nothing to tell it

    def _write(self, chunks, limit=None, piece=None, delay=0.0):
        sent = 0
        for chunk in chunks:
            if limit is not None:
                chunk = chunk[: max(0, limit - sent)]
            step = piece or len(chunk) or 1
            for start in range(0, len(chunk), step):
                if piece and self.server.owner._stopping.wait(delay):
                    return
                self.wfile.write(chunk[start:start + step])
            sent += len(chunk)
            if limit is not None and sent >= limit:
                return

    def _reset(self):
        # SO_LINGER with a zero time makes close() send RST instead of FIN.
        self.wfile.flush()
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def _send_file(self, filename):
        self.close_connection = True
        with open(filename, "rb") as f:
            size = f.seek(0, 2)
            f.seek(0)
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            try:
                self.connection.sendfile(f)
            except (BrokenPipeError, ConnectionResetError):
                pass

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass  # the socket was reset on purpose


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that vanished mid-response is part of the tests


class TestServer:
    """The server, listening as soon as it is constructed, serving on a thread of its own."""

    def __init__(self, host="127.0.0.1", port=0, log_path=None, tls=None):
        """With `tls`, a (certificate chain file, key file) pair, the server speaks HTTPS."""
        self._routes = {}
        self._keys = {}
        self._log = []
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._log_file = open(log_path, "a", encoding="utf-8") if log_path else None
        self._closed = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._closed.bind((host, 0))
        self.closed_port = self._closed.getsockname()[1]
        self._httpd = _Server((host, port), _Handler)
        self._httpd.owner = self
        self.scheme = "https" if tls else "http"
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            # The handshake happens on the request's own thread, at its first read: a client that
            # refuses the certificate fails there and holds up nobody else.
            self._httpd.socket = context.wrap_socket(self._httpd.socket, server_side=True,
                                                     do_handshake_on_connect=False)
        self.host = host
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="test-server", daemon=True)
        self._thread.start()

    def url(self, path="/"):
        return "%s://%s:%d%s" % (self.scheme, self.host, self.port, path)

    def add_route(self, path, body, status=200, fault=None, headers=None, **options):
        """Serves `body` (bytes) at `path` (query ignored), or calls `body(request)` for each
        request when it is callable; the request has .path, .query (dict) and .headers and the
        call returns a Response. A list of Responses answers successive requests in turn, the
        last one repeated."""
        if isinstance(body, list):
            answers = list(body)
            self._routes[path] = lambda request: answers.pop(0) if len(answers) > 1 else answers[0]
        elif callable(body):
            self._routes[path] = body
        else:
            response = Response(body, status=status, fault=fault, headers=headers, **options)
            self._routes[path] = lambda request: response

    def add_file_route(self, path, filename):
        """Serves a file as it is on disk when asked, with sendfile (fast enough to measure with)."""
        self._routes[path] = lambda request: _FileBody(filename)

    def remove_route(self, path):
        self._routes.pop(path, None)

    def log(self):
        with self._lock:
            return [dict(e) for e in self._log]

    def clear_log(self):
        with self._lock:
            self._log.clear()

    def stop(self):
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
        self._closed.close()
        if self._log_file:
            self._log_file.close()
            self._log_file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def _record(self, handler):
        entry = {"time": time.time(), "method": handler.command, "path": handler.path,
                 "headers": dict(handler.headers.items())}
        with self._lock:
            self._log.append(entry)
            if self._log_file:
                self._log_file.write(json.dumps(entry) + "\n")
                self._log_file.flush()

    def _answer(self, path, query, handler):
        route = self._routes.get(path)
        if route:
            handler.query = query
            return route(handler)
        if path == "/body":
            with self._lock:
                seen = self._keys.get(query.get("key"), 0)
                if "key" in query:
                    self._keys[query["key"]] = seen + 1
            return _body_response(query, seen)
        if path == "/moved":
            return Response(b"", status=int(query.get("status", "302")), headers={"Location": query["to"]})
        return Response(b"no such route\n", status=404, content_type="text/plain")


def _body_response(query, seen):
    """`seen`: how many requests with the same key came before this one."""
    size = int(query.get("size", "0"))
    seed = int(query.get("seed", "0"))
    if query.get("changed") == "1" and seen > 0:
        seed += 1
    fault = query.get("fault") or None
    if "faulty" in query and seen >= int(query["faulty"]):
        fault = query.get("then") or None
    cut = int(query["cut"]) if "cut" in query else None
    hold = int(query.get("hold", "200")) / 1000.0
    headers = {"Cache-Control": "max-age=" + query["maxage"]} if "maxage" in query else None
    return Response(pattern_chunks(size, seed), length=size, rest=lambda first: pattern_chunks(size, seed, first),
                    status=int(query.get("status", "200")), headers=headers,
                    fault=fault, cut=cut, hold=hold, piece=int(query.get("piece", "1024")),
                    delay=int(query.get("delay", "20")) / 1000.0, ranges=query.get("range", "honour"),
                    validator=query.get("validator", "etag"), version=size * 256 + seed)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port-file", required=True, help="written with the port once listening")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", help="append each request as a JSON line")
    parser.add_argument("--serve-file", action="append", default=[], metavar="/PATH=FILE")
    args = parser.parse_args(argv)

    server = TestServer(port=args.port, log_path=args.log)
    for entry in args.serve_file:
        path, _, filename = entry.partition("=")
        server.add_file_route(path, filename)
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    with open(args.port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.port)
    # Renamed into place so that a reader never sees a half-written port.
    os.replace(args.port_file + ".tmp", args.port_file)
    while not done.wait(0.5):
        pass
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
