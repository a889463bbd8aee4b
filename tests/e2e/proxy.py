"""A small forward HTTP proxy on 127.0.0.1 for the end-to-end runs: takes requests in the
absolute form WinINet sends to a proxy, fetches them from the address its table maps the
host to (so a host name can be known to the proxy alone), streams the answer back, and
records every request. It also serves /proxy.pac (a script that sends every address
through it) to clients that ask it directly."""
import http.client
import http.server
import socketserver
import threading
import urllib.parse


class Proxy:
    def __init__(self, port, table):
        """table: {(host, port): (host, port)} of the origins the proxy knows."""
        self.requests = []  # absolute addresses asked for
        self.port = port
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path == "/proxy.pac":
                    script = ('function FindProxyForURL(url, host) '
                              f'{{ return "PROXY 127.0.0.1:{outer.port}"; }}').encode()
                    self.send_response(200)
                    self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                    self.send_header("Content-Length", str(len(script)))
                    self.end_headers()
                    self.wfile.write(script)
                    return
                outer.requests.append(self.path)
                address = urllib.parse.urlsplit(self.path)
                origin = table.get((address.hostname, address.port or 80))
                if origin is None:
                    self.send_error(502, "unknown origin")
                    return
                connection = http.client.HTTPConnection(*origin, timeout=120)
                path = address.path + (f"?{address.query}" if address.query else "")
                headers = {k: v for k, v in self.headers.items()
                           if k.lower() not in ("proxy-connection", "connection", "host")}
                headers["Host"] = address.netloc
                connection.request("GET", path, headers=headers)
                answer = connection.getresponse()
                self.send_response(answer.status)
                for name, value in answer.getheaders():
                    if name.lower() not in ("connection", "transfer-encoding", "keep-alive"):
                        self.send_header(name, value)
                if answer.getheader("Content-Length") is None:
                    self.send_header("Connection", "close")
                    self.close_connection = True
                self.end_headers()
                while True:
                    block = answer.read(65536)
                    if not block:
                        break
                    self.wfile.write(block)
                connection.close()

        class Threading(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.httpd = Threading(("127.0.0.1", port), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
