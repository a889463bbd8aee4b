#!/usr/bin/env python3
"""A scriptable HTTP server on 127.0.0.1 for the Windows platform tests.

  http_peer.py start DIR   serve on a free port in the background; DIR/http_peer.port
                           holds the port once it listens, DIR/http_peer.pid its pid
  http_peer.py stop DIR    stop that server
"""
import http.server
import os
import signal
import socket
import struct
import sys
import threading
import time

ARCHIVE_SIZE = 5 * 1024 * 1024
# How long the silent and stalling routes hold their connection open: far past the short
# limits the tests give the client, yet bounded, so a client that sets no limit ends
# instead of hanging the run, and is seen to end late.
HOLD_SECONDS = 30


def pattern(size):
    # Must match PatternBytes() in the tests: no period that a short body could hide.
    return bytes((i * 31 + i // 251) & 0xFF for i in range(size))


ARCHIVE = b""  # made by the server process only
hits = {}
hits_lock = threading.Lock()
# /ranged/MODE/NAME: the archive as a server that knows ranges serves it, under the strong
# tag "v1". MODE: honour (ranges and If-Range as RFC 9110 says), ignore (always the whole
# body), refuse (416 to any range), elsewhere (a 206 that starts 10 bytes early),
# cutonce (the first whole answer breaks off at 60 %), overlong (a 206 without a length
# whose body goes on past the archive's end). /ranged-log/MODE/NAME: what each
# request asked for and got, one "range|if-range|status|bytes" line each.
RANGED_SIZE = 1024 * 1024
RANGED_TAG = '"v1"'
ranged_log = {}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def send_body(self, body, status=200, length=True, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        for name, value in headers:
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path == "/text":
            self.send_body(b"4.2.7.1530\r\n05/03/2021\r\nhttp://127.0.0.1/Tallyx.zip\r\n")
        elif path == "/missing":
            self.send_body(b"<html><body>404 introuvable</body></html>", status=404)
        elif path == "/empty":
            self.send_body(b"")
        elif path.startswith("/sized/"):
            self.send_body(pattern(int(path[len("/sized/"):])))
        elif path in ("/endless", "/endless-chunked"):
            # A body without a length that never ends; chunked, it says so in HTTP/1.1.
            chunked = path == "/endless-chunked"
            if chunked:
                self.protocol_version = "HTTP/1.1"
            self.send_response(200)
            if chunked:
                self.send_header("Transfer-Encoding", "chunked")
                self.send_header("Connection", "close")
            self.end_headers()
            self.endless(chunked=chunked)
        elif path == "/nolength":
            self.send_body(pattern(3000), length=False)
        elif path == "/straddle":
            self.send_body(b"x" * 1023 + "\u00e9".encode() + b"fin")
        elif path == "/bom":
            self.send_body(b"\xef\xbb\xbf4.2.7.1530\r\n")
        elif path == "/trickle":
            # Pieces shorter than the reader's chunk, each after a pause.
            body = pattern(2100)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            for start in range(0, len(body), 700):
                self.wfile.write(body[start:start + 700])
                self.wfile.flush()
                time.sleep(0.1)
        elif path == "/cut":
            self.send_response(200)
            self.send_header("Content-Length", "4096")
            self.end_headers()
            self.wfile.write(pattern(2000))
            self.wfile.flush()
            # Linger 0: the close resets the connection instead of ending it cleanly.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        elif path == "/silent":
            # Takes the request and never answers.
            time.sleep(HOLD_SECONDS)
            self.close_connection = True
        elif path in ("/stall", "/stall-archive.zip"):
            # Headers and the first part of the body, then nothing with the connection open.
            size = 4096 if path == "/stall" else ARCHIVE_SIZE
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            self.wfile.write(ARCHIVE[:min(size // 4, 1024 * 1024)])
            self.wfile.flush()
            time.sleep(HOLD_SECONDS)
            self.close_connection = True
        elif path == "/archive.zip":
            self.send_body(ARCHIVE)
        elif path == "/archive-nolength.zip":
            self.send_body(ARCHIVE, length=False)
        elif path.startswith("/ranged/"):
            self.ranged(path)
        elif path.startswith("/multirange/"):
            self.multirange(path)
        elif path.startswith("/ranged-log/"):
            with hits_lock:
                lines = ranged_log.get("/ranged/" + path[len("/ranged-log/"):], [])
                self.send_body("\n".join(lines).encode())
        elif path == "/drip":
            # A byte every half second with the connection open: a trickle that never
            # stops for long, far below any useful rate.
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            for _ in range(2 * HOLD_SECONDS):
                try:
                    self.wfile.write(b"x")
                    self.wfile.flush()
                except OSError:
                    break
                time.sleep(0.5)
            self.close_connection = True
        elif path == "/agent":
            self.send_body(self.headers.get("User-Agent", "").encode())
        elif path.startswith("/hits/"):
            with hits_lock:
                hits[path] = hits.get(path, 0) + 1
                count = hits[path]
            # Cacheable on purpose: only a fetch that bypasses the cache sees the count grow.
            self.send_body(str(count).encode(), headers=[
                ("Cache-Control", "public, max-age=3600"),
                ("Last-Modified", "Mon, 01 Mar 2021 10:00:00 GMT"),
                ("Expires", "Thu, 01 Jan 2037 00:00:00 GMT")])
        else:
            self.send_body(b"unknown", status=404)


def _ranged(self, path):
    mode = path.split("/")[2]
    body = pattern(RANGED_SIZE)
    asked, condition = self.headers.get("Range", ""), self.headers.get("If-Range", "")
    with hits_lock:
        first_request = path not in ranged_log
        entries = ranged_log.setdefault(path, [])
    start = None
    if asked and mode != "ignore" and (not condition or condition == RANGED_TAG):
        start = int(asked.split("=")[1].split("-")[0])
    headers = [("ETag", RANGED_TAG)]
    if start is not None and mode == "refuse":
        status, sent = 416, b""
        headers = [("Content-Range", f"bytes */{len(body)}")]
    elif start is not None:
        first = start - 10 if mode == "elsewhere" else start
        status, sent = 206, body[first:]
        headers.append(("Content-Range", f"bytes {first}-{len(body) - 1}/{len(body)}"))
    elif mode == "cutonce" and first_request:
        status, sent = 200, body[:len(body) * 6 // 10]
    else:
        status, sent = 200, body
    # Logged before sending: a client that walks away must not lose the line.
    with hits_lock:
        entries.append(f"{asked}|{condition}|{status}|{len(sent)}")
    if len(sent) < len(body) and status == 200:
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("ETag", RANGED_TAG)
        self.end_headers()
        self.wfile.write(sent)
        self.wfile.flush()
        # A reset throws away what the client has not read yet: let it read first.
        time.sleep(1)
        # Linger 0: the close resets the connection, as a broken line does.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True
        return
    if status == 206 and mode == "overlong":
        self.send_response(206)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.endless(sent)
        return
    try:
        self.send_body(sent, status=status, headers=headers)
    except OSError:
        pass


def _endless(self, first=b"", chunked=False):
    # `first`, then zeros as fast as the client takes them, until it walks away (or
    # HOLD_SECONDS have passed, so that a client that never stops cannot hang the run).
    block = bytes(64 * 1024)
    deadline = time.monotonic() + HOLD_SECONDS
    try:
        for piece in [first] + [block] * (1 << 20):
            if time.monotonic() > deadline:
                break
            if chunked:
                piece = b"%x\r\n%s\r\n" % (len(piece), piece) if piece else b""
                # A breath between chunks. Wine 8 drains a chunked body to its end when
                # its request is closed early, for as long as data keeps coming without a
                # pause (Windows' InternetCloseHandle ends the connection instead): a
                # server that never pauses holds a closing client under Wine.
                time.sleep(0.005)
            self.wfile.write(piece)
    except OSError:
        pass
    self.close_connection = True


Handler.ranged = _ranged
Handler.endless = _endless

# /multirange/MODE/NAME: the /ranged/ archive's bytes for a Range header of several
# ranges. MODE: multi (206 multipart/byteranges as nginx frames it, written a few bytes
# at a time), single (206 of the first range alone, with its Content-Range), whole (200
# announcing the whole archive: a part of it, then nothing with the connection open),
# stall (the multipart answer stops half-way with the connection open).
MULTI_BOUNDARY = "00000000001234567890"


def _multirange(self, path):
    mode = path.split("/")[2]
    body = pattern(RANGED_SIZE)
    asked = []
    for item in self.headers.get("Range", "").split("=", 1)[1].split(","):
        first, last = item.split("-")
        asked.append((int(first), int(last)))
    if mode == "whole":
        self.send_response(200)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[:64 * 1024])
        self.wfile.flush()
        time.sleep(HOLD_SECONDS)
        self.close_connection = True
        return
    if mode == "single":
        first, last = asked[0]
        self.send_body(body[first:last + 1], status=206, headers=[
            ("Content-Range", f"bytes {first}-{last}/{len(body)}")])
        return
    answer = b""
    for first, last in asked:
        answer += (f"\r\n--{MULTI_BOUNDARY}\r\nContent-Type: application/zip\r\n"
                   f"Content-Range: bytes {first}-{last}/{len(body)}\r\n\r\n").encode()
        answer += body[first:last + 1]
    answer += f"\r\n--{MULTI_BOUNDARY}--\r\n".encode()
    self.send_response(206)
    self.send_header("Content-Type", f"multipart/byteranges; boundary={MULTI_BOUNDARY}")
    self.send_header("Content-Length", str(len(answer)))
    self.end_headers()
    self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        if mode == "stall":
            self.wfile.write(answer[:len(answer) // 2])
            self.wfile.flush()
            time.sleep(HOLD_SECONDS)
        else:
            # Pieces of 7 bytes, a pause now and then: the framing arrives cut anywhere.
            for at in range(0, len(answer), 7):
                self.wfile.write(answer[at:at + 7])
                if at % 70 == 0:
                    time.sleep(0.001)
    except OSError:
        pass
    self.close_connection = True


Handler.multirange = _multirange


def start(folder):
    global ARCHIVE
    ARCHIVE = pattern(ARCHIVE_SIZE)
    port_file = os.path.join(folder, "http_peer.port")
    pid_file = os.path.join(folder, "http_peer.pid")
    stop(folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if os.fork():
        os._exit(0)
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    with open(pid_file, "w") as f:
        f.write(str(os.getpid()))
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".tmp", port_file)
    server.serve_forever()


def stop(folder):
    pid_file = os.path.join(folder, "http_peer.pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for name in ("http_peer.pid", "http_peer.port"):
        try:
            os.remove(os.path.join(folder, name))
        except OSError:
            pass


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    if sys.argv[1] == "start":
        folder = sys.argv[2]
        port_file = os.path.join(folder, "http_peer.port")
        if os.fork() == 0:
            start(folder)
            os._exit(0)
        for _ in range(100):
            if os.path.exists(port_file):
                sys.exit(0)
            time.sleep(0.05)
        sys.exit("http_peer: the server did not start")
    stop(sys.argv[2])
