"""A small HTTP server on 127.0.0.1 for the end-to-end runs: serves scripted bodies,
can send them slowly, cut them off, redirect or answer 404, and records every request.
Given a certificate, it speaks HTTPS."""
import http.server
import socketserver
import ssl
import sys
import threading
import time


class Route:
    def __init__(self, body=b"", status=200, rate=None, cut_after=None, length=True,
                 silent_for=None, stall_after=None, stall_for=None, location=None):
        self.body, self.status, self.rate = body, status, rate
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
        self.refused_handshakes = 0  # TLS connections the client broke off
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def setup(self):
                # The handshake runs on the connection's own thread, so a client that
                # walks away from it holds no other connection up.
                if tls:
                    try:
                        self.request.do_handshake()
                    except (ssl.SSLError, OSError):
                        outer.refused_handshakes += 1
                        raise
                super().setup()

            def do_GET(self):
                outer.requests.append((self.path, self.headers.get("User-Agent", "")))
                route = outer.routes.get(self.path)
                if route is None:
                    route = Route(b"<html><body>404 Not Found</body></html>", status=404)
                if route.silent_for:
                    time.sleep(route.silent_for)
                    self.close_connection = True
                    return
                self.send_response(route.status)
                self.send_header("Content-Type", "application/octet-stream")
                if route.location:
                    self.send_header("Location", route.location)
                if route.length:
                    self.send_header("Content-Length", str(len(route.body)))
                else:
                    self.send_header("Connection", "close")
                self.end_headers()
                body = route.body
                if route.cut_after is not None:
                    body = body[:route.cut_after]
                if route.stall_after is not None:
                    try:
                        self.wfile.write(body[:route.stall_after])
                        self.wfile.flush()
                    except OSError:
                        return
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
                    if route.rate:
                        time.sleep(step / route.rate)
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
