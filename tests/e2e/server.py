"""A small HTTP server on 127.0.0.1 for the end-to-end runs: serves scripted bodies,
can send them slowly, cut them off, redirect or answer 404, and records every request.
Given a certificate, it speaks HTTPS."""
import http.server
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time


class Route:
    def __init__(self, body=b"", status=200, rate=None, cut_after=None, length=True,
                 silent_for=None, stall_after=None, stall_for=None, location=None,
                 etag=None, ranges=False, drip=None, reset=False, multipart=True):
        self.body, self.status, self.rate = body, status, rate
        # multipart: several ranges in one request answered with a multipart/byteranges
        # body; without it, with the whole body, as nginx does past its max_ranges.
        self.multipart = multipart
        # etag: the strong tag sent with the body; ranges: Range and If-Range answered as
        # RFC 9110 says (a 206 for a tag that matches, the whole body otherwise).
        self.etag, self.ranges = etag, ranges
        # drip: seconds between single bytes of the body, the connection held open.
        self.drip = drip
        # reset: a cut ends with a reset (linger 0) instead of an orderly close.
        self.reset = reset
        self.location = location  # the Location header of a redirect
        self.cut_after, self.length = cut_after, length
        # silent_for: take the request, then say nothing for that many seconds.
        # stall_after/stall_for: send that many bytes of the body, then nothing with the
        # connection open for that many seconds. Both bounded, so no thread outlives a run
        # by much.
        self.silent_for = silent_for
        self.stall_after, self.stall_for = stall_after, stall_for


class Server:
    def __init__(self, port, tls=None):
        """tls: (certificate, key) files to serve HTTPS with."""
        self.routes = {}
        self.requests = []  # (path, user agent)
        self.headers = []  # (path, Range, If-Range) of every request
        self.sent = {}  # body bytes sent for each path, in all
        self.lock = threading.Lock()
        self.refused_handshakes = 0  # TLS connections the client broke off
        self.connections = 0  # connections the client opened
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                outer.connections += 1
                # The handshake runs on the connection's own thread, so a client that
                # walks away from it holds no other connection up.
                if tls:
                    try:
                        self.request.do_handshake()
                    except (ssl.SSLError, OSError):
                        outer.refused_handshakes += 1
                        raise
                super().setup()

            def count(self, n):
                with outer.lock:
                    outer.sent[self.path] = outer.sent.get(self.path, 0) + n

            def do_GET(self):
                outer.requests.append((self.path, self.headers.get("User-Agent", "")))
                outer.headers.append((self.path, self.headers.get("Range"),
                                      self.headers.get("If-Range")))
                route = outer.routes.get(self.path)
                if route is None:
                    route = Route(b"<html><body>404 Not Found</body></html>", status=404)
                if route.silent_for:
                    time.sleep(route.silent_for)
                    self.close_connection = True
                    return
                body, status, extra = route.body, route.status, []
                asked, condition = self.headers.get("Range"), self.headers.get("If-Range")
                content_type = "application/octet-stream"
                if route.ranges and asked and status == 200 and (
                        condition is None or condition == route.etag):
                    spans = []
                    for item in asked.split("=", 1)[1].split(","):
                        first, last = item.split("-")
                        last = int(last) if last else len(body) - 1
                        spans.append((int(first), min(last, len(body) - 1)))
                    if spans[0][0] >= len(body):
                        status, extra, body = 416, [("Content-Range", f"bytes */{len(body)}")], b""
                    elif len(spans) == 1:
                        first, last = spans[0]
                        status = 206
                        extra = [("Content-Range", f"bytes {first}-{last}/{len(body)}")]
                        body = body[first:last + 1]
                    elif route.multipart:
                        status, boundary, parts = 206, "00000000001", []
                        for first, last in spans:
                            parts.append(f"\r\n--{boundary}\r\nContent-Type: {content_type}\r\n"
                                         f"Content-Range: bytes {first}-{last}/{len(body)}\r\n\r\n"
                                         .encode() + body[first:last + 1])
                        body = b"".join(parts) + f"\r\n--{boundary}--\r\n".encode()
                        content_type = f"multipart/byteranges; boundary={boundary}"
                self.send_response(status)
                self.send_header("Content-Type", content_type)
                if route.etag:
                    self.send_header("ETag", route.etag)
                for name, value in extra:
                    self.send_header(name, value)
                if route.location:
                    self.send_header("Location", route.location)
                if route.length:
                    self.send_header("Content-Length", str(len(body)))
                else:
                    self.send_header("Connection", "close")
                self.end_headers()
                if route.drip:
                    for offset in range(len(body)):
                        try:
                            self.wfile.write(body[offset:offset + 1])
                            self.wfile.flush()
                        except OSError:
                            return
                        self.count(1)
                        time.sleep(route.drip)
                    return
                if route.cut_after is not None:
                    body = body[:route.cut_after]
                if route.stall_after is not None:
                    try:
                        self.wfile.write(body[:route.stall_after])
                        self.wfile.flush()
                    except OSError:
                        return
                    self.count(len(body[:route.stall_after]))
                    time.sleep(route.stall_for)
                    self.close_connection = True
                    return
                step = 16384
                for offset in range(0, len(body), step):
                    try:
                        self.wfile.write(body[offset:offset + step])
                        self.wfile.flush()
                    except OSError:
                        return
                    self.count(len(body[offset:offset + step]))
                    if route.rate:
                        time.sleep(step / route.rate)
                if route.cut_after is not None and route.reset:
                    # A reset throws away what the client has not read yet: let it read.
                    time.sleep(1)
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                               struct.pack("ii", 1, 0))
                    self.connection.close()
                    self.close_connection = True
                    return
                if route.cut_after is not None or not route.length:
                    self.close_connection = True
                    try:
                        self.connection.shutdown(2)
                    except OSError:
                        pass

        class Threading(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                # A refused handshake (counted) or a client gone is no server fault.
                if not isinstance(sys.exc_info()[1], OSError):
                    super().handle_error(request, client_address)

        self.httpd = Threading(("127.0.0.1", port), Handler)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            self.httpd.socket = context.wrap_socket(self.httpd.socket, server_side=True,
                                                    do_handshake_on_connect=False)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()

    def count(self, path):
        return sum(1 for p, _ in self.requests if p == path)
