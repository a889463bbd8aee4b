"""The serving guide's nginx configuration (tools/publish/nginx-release.conf.in) keeps its
promises: the manifest is never answered from a cache, the archives and their indexes are
cached for good, ranges (one or many a request) and HEAD work, plain http moves to https.
Runs nginx unprivileged on loopback.

usage: serving_test.py --template FILE --work DIR --port N [--nginx EXE]
(https on N, http on N+1)
"""
import argparse
import http.client
import os
import shutil
import ssl
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import nginx_site  # noqa: E402

MANIFEST = b"4.2.7.1530\r\n05/03/2021\r\nhttps://localhost/dl/Tallyx_4.2.7.1530.zip\r\n"
ARCHIVE = bytes((i * 7 + i // 256) & 0xFF for i in range(300_000))
# Long and repetitive enough that nginx would compress it if it were allowed to.
INDEX = b"TallyxUpdater index 1\n" + b"".join(
    b"entry %d 100 50 120 0badf00d %s docs/file%d.txt\n" % (i * 100, b"ab" * 32, i)
    for i in range(2000))
YEAR = 31536000
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAILED:", message)


def cache_control(response):
    return {part.strip() for part in (response.getheader("Cache-Control") or "").split(",")}


def multipart_parts(content_type, body):
    """The (Content-Range, bytes) of each part of a multipart/byteranges body."""
    kind, _, params = content_type.partition(";")
    if kind.strip().lower() != "multipart/byteranges":
        return None
    boundary = params.strip()
    if not boundary.startswith("boundary="):
        return None
    delimiter = b"\r\n--" + boundary[len("boundary="):].strip('"').encode()
    # nginx starts the body with the CR LF that belongs to the first delimiter.
    pieces = (body if body.startswith(b"\r\n") else b"\r\n" + body).split(delimiter)
    if pieces[0] != b"" or pieces[-1] not in (b"--", b"--\r\n"):
        return None
    parts = []
    for piece in pieces[1:-1]:
        head, _, data = piece.partition(b"\r\n\r\n")
        fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
        parts.append((fields.get("Content-Range"), data))
    return parts


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--template", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--nginx", default="nginx")
    args = p.parse_args()
    https_port, http_port = args.port, args.port + 1  # as the site is configured

    shutil.rmtree(args.work, ignore_errors=True)
    conf_path, ca = nginx_site.configure(args.template, args.work, https_port, 0)
    files = {"tallyx.ver": MANIFEST, "tallyx.ver.sig": b"sig-of-manifest",
             "Tallyx_4.2.7.1530.zip": ARCHIVE, "Tallyx_4.2.7.1530.zip.sig": b"sig-of-archive",
             "Tallyx_4.2.7.1530.zip.index": INDEX,
             "Tallyx_4.2.7.1530.zip.index.sig": b"sig-of-index"}
    for name, data in files.items():
        with open(os.path.join(args.work, "www", "dl", name), "wb") as f:
            f.write(data)

    nginx = subprocess.Popen([args.nginx, "-c", conf_path, "-p", args.work, "-g", "daemon off;"],
                             stdin=subprocess.DEVNULL)
    try:
        context = ssl.create_default_context(cafile=ca)

        def request(method, path, headers=None, secure=True):
            deadline = time.monotonic() + 10
            while True:
                connection = (http.client.HTTPSConnection("localhost", https_port,
                                                          context=context, timeout=10)
                              if secure else
                              http.client.HTTPConnection("localhost", http_port, timeout=10))
                try:
                    connection.request(method, path, headers=headers or {})
                    response = connection.getresponse()
                    return response, response.read()
                except ConnectionRefusedError:
                    if time.monotonic() > deadline or nginx.poll() is not None:
                        raise
                    time.sleep(0.1)
                finally:
                    connection.close()

        for path in ("/dl/tallyx.ver", "/dl/tallyx.ver.sig"):
            for method in ("GET", "HEAD"):
                r, body = request(method, path)
                what = f"{method} {path}"
                check(r.status == 200, f"{what}: status {r.status}")
                check("no-cache" in cache_control(r), f"{what}: Cache-Control {cache_control(r)}")
                check(not any(c.startswith("max-age") or c == "immutable"
                              for c in cache_control(r)), f"{what}: cacheable {cache_control(r)}")
                check(r.getheader("Content-Length") == str(len(files[path[4:]])),
                      f"{what}: Content-Length {r.getheader('Content-Length')}")
                check(body == (files[path[4:]] if method == "GET" else b""), f"{what}: body")

        for path in ("/dl/Tallyx_4.2.7.1530.zip", "/dl/Tallyx_4.2.7.1530.zip.sig",
                     "/dl/Tallyx_4.2.7.1530.zip.index", "/dl/Tallyx_4.2.7.1530.zip.index.sig"):
            for method in ("GET", "HEAD"):
                r, body = request(method, path, {"Accept-Encoding": "gzip, deflate"})
                what = f"{method} {path}"
                cc = cache_control(r)
                ages = [int(c[8:]) for c in cc if c.startswith("max-age=")]
                check(r.status == 200, f"{what}: status {r.status}")
                check(ages and ages[0] >= YEAR and "immutable" in cc, f"{what}: Cache-Control {cc}")
                check(r.getheader("Content-Length") == str(len(files[path[4:]])),
                      f"{what}: Content-Length {r.getheader('Content-Length')}")
                check(r.getheader("Content-Encoding") is None,
                      f"{what}: compressed {r.getheader('Content-Encoding')}")
                check(body == (files[path[4:]] if method == "GET" else b""), f"{what}: body")

        ranges = [("bytes=0-99", 0, 100), ("bytes=150000-", 150000, len(ARCHIVE)),
                  ("bytes=-10", len(ARCHIVE) - 10, len(ARCHIVE))]
        for range_header, start, end in ranges:
            r, body = request("GET", "/dl/Tallyx_4.2.7.1530.zip", {"Range": range_header})
            check(r.status == 206, f"Range {range_header}: status {r.status}")
            check(r.getheader("Content-Range") == f"bytes {start}-{end - 1}/{len(ARCHIVE)}",
                  f"Range {range_header}: Content-Range {r.getheader('Content-Range')}")
            check(body == ARCHIVE[start:end], f"Range {range_header}: body")
        r, _ = request("GET", "/dl/Tallyx_4.2.7.1530.zip", {"Range": f"bytes={len(ARCHIVE)}-"})
        check(r.status == 416, f"a range past the end: status {r.status}")

        # What the updater's resume needs: a strong tag, If-Range honoured both ways, the
        # bytes uncompressed.
        r, _ = request("HEAD", "/dl/Tallyx_4.2.7.1530.zip", {"Accept-Encoding": "gzip"})
        tag = r.getheader("ETag") or ""
        check(tag.startswith('"') and not tag.startswith("W/"), f"archive ETag {tag!r}")
        check(r.getheader("Content-Encoding") is None,
              f"archive compressed: {r.getheader('Content-Encoding')}")
        resume = {"Range": "bytes=150000-", "Accept-Encoding": "gzip"}
        r, body = request("GET", "/dl/Tallyx_4.2.7.1530.zip", {**resume, "If-Range": tag})
        check(r.status == 206 and body == ARCHIVE[150000:], f"If-Range, same tag: {r.status}")
        r, body = request("GET", "/dl/Tallyx_4.2.7.1530.zip", {**resume, "If-Range": '"other"'})
        check(r.status == 200 and body == ARCHIVE, f"If-Range, another tag: {r.status}")

        # The changed entries of an installation: up to 64 ranges a request, answered
        # part by part in the order asked; past that, the whole file.
        def ranged(path, spans, **headers):
            header = "bytes=" + ",".join(f"{a}-{b - 1}" for a, b in spans)
            return request("GET", path, {"Range": header, **headers})

        size = len(ARCHIVE)
        for name, spans in (("three ranges", [(0, 10), (1000, 1500), (size - 7, size)]),
                            ("64 ranges", [(i * 4000, i * 4000 + 30 + i) for i in range(64)])):
            r, body = ranged("/dl/Tallyx_4.2.7.1530.zip", spans, **{"Accept-Encoding": "gzip"})
            check(r.status == 206, f"{name}: status {r.status}")
            parts = multipart_parts(r.getheader("Content-Type") or "", body)
            check(parts == [(f"bytes {a}-{b - 1}/{size}", ARCHIVE[a:b]) for a, b in spans],
                  f"{name}: {r.getheader('Content-Type')}, parts "
                  f"{[(c, len(d)) for c, d in parts or []][:4]}")
        r, body = ranged("/dl/Tallyx_4.2.7.1530.zip", [(i * 4000, i * 4000 + 30) for i in range(65)])
        check(r.status == 200 and body == ARCHIVE, f"65 ranges: {r.status}")
        r, body = ranged("/dl/Tallyx_4.2.7.1530.zip.index", [(0, 22), (len(INDEX) - 5, len(INDEX))])
        check(r.status == 206 and multipart_parts(r.getheader("Content-Type") or "", body) ==
              [(f"bytes 0-21/{len(INDEX)}", INDEX[:22]),
               (f"bytes {len(INDEX) - 5}-{len(INDEX) - 1}/{len(INDEX)}", INDEX[-5:])],
              f"two ranges of the index: {r.status}")

        # An archive not yet uploaded is not cached for a year on the way.
        r, _ = request("GET", "/dl/Tallyx_9.9.9.9999.zip")
        check(r.status == 404 and "immutable" not in cache_control(r),
              f"missing archive: {r.status} {cache_control(r)}")
        r, _ = request("GET", "/etc/passwd")
        check(r.status == 404, f"outside /dl: {r.status}")

        r, _ = request("GET", "/dl/tallyx.ver", secure=False)
        check(r.status == 301 and r.getheader("Location") ==
              f"https://localhost:{https_port}/dl/tallyx.ver",
              f"plain http: {r.status} {r.getheader('Location')}")
    finally:
        nginx.terminate()
        try:
            nginx.wait(timeout=10)
        except subprocess.TimeoutExpired:
            nginx.kill()
            nginx.wait()
    if failures:
        return 1
    print("the serving guide's headers hold")
    return 0


if __name__ == "__main__":
    sys.exit(main())
