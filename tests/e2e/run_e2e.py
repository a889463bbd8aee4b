"""End-to-end scenarios: the real TallyxUpdater.exe under Wine, in a scratch installation
folder, against a real HTTP server on 127.0.0.1, driven through its window.

usage: run_e2e.py --product EXE --driver EXE --stub-old EXE --stub-new EXE
                  --stub-plain EXE --port N [--shots DIR]
                  [--product-keyed EXE --vectors DIR]
                  [--product-tls EXE --tls-dir DIR] SCENARIO
       run_e2e.py list

The HTTPS scenarios serve on the port after --port, as https://localhost:PORT+1/, with
certificates made in --tls-dir by an authority that only the Wine prefix trusts.
"""
import argparse
import contextlib
import io
import os
import shutil
import socket
import subprocess
import struct
import sys
import tempfile
import time
import urllib.parse
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import certs  # noqa: E402
from proxy import Proxy  # noqa: E402
from server import Route, Server  # noqa: E402

WINE = os.environ.get("WINE_LOADER", "wine")
ARCHIVE_NAME = "Tallyx_4.2.7.1530.zip"
ARCHIVE = "/dl/" + ARCHIVE_NAME
IDOK, IDCANCEL, IDRETRY, IDYES, IDNO = 1, 2, 4, 6, 7
# The product's own limits, and how long the test servers hold a silent connection:
# far past the short limits, bounded so that no server thread outlives a run for long.
PRODUCT_CONNECT_LIMIT_S = 30
HOLD_S = 60
HISTORY = ["Historique des versions", "----------------------",
           "* Impression des étiquettes corrigée", "", "* Inventaire : export CSV"]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# The boxes' texts as the program's sources spell them, printed by the driver with line
# breaks escaped as it escapes what a box shows: installed, install_failed,
# forced_failed, running_install_question, running_forced_question, needs_administrator.
TEXTS = {}


def load_texts(driver):
    r = subprocess.run([WINE, driver, "texts"], capture_output=True, text=True,
                       encoding="utf-8", timeout=60)
    for line in r.stdout.splitlines():
        key, _, value = line.partition("=")
        TEXTS[key] = value
    check("installed" in TEXTS, f"the driver printed no texts: {r.stdout!r} {r.stderr!r}")


class Context:
    def __init__(self, args):
        self.args = args
        self.base = f"http://127.0.0.1:{args.port}/dl/"
        self.tls_port = args.port + 1
        self.tls_base = f"https://localhost:{self.tls_port}/dl/"
        self.stub_new = open(args.stub_new, "rb").read()

    def manifest(self, version="4.2.7.1530", lines=None, base=None):
        if lines is None:
            lines = [version, "05/03/2021", (base or self.base) + f"Tallyx_{version}.zip"] + HISTORY
        return "\r\n".join(lines).encode("utf-8") + b"\r\n"

    def release(self, extra=(), nested=True):
        """The release archive as Python's zipfile writes it: only non-ASCII names
        carry the UTF-8 flag."""
        out = io.BytesIO()
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("tallyx.exe", self.stub_new)
            z.writestr("lisez-moi.txt", "Tallyx 4.2.7.1530\r\n")
            z.writestr("données/catégories.csv", "code;libellé\r\n1;Pièces\r\n")
            if nested:
                inner = io.BytesIO()
                with zipfile.ZipFile(inner, "w", zipfile.ZIP_DEFLATED) as n:
                    n.writestr("plugins/rapport.txt", "rapport mensuel\r\n")
                z.writestr("tallyx.zip", inner.getvalue())
            for name, data in extra:
                z.writestr(name, data)
        return out.getvalue()


STARTED = []  # every process a scenario started, ended when it is over


def stop_started():
    """Ends every process a scenario or a measurement started that still runs."""
    for process in STARTED:
        if process.poll() is None:
            process.kill()
            process.wait()


class Updater:
    """One run of the product in an installation folder."""

    def __init__(self, ctx, folder, product=None):
        self.ctx, self.folder = ctx, folder
        exe = os.path.join(folder, "TallyxUpdater.exe")
        if not os.path.exists(exe):  # a running copy's file must not be rewritten
            shutil.copy(product or ctx.args.product, exe)
        self.process = subprocess.Popen([WINE, exe], cwd=folder, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        STARTED.append(self.process)
        self.started = time.monotonic()
        self.ever_visible = False

    def driver(self, *args):
        r = subprocess.run([WINE, self.ctx.args.driver, *map(str, args)], capture_output=True,
                           text=True, encoding="utf-8", errors="replace", timeout=30)
        values = {}
        for line in r.stdout.splitlines():
            key, _, value = line.partition("=")
            values[key] = value
        return r.returncode, values

    def dump(self):
        _, values = self.driver("dump")
        if values.get("main.visible") == "1":
            self.ever_visible = True
        return values

    def wait(self, predicate, what, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            values = self.dump()
            if predicate(values):
                return values
            if self.process.poll() is not None:
                raise Failure(f"program ended (code {self.process.returncode}) waiting for {what}")
            time.sleep(0.2)
        raise Failure(f"timed out waiting for {what}; last: {values}")

    def wait_box(self, text, timeout=20):
        return self.wait(lambda v: v.get("box.text") == text, f"box {text!r}", timeout)

    def exit_code(self, timeout=20):
        deadline = time.monotonic() + timeout
        while self.process.poll() is None:
            self.dump()
            if time.monotonic() > deadline:
                self.process.kill()
                raise Failure("program did not end")
            time.sleep(0.2)
        return self.process.returncode

    def shot(self, name):
        if self.ctx.args.shots:
            os.makedirs(self.ctx.args.shots, exist_ok=True)
            subprocess.run(["import", "-window", "root",
                            os.path.join(self.ctx.args.shots, name + ".png")],
                           stderr=subprocess.DEVNULL, timeout=20)


def offer_state(v):
    return (v.get("main.visible") == "1" and v.get("cxButton1.visible") == "1"
            and v.get("cxButton3.visible") == "0")


def finished_state(v):
    return (v.get("cxButton3.visible") == "1" and v.get("cxProgressBar1.visible") == "1"
            and v.get("cxButton1.visible") == "0" and v.get("cxButton2.visible") == "0")


def installing_state(v):
    return (v.get("cxProgressBar1.visible") == "1" and v.get("cxButton1.visible") == "0"
            and v.get("cxButton2.visible") == "0" and v.get("cxButton3.visible") == "0")


def install_folder(ctx, root, installed="old"):
    folder = os.path.join(root, "Tallyx")
    os.makedirs(folder)
    stub = {"old": ctx.args.stub_old, "new": ctx.args.stub_new,
            "plain": ctx.args.stub_plain}.get(installed)
    if stub:
        shutil.copy(stub, os.path.join(folder, "tallyx.exe"))
    return folder


def read(folder, *parts):
    with open(os.path.join(folder, *parts), "rb") as f:
        return f.read()


def start_running_tallyx(ctx, root):
    """A running Tallyx, from another folder so that its file is not the one replaced."""
    other = os.path.join(root, "running")
    os.makedirs(other)
    exe = os.path.join(other, "tallyx.exe")
    shutil.copy(ctx.args.stub_old, exe)
    process = subprocess.Popen([WINE, exe, "--wait"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    STARTED.append(process)
    time.sleep(1)  # let it appear in the process list
    return process


def assert_release_installed(ctx, folder):
    check(read(folder, "tallyx.exe") == ctx.stub_new, "tallyx.exe was not replaced")
    check(read(folder, "lisez-moi.txt") == b"Tallyx 4.2.7.1530\r\n", "lisez-moi.txt")
    check(os.path.exists(os.path.join(folder, "données", "catégories.csv")),
          "non-ASCII name not extracted as written")
    check(read(folder, "plugins", "rapport.txt") == b"rapport mensuel\r\n",
          "nested tallyx.zip not extracted")
    check(os.path.exists(os.path.join(folder, "Tallyx_4.2.7.1530.zip")), "archive kept")


def quiet_end(ctx, root, route=None, installed="old", server=True, report=None):
    folder = install_folder(ctx, root, installed)
    def body(srv):
        if route is not None and srv:
            srv.routes["/dl/tallyx.ver"] = route
        run = Updater(ctx, folder)
        if report:
            v = run.wait(lambda v: v.get("box.text", "").startswith(report), "error report")
            check(v.get("box.caption") == "Tallyxupdater", f"report caption {v}")
            run.driver("answer", IDOK)
        code = run.exit_code()
        check(code == 0, f"exit code {code}")
        check(not run.ever_visible, "the window was shown")
        return srv
    if server:
        with Server(ctx.args.port) as srv:
            body(srv)
            check(srv.requests and srv.requests[0][1] == "Delphi 2009",
                  f"user agent {srv.requests}")
    else:
        body(None)


# ----------------------------------------------------------------------------- scenarios

def nothing_newer(ctx, root):
    quiet_end(ctx, root, Route(ctx.manifest("4.2.7.1500")))


def empty_manifest(ctx, root):
    quiet_end(ctx, root, Route(b""))


def server_down(ctx, root):
    quiet_end(ctx, root, server=False)


def manifest_404(ctx, root):
    # The error page is taken as the manifest; its first line does not convert.
    quiet_end(ctx, root, None, report="'")


def two_line_manifest(ctx, root):
    quiet_end(ctx, root, Route(ctx.manifest(lines=["4.2.7.1530", "05/03/2021"])))


def no_version_resource(ctx, root):
    quiet_end(ctx, root, Route(ctx.manifest()), installed="plain", report="System Error.  Code: ")


@contextlib.contextmanager
def offered(ctx, root, release=None, running=False, rate=None, product=None):
    """The window offering release 4.2.7.1530 over an installed 4.2.7.1500, with the
    archive served (unless `release` is False) and Tallyx running if asked."""
    folder = install_folder(ctx, root)
    tallyx = start_running_tallyx(ctx, root) if running else None
    try:
        with Server(ctx.args.port) as srv:
            srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
            if release is not False:
                body = ctx.release() if release is None else release
                srv.routes[ARCHIVE] = body if isinstance(body, Route) else Route(body, rate=rate)
            run = Updater(ctx, folder, product=product)
            run.wait(offer_state, "the offer")
            yield run, srv, folder, tallyx
    finally:
        if tallyx:
            tallyx.kill()


def choose(run, forced):
    """Starts the installation with the button, or the forced one from its menu."""
    if forced:
        run.driver("dropdown")
        time.sleep(0.5)
        code, _ = run.driver("menu-choose")
        check(code == 0, "the drop-down menu did not open")
    else:
        run.driver("click", "cxButton1")


def finish(run, quit_button=True):
    run.wait(finished_state, "state Finished")
    run.driver("click", "cxButton3") if quit_button else run.driver("close")
    check(run.exit_code() == 0, "exit code")


def install_and_quit(ctx, root):
    # Large and slow enough for the transfer to be still running when the picture of
    # state Installing is taken.
    release = ctx.release(extra=[("bin/remplissage.dat", os.urandom(1_200_000))])
    with offered(ctx, root, release=release, rate=300_000) as (run, srv, folder, _):
        v = run.dump()
        check(v["main.caption"] == "Tallyx Updater", v["main.caption"])
        check(v["Label3.text"] == "Vantrel Tallyx a été mis à jour vers la version 4.2.7.1530"
              "\\n\\r publiée le : 05/03/2021\\n\\rVoulez vous télécharger cette version "
              "maintenant?", v["Label3.text"])
        check(v["VersionInfo.text"] == "".join(line + "\\r\\n" for line in HISTORY),
              v["VersionInfo.text"])
        run.shot("offer")
        choose(run, forced=False)
        run.wait(lambda v: v.get("main.caption", "").startswith("Vantrel Tallyx Updater : ")
                 and installing_state(v)
                 and v.get("cxProgressBar1.text") not in ("0 %", "100 %"), "the download")
        run.shot("installing")
        v = run.dump()
        check("box.text" not in v and v.get("cxProgressBar1.text") != "100 %",
              f"the transfer ended before the picture of it: {v}")
        run.wait_box(TEXTS["installed"], timeout=40)
        run.driver("answer", IDOK)
        v = run.wait(finished_state, "state Finished")
        check(v["main.caption"].endswith(" Mo"), v["main.caption"])
        check(v["cxProgressBar1.text"] == "100 %", v["cxProgressBar1.text"])
        run.shot("finished")
        assert_release_installed(ctx, folder)
        finish(run)
        check(srv.count(ARCHIVE) == 1, "archive fetched once")


def later(ctx, root):
    with offered(ctx, root) as (run, srv, folder, _):
        run.driver("click", "cxButton2")
        check(run.exit_code() == 0, "exit code")
        check(srv.count(ARCHIVE) == 0, "nothing downloaded")
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "nothing installed")


def running_answer_yes(ctx, root):
    with offered(ctx, root, running=True) as (run, _, folder, tallyx):
        choose(run, forced=False)
        v = run.wait_box(TEXTS["running_install_question"])
        check(v.get("box.caption") == "Error", v)
        check(v.get("box.button.6") == "&Yes" and v.get("box.button.7") == "&No", v)
        run.driver("answer", IDYES)
        run.wait_box(TEXTS["installed"])
        check(tallyx.wait(timeout=10) is not None, "Tallyx still running")
        run.driver("answer", IDOK)
        run.wait(finished_state, "state Finished")
        assert_release_installed(ctx, folder)
        finish(run, quit_button=False)


def abandoned(ctx, root, forced, answers):
    """Tallyx runs and the user declines: nothing is terminated or extracted, and the
    window stays as it is until it is closed."""
    question = TEXTS["running_forced_question"] if forced else TEXTS["running_install_question"]
    with offered(ctx, root, running=True) as (run, _, folder, tallyx):
        choose(run, forced)
        for answer in answers:
            run.wait_box(question)  # asked again as long as Tallyx runs
            run.driver("answer", answer)
            time.sleep(0.5)
        run.wait(lambda v: "box.text" not in v and installing_state(v), "abandon")
        time.sleep(1)
        check(installing_state(run.dump()), "state Installing kept")
        check(tallyx.poll() is None, "Tallyx was terminated")
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "something extracted")
        check(os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "archive kept")
        run.driver("close")
        check(run.exit_code() == 0, "exit code")


def running_answer_no(ctx, root):
    abandoned(ctx, root, False, [IDNO])


def forced_retry_then_cancel(ctx, root):
    abandoned(ctx, root, True, [IDRETRY, IDCANCEL])


def forced_fetches_again(ctx, root):
    """An earlier download of the same address is in the cache; the forced variant must
    still reach the server."""
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
        srv.routes[ARCHIVE] = Route(ctx.release())
        for n, forced in enumerate([False, True]):
            folder = install_folder(ctx, os.path.join(root, str(n)))
            run = Updater(ctx, folder)
            run.wait(offer_state, "the offer")
            choose(run, forced)
            run.wait_box(TEXTS["installed"])
            run.driver("answer", IDOK)
            run.wait(finished_state, "state Finished")
            assert_release_installed(ctx, folder)
            finish(run)
        check(srv.count(ARCHIVE) == 2, f"forced download served from the cache: {srv.requests}")


def failed_download(ctx, root, release, forced, message):
    with offered(ctx, root, release=release) as (run, _, folder, _):
        choose(run, forced)
        run.wait_box(message, timeout=30)
        run.driver("answer", IDOK)
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe changed")
        finish(run)


def download_404(ctx, root):
    failed_download(ctx, root, False, False, TEXTS["install_failed"])


def download_cut(ctx, root):
    body = ctx.release()
    failed_download(ctx, root, Route(body, cut_after=len(body) // 2), True, TEXTS["forced_failed"])


def closed_during_download(ctx, root):
    release = ctx.release(extra=[("bin/remplissage.dat", os.urandom(1_200_000))])
    with offered(ctx, root, release=release, rate=300_000) as (run, _, folder, _):
        choose(run, forced=False)
        run.wait(lambda v: v.get("main.caption", "").startswith("Vantrel Tallyx Updater : "),
                 "the download")
        run.driver("close")
        code = run.exit_code(timeout=30)
        check(code == 0, f"exit code {code}")
        # The success box closed at once; the extraction itself still ran.
        assert_release_installed(ctx, folder)


def many_files_release(ctx, count=6000, size=2000):
    """A release of many small files, as a real installation of thousands has."""
    extra = [(f"modules/m{i // 100:02d}/f{i:04d}.dat", os.urandom(size)) for i in range(count)]
    return ctx.release(extra=extra), extra


def windows_path(folder):
    return "Z:" + folder.replace("/", "\\")


def start_scanner(ctx, folder, hold_ms=20, seconds=300):
    """The stand-in for an on-access scanner: every new or changed file of the folder is
    opened, read and held a moment, so that renames and deletions of it wait."""
    process = subprocess.Popen([WINE, ctx.args.driver, "scan", windows_path(folder), str(hold_ms),
                                str(seconds)], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    STARTED.append(process)
    return process


def assert_exactly_release(ctx, folder, extra):
    """The folder holds the release and nothing of the installation's own."""
    names = set()
    for base, _, files in os.walk(folder):
        for name in files:
            names.add(os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/"))
    expected = {"tallyx.exe", "lisez-moi.txt", "données/catégories.csv", "tallyx.zip",
                "plugins/rapport.txt", "Tallyx_4.2.7.1530.zip", "TallyxUpdater.exe"}
    expected |= {name for name, _ in extra}
    check(names == expected, f"folder differs from the release: extra {sorted(names - expected)[:5]}, "
          f"missing {sorted(expected - names)[:5]}")
    for name, data in extra:
        check(read(folder, *name.split("/")) == data, f"{name} differs")
    assert_release_installed(ctx, folder)


def rising_run(texts):
    """The bar's texts from its last drop on (the installation starting after the
    download), as numbers."""
    values = [int(t.split()[0]) for t in texts if t.strip()]
    start = 0
    for i in range(1, len(values)):
        if values[i] < values[i - 1]:
            start = i
    return values[start:]


def answers_while_installing(ctx, root):
    release, extra = many_files_release(ctx)
    with offered(ctx, root, release=release) as (run, srv, folder, _):
        # Held long enough that the installation lasts over 10 s, however fast the rest.
        start_scanner(ctx, folder, hold_ms=100)
        choose(run, forced=False)
        probe = subprocess.Popen([WINE, ctx.args.driver, "probe", "100"], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                 encoding="utf-8", errors="replace")
        STARTED.append(probe)
        out, _ = probe.communicate(timeout=115)
        v = dict(line.partition("=")[::2] for line in out.splitlines())
        print(f"probe: {v.get('probe.samples')} messages over {v.get('probe.duration_ms')} ms, "
              f"longest answer {v.get('probe.longest_ms')} ms, ended by {v.get('probe.ended')}")
        print(f"bar: {v.get('probe.bar')}")
        check(v.get("probe.ended") == "box", f"the installation did not end with its box: {v}")
        check(float(v.get("probe.duration_ms", 0)) >= 10000,
              f"the scanner did not slow the installation enough: {v.get('probe.duration_ms')} ms")
        check(float(v.get("probe.longest_ms", 1e9)) < 100,
              f"the window took {v.get('probe.longest_ms')} ms to answer")
        run_of_bar = rising_run(v.get("probe.bar", "").split(","))
        check(len(run_of_bar) >= 4 and run_of_bar == sorted(set(run_of_bar)) and run_of_bar[-1] == 100,
              f"the bar did not rise through the installation: {v.get('probe.bar')}")
        check("installation" in v.get("probe.captions", ""), f"captions {v.get('probe.captions')}")
        run.wait_box(TEXTS["installed"], timeout=20)
        run.driver("answer", IDOK)
        v = run.wait(finished_state, "state Finished")
        check(v["cxProgressBar1.text"] == "100 %", v["cxProgressBar1.text"])
        assert_exactly_release(ctx, folder, extra)
        finish(run)


def closed_during_installation(ctx, root):
    release, extra = many_files_release(ctx)
    with offered(ctx, root, release=release) as (run, srv, folder, _):
        before = {name: read(folder, name) for name in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, name))}
        start_scanner(ctx, folder)
        choose(run, forced=False)
        run.wait(lambda v: " installation " in v.get("main.caption", ""), "the installation", timeout=60)
        run.driver("close")
        boxes = set()
        deadline = time.monotonic() + 110
        while run.process.poll() is None and time.monotonic() < deadline:
            v = run.dump()
            if "box.text" in v:
                boxes.add(v["box.text"])
            time.sleep(0.1)
        check(run.process.poll() is not None, "the program did not end")
        check(run.process.returncode == 0, f"exit code {run.process.returncode}")
        check(not boxes, f"a box stayed open: {boxes}")
        if read(folder, "tallyx.exe") == ctx.stub_new:
            assert_exactly_release(ctx, folder, extra)
        else:
            now = {name: read(folder, name) for name in os.listdir(folder)
                   if os.path.isfile(os.path.join(folder, name))}
            del now["Tallyx_4.2.7.1530.zip"]
            check(now == before and not os.path.exists(os.path.join(folder, "modules")),
                  "neither the release nor the old folder")


def second_copy(ctx, root):
    with offered(ctx, root) as (first, srv, folder, _):
        second = Updater(ctx, folder)
        code = second.process.wait(timeout=20)
        elapsed = time.monotonic() - second.started
        check(code == 0, f"second copy exit code {code}")
        check(srv.count("/dl/tallyx.ver") == 1, f"the second copy ran the check ({elapsed:.1f} s): {srv.requests}")
        check(first.process.poll() is None, "the first copy ended")
        _, v = first.driver("count-main")
        check(v.get("main.count") == "1", f"windows: {v}")
        v = first.dump()
        check(offer_state(v), f"the first copy's window changed: {v}")
        first.driver("click", "cxButton2")
        check(first.exit_code() == 0, "first copy exit code")
        print(f"second copy ended after {elapsed:.1f} s")


def hostile_archive(ctx, root, release, victim_check, box="install_failed"):
    """An archive that fails half-way: the error message (or the text `box` names), and
    the files it would have damaged keep their content. The server still runs when
    `victim_check` looks."""
    with offered(ctx, root, release=release) as (run, _, folder, _):
        with open(os.path.join(folder, "lisez-moi.txt"), "wb") as f:
            f.write(b"ancien contenu\r\n")
        choose(run, forced=False)
        run.wait_box(TEXTS[box])
        run.driver("answer", IDOK)
        finish(run)
        victim_check(folder)


def with_bad_crc(archive, data):
    """`archive` with the CRC-32 of the entry holding `data` inverted, in both headers."""
    good = zlib.crc32(data).to_bytes(4, "little")
    return archive.replace(good, bytes(b ^ 0xFF for b in good))


def traversal_entry(ctx, root):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr("tallyx.exe", ctx.stub_new)
        z.writestr("../evil.txt", "outside")
        z.writestr("lisez-moi.txt", "nouveau")

    def victim(folder):
        check(not os.path.exists(os.path.join(root, "evil.txt")), "wrote outside the folder")
        check(read(folder, "lisez-moi.txt") == b"ancien contenu\r\n", "later entry extracted")
    hostile_archive(ctx, root, out.getvalue(), victim)


def wrong_crc_entry(ctx, root):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        z.writestr("lisez-moi.txt", "nouveau contenu\r\n")

    def victim(folder):
        check(read(folder, "lisez-moi.txt") == b"ancien contenu\r\n",
              "the failing entry's file lost its old content")
        check([n for n in os.listdir(folder) if n.startswith("lisez-moi")] == ["lisez-moi.txt"],
              "a temporary file was left behind")
    hostile_archive(ctx, root, with_bad_crc(out.getvalue(), b"nouveau contenu\r\n"), victim)


def leftovers(folder):
    return [os.path.join(d, n) for d, _, names in os.walk(folder) for n in names if ".~tx" in n]


def damaged_middle_entry(ctx, root):
    """An installation that fails half-way leaves the installed release as it was, so the
    next start offers the release again."""
    middle = "catégories corrigées\r\n".encode("utf-8")
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("tallyx.exe", ctx.stub_new)
        z.writestr("lisez-moi.txt", "Tallyx 4.2.7.1530\r\n")
        z.writestr("données/catégories.csv", middle)
        z.writestr("plugins/rapport.txt", "rapport mensuel\r\n")

    def victim(folder):
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe was replaced")
        check(read(folder, "lisez-moi.txt") == b"ancien contenu\r\n", "lisez-moi.txt was replaced")
        check(sorted(os.listdir(folder)) == sorted(["tallyx.exe", "TallyxUpdater.exe",
                                                    "lisez-moi.txt", ARCHIVE_NAME]),
              f"the folder changed: {sorted(os.listdir(folder))}")
        check(not leftovers(folder), f"files left behind: {leftovers(folder)}")
        again = Updater(ctx, folder)
        again.wait(offer_state, "the offer at the next start")
        again.driver("click", "cxButton2")
        check(again.exit_code() == 0, "exit code of the next start")
    hostile_archive(ctx, root, with_bad_crc(out.getvalue(), middle), victim)


def updater_in_release(ctx, root):
    """A release may carry the updater itself: the running one moves its own file aside."""
    successor = read(ctx.args.product_keyed)
    with offered(ctx, root, release=ctx.release(extra=[("TallyxUpdater.exe", successor)])) as (
            run, _, folder, _):
        choose(run, forced=False)
        run.wait_box(TEXTS["installed"], timeout=40)
        run.driver("answer", IDOK)
        finish(run)
        assert_release_installed(ctx, folder)
        check(read(folder, "TallyxUpdater.exe") == successor, "the updater was not replaced")
    # A running image cannot be deleted: its backup, and the journal that names it, wait
    # for the next installation.
    left = sorted(os.path.basename(p) for p in leftovers(folder))
    check(len(left) == 2 and left[0] == ".~tx.journal" and left[1].startswith("TallyxUpdater.exe.~tx"),
          f"files left behind: {left}")


def damaged_nested_archive(ctx, root):
    """The program goes in after both archives: a nested tallyx.zip that fails rolls the
    installation back, so the old tallyx.exe still names the old release and the next start
    offers it again."""
    middle = b"rapport mensuel\r\n"
    inner = io.BytesIO()
    with zipfile.ZipFile(inner, "w", zipfile.ZIP_DEFLATED) as n:
        n.writestr("plugins/index.txt", "index\r\n")
        n.writestr("plugins/rapport.txt", middle)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("tallyx.exe", ctx.stub_new)
        z.writestr("lisez-moi.txt", "Tallyx 4.2.7.1530\r\n")
        z.writestr("tallyx.zip", with_bad_crc(inner.getvalue(), middle))

    def victim(folder):
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe was replaced")
        check(read(folder, "lisez-moi.txt") == b"ancien contenu\r\n", "lisez-moi.txt was replaced")
        check(not os.path.exists(os.path.join(folder, "plugins")), "the nested archive left files")
        check(not os.path.exists(os.path.join(folder, "tallyx.zip")), "the nested archive stayed")
        check(not leftovers(folder), f"files left behind: {leftovers(folder)}")
        again = Updater(ctx, folder)
        again.wait(offer_state, "the offer at the next start")
        again.driver("click", "cxButton2")
        check(again.exit_code() == 0, "exit code of the next start")
    # The release archive itself is whole: its message comes; the nested step is silent.
    hostile_archive(ctx, root, out.getvalue(), victim, box="installed")


def signed(ctx, root, tamper_archive=False, manifest_signature=True, planted=False, plant=None):
    """The product built with release keys, offered a release that tallyx-publish signed
    with the rotated key; with `planted`, beside libraries named as system ones; `plant`
    puts what else it likes in the folder first, and the installation must then fail."""
    vectors = os.path.join(ctx.args.vectors, "new")
    def vector(name):
        with open(os.path.join(vectors, name), "rb") as f:
            return f.read()
    archive = bytearray(vector(ARCHIVE_NAME))
    if tamper_archive:
        archive[len(archive) // 3] ^= 0x01
    folder = install_folder(ctx, root)
    if planted:
        for name in PLANTED:
            shutil.copy(os.path.join(ctx.args.planted, name), folder)
    if plant:
        plant(folder)
    # The signed manifest names its archive's address, port included, for good: serve the
    # archive there, whatever port this build's manifest is fetched from.
    archive_port = urllib.parse.urlsplit(vector("tallyx.ver").decode().splitlines()[2]).port
    with contextlib.ExitStack() as servers:
        srv = servers.enter_context(Server(ctx.args.port))
        archives = srv
        if archive_port != ctx.args.port:
            archives = servers.enter_context(Server(archive_port))
        srv.routes["/dl/tallyx.ver"] = Route(vector("tallyx.ver"))
        if manifest_signature:
            srv.routes["/dl/tallyx.ver.sig"] = Route(vector("tallyx.ver.sig"))
        archives.routes[ARCHIVE] = Route(bytes(archive))
        archives.routes[ARCHIVE + ".sig"] = Route(vector(ARCHIVE_NAME + ".sig"))
        run = Updater(ctx, folder, product=ctx.args.product_keyed)
        if not manifest_signature:
            check(run.exit_code() == 0, "exit code")
            check(not run.ever_visible, "an unsigned manifest was offered")
            check(archives.count(ARCHIVE) == 0, "downloaded")
            return
        run.wait(offer_state, "the offer")
        choose(run, forced=False)
        run.wait_box(TEXTS["install_failed"] if tamper_archive or plant else TEXTS["installed"])
        run.driver("answer", IDOK)
        run.wait(finished_state, "state Finished")
        installed = read(folder, "tallyx.exe")
        if plant:
            check(installed == read(ctx.args.stub_old), "the release went in over what was planted")
        elif tamper_archive:
            check(installed == read(ctx.args.stub_old), "a tampered archive was extracted")
            check(not os.path.exists(os.path.join(folder, "docs")), "a tampered archive was opened")
        else:
            check(installed.startswith(b"MZ stand-in"), "the signed release was not installed")
            check(os.path.exists(os.path.join(folder, "docs", "notes.txt")), "docs/notes.txt")
        finish(run)
        loaded = [n for n in os.listdir(folder) if n.endswith(".loaded")]
        check(not loaded, f"planted libraries were loaded: {loaded}")


def signed_release_installs(ctx, root):
    signed(ctx, root)


# Libraries that are not KnownDLLs, named as the ones the updater uses.
PLANTED = ["version.dll", "wininet.dll", "uxtheme.dll", "msimg32.dll", "bcrypt.dll"]


def planted_in_folder(ctx, root):
    """A user who may write the folder, and nothing outside it, plants a journal naming a
    file outside the folder, or puts a link to an outside folder where a folder of the
    release goes: the installation fails and rolls back, and the outside file, the folder
    and the link stay byte for byte as they were. (The link is made on the Unix side: Wine
    shows it to the program as the folder it points to, and makes no junctions.)"""
    def journal(folder):
        header = b"TallyxUpdater extraction journal 1\n"
        text = b"S\t..\\victim\\secret.txt\t\t"
        with open(os.path.join(folder, ".~tx.journal"), "wb") as f:
            f.write(header + b"%08x " % zlib.crc32(text) + text + b"\n")

    def link(folder):
        os.symlink(os.path.join(os.path.dirname(folder), "victim"), os.path.join(folder, "docs"))

    def snapshot(case):
        """Every file and link of the case but the updater's own copy and its downloads."""
        found = {}
        for where, folders, files in os.walk(case):
            for name in folders + files:
                path = os.path.join(where, name)
                if os.path.islink(path):
                    found[os.path.relpath(path, case)] = "-> " + os.readlink(path)
                elif os.path.isfile(path) and not name.startswith("Tallyx"):
                    found[os.path.relpath(path, case)] = read(where, name)
        return found

    for plant in (journal, link):
        case = tempfile.mkdtemp(dir=root)
        os.makedirs(os.path.join(case, "victim"))
        with open(os.path.join(case, "victim", "secret.txt"), "wb") as f:
            f.write(b"the victim's own")
        before = {}
        def planted(folder, plant=plant, case=case, before=before):
            plant(folder)
            before.update(snapshot(case))
        signed(ctx, case, plant=planted)
        after = snapshot(case)
        check(after == before, f"{plant.__name__}: {after} instead of {before}")


def planted_libraries(ctx, root):
    """Libraries planted beside the updater by a user who may write the folder are never
    loaded, and the signed release installs as before. Wine loads its own copy of a system
    library before one from the program's folder: told to look there first, as Windows does
    for every library that is not a KnownDLL, it would load the planted one. version.dll
    and msimg32.dll stay Wine's way round: Wine's own user32 imports the first at start-up
    and its uxtheme the second, and Wine, unlike Windows, looks for the dependencies of its
    system libraries in the program's folder first (Windows takes those of a KnownDLL, and
    of a library loaded with LOAD_LIBRARY_SEARCH_SYSTEM32, from the system folder)."""
    overrides = os.environ.get("WINEDLLOVERRIDES", "")
    os.environ["WINEDLLOVERRIDES"] = overrides + ";wininet,uxtheme,bcrypt=n,b"
    try:
        signed(ctx, root, planted=True)
    finally:
        os.environ["WINEDLLOVERRIDES"] = overrides


def signed_archive_tampered(ctx, root):
    signed(ctx, root, tamper_archive=True)


def manifest_signature_missing(ctx, root):
    signed(ctx, root, manifest_signature=False)


def ends_quietly_within(ctx, root, product, limit_s, what):
    """The hidden updater ends by itself, with code 0 and no window, within the limit
    and a generous margin for Wine's start-up."""
    folder = install_folder(ctx, root)
    run = Updater(ctx, folder, product=product)
    code = run.exit_code(timeout=limit_s + 20)
    elapsed = time.monotonic() - run.started
    print(f"{what}: the updater ended after {elapsed:.1f} s")
    check(code == 0, f"exit code {code}")
    check(not run.ever_visible, "the window was shown")
    return elapsed


def short_limit_s(ctx):
    return ctx.args.short_stall_ms / 1000


def manifest_silent(ctx, root):
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(silent_for=HOLD_S)
        ends_quietly_within(ctx, root, ctx.args.product_short, short_limit_s(ctx),
                            "manifest request never answered")
        check(srv.count("/dl/tallyx.ver") == 1, f"requests: {srv.requests}")


def manifest_stalls(ctx, root):
    # Everything but the end of the history arrives, enough for an offer: a manifest that
    # stopped half-way is not taken, since it could have stopped anywhere.
    manifest = ctx.manifest(lines=["4.2.7.1530", "05/03/2021", ctx.base + ARCHIVE_NAME]
                            + [f"* correction {n}" for n in range(300)])
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(manifest, stall_after=len(manifest) - 10,
                                             stall_for=HOLD_S)
        ends_quietly_within(ctx, root, ctx.args.product_short, short_limit_s(ctx),
                            "manifest stalled before its end")


def peak_memory_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def manifest_oversized(ctx, root):
    """A server gone wrong sends a 50 MB manifest: it is no manifest, and the updater ends
    quietly instead of decoding and showing it. Prints the time and the peak memory."""
    # An offer would keep the program running: ending at all shows it was not offered.
    manifest = ctx.manifest() + (b"* " + b"x" * 96 + b"\r\n") * (50 * 1024 * 1024 // 100)
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(manifest)
        folder = install_folder(ctx, root)
        run = Updater(ctx, folder)
        peak = None
        deadline = time.monotonic() + 120
        while run.process.poll() is None:
            check(time.monotonic() < deadline, "the updater did not end")
            peak = peak_memory_kb(run.process.pid) or peak
            time.sleep(0.05)
        elapsed = time.monotonic() - run.started
        print(f"{len(manifest) / 1e6:.1f} MB manifest: ended after {elapsed:.1f} s, "
              f"peak resident memory {peak / 1024 if peak else float('nan'):.0f} MiB")
        check(run.process.returncode == 0, f"exit code {run.process.returncode}")
        check(not srv.count(ARCHIVE), "downloaded")


@contextlib.contextmanager
def full_listener(port):
    """A listener on `port` that takes no connection: its queue is filled by connections
    of our own, so the system drops any further attempt and the client waits for its
    connection limit."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(1)
    fillers = []
    try:
        for _ in range(6):
            client = socket.socket()
            client.setblocking(False)
            client.connect_ex(("127.0.0.1", port))
            fillers.append(client)
        time.sleep(0.2)
        yield
    finally:
        for client in fillers:
            client.close()
        listener.close()


def manifest_unanswered_product_limits(ctx, root):
    """The product itself, with its own limits: a manifest server that never takes the
    connection."""
    with full_listener(ctx.args.port):
        elapsed = ends_quietly_within(ctx, root, ctx.args.product, PRODUCT_CONNECT_LIMIT_S,
                                      "manifest connection never accepted (product limits)")
    check(elapsed < PRODUCT_CONNECT_LIMIT_S + 10, f"ended only after {elapsed:.1f} s")


def download_stalls(ctx, root):
    body = ctx.release()
    route = Route(body, stall_after=len(body) // 3, stall_for=HOLD_S)
    with offered(ctx, root, release=route, product=ctx.args.product_short) as (
            run, _, folder, _):
        choose(run, forced=False)
        started = time.monotonic()
        run.wait_box(TEXTS["install_failed"], timeout=short_limit_s(ctx) + 20)
        print(f"stalled download: the error came after {time.monotonic() - started:.1f} s")
        run.driver("answer", IDOK)
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe changed")
        check(not os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "a partial archive was kept")
        check(not os.path.exists(os.path.join(folder, ARCHIVE_NAME + ".part")),
              "the partial download was left behind")
        finish(run)


def closed_during_stall(ctx, root):
    """The window is closed while the transfer is stalled: the window is not served then
    (the read waits), so the close is taken when the transfer gives up."""
    body = ctx.release()
    route = Route(body, stall_after=len(body) // 3, stall_for=HOLD_S)
    with offered(ctx, root, release=route, product=ctx.args.product_short) as (run, srv, _, _):
        choose(run, forced=False)
        deadline = time.monotonic() + 20
        while srv.count(ARCHIVE) == 0:
            check(time.monotonic() < deadline, "the archive was never asked for")
            time.sleep(0.1)
        time.sleep(1)
        started = time.monotonic()
        run.driver("close")  # posted: it waits in the queue
        code = run.exit_code(timeout=short_limit_s(ctx) + 20)
        print(f"closed during a stall: the program ended after {time.monotonic() - started:.1f} s")
        check(code == 0, f"exit code {code}")


# ------------------------------------------------------------------ resume and trickles

def big_release(ctx, seed=b""):
    """A release of a few megabytes that does not compress: enough to cut in the middle."""
    filler = (seed + os.urandom(3_000_000))[:3_000_000]
    return ctx.release(extra=[("bin/remplissage.dat", filler)])


def attempt(ctx, folder, srv, message, product=None):
    """One start of the updater: the offer, the install command, the box `message`, Quit."""
    run = Updater(ctx, folder, product=product)
    run.wait(offer_state, "the offer")
    choose(run, forced=False)
    run.wait_box(message, timeout=60)
    run.driver("answer", IDOK)
    finish(run)


def resumed_after_reset(ctx, root, change=None, ranges=True):
    """The archive's transfer is reset at about 60 %; the next start's install command
    continues it (or, for an archive replaced on the server or a server without ranges,
    fetches it whole). Returns what the server saw of the archive."""
    first = big_release(ctx)
    folder = install_folder(ctx, root)
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
        srv.routes[ARCHIVE] = Route(first, cut_after=len(first) * 6 // 10, reset=True,
                                    etag='"a1"', ranges=ranges)
        attempt(ctx, folder, srv, TEXTS["install_failed"])
        part = os.path.join(folder, ARCHIVE_NAME + ".part")
        check(os.path.exists(part) and os.path.getsize(part) > 0, "no part kept")
        kept = os.path.getsize(part)
        body, etag = (first, '"a1"') if change is None else (change, '"b2"')
        srv.routes[ARCHIVE] = Route(body, etag=etag, ranges=ranges)
        attempt(ctx, folder, srv, TEXTS["installed"])
        assert_release_installed(ctx, folder)
        check(read(folder, ARCHIVE_NAME) == body, "the archive saved is not the one served")
        check(not os.path.exists(part), "the part was left behind")
        asked = [h for h in srv.headers if h[0] == ARCHIVE]
        sent = srv.sent.get(ARCHIVE, 0)
        print(f"archive of {len(first)} bytes: {kept} kept, then asked {asked[1:]}; "
              f"{sent} bytes sent in all ({sent / len(first):.3f} x)")
        return asked, kept, sent, len(first)


def resume_after_reset(ctx, root):
    asked, kept, sent, size = resumed_after_reset(ctx, root)
    check(asked[1][1:] == (f"bytes={kept}-", '"a1"'), f"no range asked: {asked}")
    check(len(asked) == 2, f"requests: {asked}")
    check(sent <= size * 1.05, f"{sent} bytes sent for an archive of {size}")


def resume_archive_replaced(ctx, root):
    """The archive replaced on the server (new tag) between the attempts: a 200, the whole
    new archive, the new release installed."""
    newer = ctx.release(extra=[("bin/remplissage.dat", os.urandom(3_000_000)),
                               ("nouveau.txt", "remplacée\r\n")])
    asked, kept, sent, size = resumed_after_reset(ctx, root, change=newer)
    check(asked[1][1:] == (f"bytes={kept}-", '"a1"'), f"no range asked: {asked}")
    check(len(asked) == 2, f"requests: {asked}")


def resume_without_ranges(ctx, root):
    asked, kept, sent, size = resumed_after_reset(ctx, root, ranges=False)
    check(len(asked) == 2, f"requests: {asked}")


def killed_then_resumed(ctx, root):
    """The updater killed during the transfer: the next start offers the release again, and
    its install command continues the kept part."""
    body = big_release(ctx)
    folder = install_folder(ctx, root)
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
        srv.routes[ARCHIVE] = Route(body, rate=400_000, etag='"k1"', ranges=True)
        run = Updater(ctx, folder)
        run.wait(offer_state, "the offer")
        choose(run, forced=False)
        deadline = time.monotonic() + 30
        while srv.sent.get(ARCHIVE, 0) < len(body) // 3:
            check(time.monotonic() < deadline, "the download did not start")
            time.sleep(0.1)
        run.process.kill()
        run.process.wait()
        time.sleep(1)
        kept = os.path.getsize(os.path.join(folder, ARCHIVE_NAME + ".part"))
        srv.routes[ARCHIVE] = Route(body, etag='"k1"', ranges=True)
        attempt(ctx, folder, srv, TEXTS["installed"])
        assert_release_installed(ctx, folder)
        asked = [h for h in srv.headers if h[0] == ARCHIVE]
        print(f"killed with {kept} bytes kept; then asked {asked[1:]}")
        check(asked[-1][1] is not None and asked[-1][2] == '"k1"', f"no range asked: {asked}")


def download_trickles(ctx, root):
    """A byte every second: the short build's limit (fewer than 1 KiB in its stretch) ends
    the download with the error box, although data never stops for long."""
    body = ctx.release()
    with offered(ctx, root, release=Route(body, drip=1.0),
                 product=ctx.args.product_short) as (run, _, folder, _):
        choose(run, forced=False)
        started = time.monotonic()
        run.wait_box(TEXTS["install_failed"], timeout=short_limit_s(ctx) + 30)
        print(f"trickling download: the error came after {time.monotonic() - started:.1f} s")
        run.driver("answer", IDOK)
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe changed")
        finish(run)


def download_trickles_product_limits(ctx, root):
    """The product itself against an archive that drips a byte every 20 s, and against one
    that comes at 1 KB/s, a steady flow below the floor: the error box within about two
    minutes each."""
    body = ctx.release()
    # Long enough that a flow of 1 KB/s is still coming when the floor ends it.
    large = ctx.release(extra=[("données/pièces.bin", os.urandom(400_000))])
    for name, route in (("dripping a byte every 20 s", Route(body, drip=20.0)),
                        ("coming at 1 KB/s", Route(large, rate=1000))):
        sub = os.path.join(root, name.replace(" ", "_"))
        os.makedirs(sub)
        with offered(ctx, sub, release=route) as (run, _, folder, _):
            choose(run, forced=False)
            started = time.monotonic()
            run.wait_box(TEXTS["install_failed"], timeout=110)
            elapsed = time.monotonic() - started
            print(f"archive {name} (product limits): error after {elapsed:.1f} s")
            run.driver("answer", IDOK)
            finish(run)


def manifest_trickles(ctx, root):
    """A manifest that drips: the hidden check ends by itself, and the next start works."""
    manifest = ctx.manifest()
    folder = install_folder(ctx, root)
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(manifest, drip=1.0)
        run = Updater(ctx, folder, product=ctx.args.product_short)
        code = run.exit_code(timeout=short_limit_s(ctx) + 30)
        print(f"trickling manifest: the updater ended after {time.monotonic() - run.started:.1f} s")
        check(code == 0 and not run.ever_visible, "the dripping manifest was offered")
        srv.routes["/dl/tallyx.ver"] = Route(manifest)
        srv.routes[ARCHIVE] = Route(ctx.release())
        again = Updater(ctx, folder, product=ctx.args.product_short)
        again.wait(offer_state, "the offer at the next start")
        again.driver("click", "cxButton2")
        check(again.exit_code() == 0, "exit code")


TRANSFER_ENDINGS = (".part", ".part.resume", ".part.resume.tmp")


def scanner_on_the_folder(ctx, root):
    """A stand-in scanner opens every new file of the folder the moment it can and holds
    it for a while: the finished download still takes its name, and after the
    installation nothing of the transfer is left, nor what an earlier release's left."""
    folder = install_folder(ctx, root)
    for ending in TRANSFER_ENDINGS:
        with open(os.path.join(folder, "Tallyx_4.2.7.1400.zip" + ending), "wb") as f:
            f.write(b"of an earlier release")
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
        srv.routes[ARCHIVE] = Route(ctx.release())
        scanner = subprocess.Popen([WINE, ctx.args.driver, "scan-suffix", "Z:" + folder.replace("/", "\\"), ".part", "90"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        STARTED.append(scanner)
        # Every other new file held 300 ms after it was written, the resume record too.
        start_scanner(ctx, folder, hold_ms=300)
        try:
            time.sleep(2)
            attempt(ctx, folder, srv, TEXTS["installed"])
            assert_release_installed(ctx, folder)
            left = sorted(n for n in os.listdir(folder) if n.endswith(TRANSFER_ENDINGS))
            check(not left, f"the transfers left {left}")
        finally:
            scanner.kill()
            out = scanner.communicate(timeout=30)[0]
        print(f"scanner: {out.strip()}")
        check("held" in out, f"the scanner never held the download: {out!r}")


# ------------------------------------------------------------------------------ proxies

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
ORIGIN_HOST = "tallyx-origin.test"  # a name that only the test proxy knows


@contextlib.contextmanager
def prefix_proxy_settings(values):
    """The test prefix's Internet settings set to `values` ({name: (type, data)}) while the
    block runs, and the loopback exception of the test environment lifted, so that WinINet
    takes the system's configuration as a workstation has it."""
    def reg(*args):
        subprocess.run([WINE, "reg", *args], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
    saved = {k: os.environ.pop(k) for k in ("no_proxy", "NO_PROXY") if k in os.environ}
    try:
        for name, (kind, data) in values.items():
            reg("add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d", str(data), "/f")
        yield
    finally:
        reg("add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "0", "/f")
        for name in values:
            if name != "ProxyEnable":
                reg("delete", INTERNET_SETTINGS, "/v", name, "/f")
        os.environ.update(saved)


def through_proxy(ctx, root, settings):
    """The origin on a port of its own; the manifest's address (127.0.0.1 at the test port,
    where nothing listens) and the archive's (a name no resolver knows) reach it only
    through the proxy. Returns (installed, the proxy's requests)."""
    origin_port, proxy_port = ctx.args.port + 6, ctx.args.port + 5
    table = {("127.0.0.1", ctx.args.port): ("127.0.0.1", origin_port),
             (ORIGIN_HOST, ctx.args.port): ("127.0.0.1", origin_port)}
    folder = install_folder(ctx, root)
    with Server(origin_port) as origin, Proxy(proxy_port, table) as proxy, \
            prefix_proxy_settings(settings(proxy_port)):
        origin.routes["/dl/tallyx.ver"] = Route(
            ctx.manifest(base=f"http://{ORIGIN_HOST}:{ctx.args.port}/dl/"))
        origin.routes[ARCHIVE] = Route(ctx.release())
        run = Updater(ctx, folder)
        deadline = time.monotonic() + 60
        while not offer_state(run.dump()):
            if run.process.poll() is not None:
                return False, proxy.requests, time.monotonic() - run.started
            check(time.monotonic() < deadline, "neither an offer nor an end")
            time.sleep(0.3)
        choose(run, forced=False)
        run.wait_box(TEXTS["installed"], timeout=60)
        run.driver("answer", IDOK)
        finish(run)
        assert_release_installed(ctx, folder)
        return True, proxy.requests, time.monotonic() - run.started


def proxy_only_network(ctx, root):
    """A proxy set in the Internet settings, the origin reachable through it alone: the
    check, the download and the installation all go through it."""
    installed, requests, _ = through_proxy(ctx, root, lambda port: {
        "ProxyEnable": ("REG_DWORD", 1), "ProxyServer": ("REG_SZ", f"127.0.0.1:{port}")})
    print(f"through the proxy: {requests}")
    check(installed, "the release was not installed through the proxy")
    check(f"http://127.0.0.1:{ctx.args.port}/dl/tallyx.ver" in requests, f"manifest: {requests}")
    check(f"http://{ORIGIN_HOST}:{ctx.args.port}{ARCHIVE}" in requests, f"archive: {requests}")


def proxy_autoconfig_script(ctx, root):
    """The proxy given by an automatic-configuration script (AutoConfigURL). Where WinINet
    runs the script (Windows) the release installs through the proxy; Wine 8 ignores the
    value and goes direct, which on this proxy-only network is a server that cannot be
    reached: the updater must then end by itself, quietly, within the limits."""
    installed, requests, elapsed = through_proxy(ctx, root, lambda port: {
        "AutoConfigURL": ("REG_SZ", f"http://127.0.0.1:{port}/proxy.pac")})
    print(f"autoconfiguration script: {'installed through the proxy' if installed else 'no offer'}"
          f" after {elapsed:.1f} s; the proxy saw {requests}")
    if installed:
        check(f"http://{ORIGIN_HOST}:{ctx.args.port}{ARCHIVE}" in requests, f"archive: {requests}")
    else:
        check(elapsed < PRODUCT_CONNECT_LIMIT_S + 15, f"ended only after {elapsed:.1f} s")


@contextlib.contextmanager
def immutable(folder):
    """No file can be created, renamed or deleted in `folder` (root ignores mode bits)."""
    subprocess.run(["chattr", "+i", folder], check=True, timeout=10)
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", folder], timeout=10)


def folder_not_writable(ctx, root):
    with offered(ctx, root) as (run, srv, folder, _):
        before = sorted(os.listdir(folder))
        with immutable(folder):
            for forced in (False, True):
                choose(run, forced)
                v = run.wait_box(TEXTS["needs_administrator"])
                check(v.get("box.caption") == "Tallyxupdater", f"notice caption {v}")
                run.driver("answer", IDOK)
                run.wait(lambda v: "box.text" not in v and offer_state(v), "the offer kept")
            check(srv.count(ARCHIVE) == 0, f"downloaded: {srv.requests}")
            check(sorted(os.listdir(folder)) == before, f"folder changed: {os.listdir(folder)}")
            run.driver("click", "cxButton2")
            check(run.exit_code() == 0, "exit code")


def folder_not_writable_relaunch(ctx, root):
    """The copy that takes itself for a standard user's gives up its name and starts
    itself again with the "runas" verb in the same folder. Wine starts it as a plain
    "open": every process of the prefix is already elevated, and no consent is asked."""
    with offered(ctx, root, product=ctx.args.product_unelevated) as (run, srv, folder, _):
        first_pid = run.dump().get("main.pid")
        with immutable(folder):
            choose(run, forced=False)
            code = run.exit_code(timeout=20)
            check(code == 0, f"exit code {code}")
            try:
                # The new copy is Wine's child, not ours: found through its window.
                deadline = time.monotonic() + 20
                while True:
                    again = run.dump()
                    if offer_state(again) and again.get("main.pid") != first_pid:
                        break
                    check(time.monotonic() < deadline, f"no relaunched copy: {again}")
                    time.sleep(0.3)
                check(srv.count("/dl/tallyx.ver") == 2, f"the new copy did not check: {srv.requests}")
                check(srv.count(ARCHIVE) == 0, f"downloaded: {srv.requests}")
                print(f"relaunched copy {again.get('main.pid')} replaced {first_pid}")
            finally:
                # Ended through its window, in every path: it is none of our processes.
                deadline = time.monotonic() + 20
                while run.driver("count-main")[1].get("main.count") != "0":
                    if time.monotonic() > deadline:
                        raise Failure("the relaunched copy did not end")
                    run.driver("close")
                    time.sleep(0.5)


# ------------------------------------------------------------------------------- HTTPS

def trusted_tls(ctx):
    """The certificate for localhost from the test authority, that authority trusted in
    this Wine prefix (its LocalMachine "Root" store; the machine's own store is never
    touched). Returns (certificate, key) for the server."""
    ca, cert, key = certs.localhost_set(ctx.args.tls_dir)
    r = subprocess.run([WINE, ctx.args.driver, "trust-root", ca], capture_output=True,
                       text=True, timeout=30)
    check(r.returncode == 0, f"the test authority could not be trusted: {r.stdout}")
    return cert, key


def folder_listing(folder):
    return sorted(os.path.relpath(os.path.join(top, name), folder)
                  for top, _, names in os.walk(folder) for name in names)


def install_through(ctx, root, servers, product=None):
    """Offer, install and finish with the given servers running; returns the folder."""
    folder = install_folder(ctx, root)
    with contextlib.ExitStack() as stack:
        for srv in servers:
            stack.enter_context(srv)
        run = Updater(ctx, folder, product=product)
        run.wait(offer_state, "the offer")
        choose(run, forced=False)
        run.wait_box(TEXTS["installed"], timeout=30)
        run.driver("answer", IDOK)
        run.wait(finished_state, "state Finished")
        assert_release_installed(ctx, folder)
        finish(run)
    return folder


def https_release_installs(ctx, root):
    srv = Server(ctx.tls_port, tls=trusted_tls(ctx))
    srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest(base=ctx.tls_base))
    srv.routes[ARCHIVE] = Route(ctx.release())
    install_through(ctx, root, [srv], product=ctx.args.product_tls)
    check(srv.count("/dl/tallyx.ver") == 1 and srv.count(ARCHIVE) == 1,
          f"requests over TLS: {srv.requests}")


def https_refused_certificates(ctx, root):
    """A certificate that the client cannot trust ends the check as an unreachable server
    does: no window, nothing written, not a byte of the request sent."""
    trusted_tls(ctx)
    tls_dir = ctx.args.tls_dir
    certs.authority(tls_dir, "other-authority")  # never added to the prefix
    cases = [
        ("an authority the workstation does not trust",
         certs.server(tls_dir, "localhost-other", "other-authority")),
        ("a trusted authority, another host's name",
         certs.server(tls_dir, "elsewhere", "authority", dns="update.example")),
    ]
    for n, (what, tls) in enumerate(cases):
        folder = install_folder(ctx, os.path.join(root, str(n)))
        before = sorted(folder_listing(folder) + ["TallyxUpdater.exe"])
        with Server(ctx.tls_port, tls=tls) as srv:
            srv.routes["/dl/tallyx.ver"] = Route(ctx.manifest(base=ctx.tls_base))
            srv.routes[ARCHIVE] = Route(ctx.release())
            run = Updater(ctx, folder, product=ctx.args.product_tls)
            try:
                code = run.exit_code()
            except Failure as e:
                raise Failure(f"{what}: {e}")
            check(code == 0, f"{what}: exit code {code}")
            check(not run.ever_visible, f"{what}: the window was shown")
            check(not srv.requests, f"{what}: requests sent: {srv.requests}")
            # The client may break off the handshake, or finish it and check the
            # certificate after: either way it tried, and sent nothing.
            check(srv.connections >= 1, f"{what}: the client never tried")
            print(f"{what}: {srv.connections} connection(s), "
                  f"{srv.refused_handshakes} handshake(s) broken off")
        check(folder_listing(folder) == before, f"{what}: folder changed: {folder_listing(folder)}")


def http_redirected_to_https(ctx, root):
    """The manifest's address and the archive's are http, and the server moves both to
    https: the client follows, and the release installs. (Windows follows only with the
    flag the product sets; Wine 8 follows without it, so under Wine this guards the
    scheme change and the certificate check after it, not the flag.)"""
    plain = Server(ctx.args.port)
    plain.routes["/dl/tallyx.ver"] = Route(status=301, location=ctx.tls_base + "tallyx.ver")
    plain.routes[ARCHIVE] = Route(status=302, location=ctx.tls_base + ARCHIVE_NAME)
    secure = Server(ctx.tls_port, tls=trusted_tls(ctx))
    secure.routes["/dl/tallyx.ver"] = Route(ctx.manifest(base=ctx.base))
    secure.routes[ARCHIVE] = Route(ctx.release())
    install_through(ctx, root, [plain, secure])
    check(plain.count("/dl/tallyx.ver") == 1 and secure.count("/dl/tallyx.ver") == 1,
          f"manifest: {plain.requests} then {secure.requests}")
    check(plain.count(ARCHIVE) == 1 and secure.count(ARCHIVE) == 1,
          f"archive: {plain.requests} then {secure.requests}")


def https_redirected_to_http(ctx, root):
    """An https address that the server moves to plain http is not followed: what came
    over http could come from anyone on the way. The manifest: the check ends quietly.
    The archive: the download fails."""
    tls = trusted_tls(ctx)
    folder = install_folder(ctx, os.path.join(root, "manifest"))
    with Server(ctx.tls_port, tls=tls) as secure, Server(ctx.args.port) as plain:
        secure.routes["/dl/tallyx.ver"] = Route(status=302, location=ctx.base + "tallyx.ver")
        plain.routes["/dl/tallyx.ver"] = Route(ctx.manifest())
        plain.routes[ARCHIVE] = Route(ctx.release())
        run = Updater(ctx, folder, product=ctx.args.product_tls)
        code = run.exit_code()
        check(code == 0, f"exit code {code}")
        check(secure.count("/dl/tallyx.ver") == 1, f"requests: {secure.requests}")
        check(not run.ever_visible, "the manifest that came over http was offered")
        check(not plain.count(ARCHIVE), "downloaded")
        print(f"manifest moved to http: asked {plain.count('/dl/tallyx.ver')} time(s) over http")

    folder = install_folder(ctx, os.path.join(root, "archive"))
    with Server(ctx.tls_port, tls=tls) as secure, Server(ctx.args.port) as plain:
        secure.routes["/dl/tallyx.ver"] = Route(ctx.manifest(base=ctx.tls_base))
        secure.routes[ARCHIVE] = Route(status=302, location=ctx.base + ARCHIVE_NAME)
        plain.routes[ARCHIVE] = Route(ctx.release())
        run = Updater(ctx, folder, product=ctx.args.product_tls)
        run.wait(offer_state, "the offer")
        choose(run, forced=False)
        run.wait_box(TEXTS["install_failed"], timeout=30)
        run.driver("answer", IDOK)
        check(read(folder, "tallyx.exe") == read(ctx.args.stub_old), "tallyx.exe changed")
        check(not os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "the archive was saved")
        finish(run)
        print(f"archive moved to http: asked {plain.count(ARCHIVE)} time(s) over http")


def changes_vector(ctx, name):
    with open(os.path.join(ctx.args.vectors, "changes", name), "rb") as f:
        return f.read()


def entry_span(archive, name):
    """Where the entry `name` lies in `archive`: its local header's offset and its data's
    end."""
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        info = z.getinfo(name)
    header = archive[info.header_offset:info.header_offset + 30]
    names, extra = struct.unpack("<HH", header[26:30])
    return info.header_offset, info.header_offset + 30 + names + extra + info.compress_size


def changed_entries(ctx, root, route=None, index=True, index_signature=True, tamper=None,
                    index_name=ARCHIVE_NAME + ".index", message="installed"):
    """The keyed product updating a folder that holds the signed release of many files
    but for a few: the program, two libraries changed and one missing. Returns the
    server, the folder, and the bytes an installation from those entries needs."""
    archive = bytearray(changes_vector(ctx, ARCHIVE_NAME))
    folder = install_folder(ctx, root)
    with zipfile.ZipFile(io.BytesIO(bytes(archive))) as z:
        z.extractall(folder)
        names = [i.filename for i in z.infolist() if not i.is_dir()]
    shutil.copy(ctx.args.stub_old, os.path.join(folder, "tallyx.exe"))
    changed = ["tallyx.exe", "lib/part07.dll", "lib/part23.dll", "lib/part31.dll"]
    for name in changed[1:3]:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"the installed version\r\n")
    os.remove(os.path.join(folder, changed[3]))
    before = {name: read(folder, name) for name in names if os.path.exists(os.path.join(folder, name))}
    spans = [entry_span(bytes(archive), name) for name in changed]
    central = struct.unpack("<I", archive[-6:-2])[0]
    needed = sum(end - first for first, end in spans) + len(archive) - central
    if tamper:
        first, end = entry_span(bytes(archive), tamper)
        archive[end - 10] ^= 0x01
    manifest_port = urllib.parse.urlsplit(changes_vector(ctx, "tallyx.ver").decode().splitlines()[2]).port
    check(manifest_port == ctx.args.port, "the vector's archive is served on another port")
    with Server(ctx.args.port) as srv:
        srv.routes["/dl/tallyx.ver"] = Route(changes_vector(ctx, "tallyx.ver"))
        srv.routes["/dl/tallyx.ver.sig"] = Route(changes_vector(ctx, "tallyx.ver.sig"))
        srv.routes[ARCHIVE] = route or Route(bytes(archive), ranges=True, etag='"c1"')
        srv.routes[ARCHIVE].body = bytes(archive)
        srv.routes[ARCHIVE + ".sig"] = Route(changes_vector(ctx, ARCHIVE_NAME + ".sig"))
        if index:
            # Served as the archive is: the index too is fetched by a range request.
            srv.routes[ARCHIVE + ".index"] = Route(changes_vector(ctx, index_name),
                                                   ranges=srv.routes[ARCHIVE].ranges)
        if index_signature:
            srv.routes[ARCHIVE + ".index.sig"] = Route(changes_vector(ctx, index_name + ".sig"))
        run = Updater(ctx, folder, product=ctx.args.product_keyed)
        run.wait(offer_state, "the offer")
        choose(run, forced=False)
        run.wait_box(TEXTS[message], timeout=60)
        run.driver("answer", IDOK)
        run.wait(finished_state, "state Finished")
        finish(run)
    check(not [n for n in os.listdir(folder) if n.startswith("Tallyx_changes")],
          f"left behind: {os.listdir(folder)}")
    with zipfile.ZipFile(io.BytesIO(changes_vector(ctx, ARCHIVE_NAME))) as z:
        release = {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    if message == "installed":
        for name, data in release.items():
            check(read(folder, name) == data, f"{name} is not the release's")
        check(read(folder, "plugins", "rapport.txt") == b"rapport mensuel\r\n",
              "nested tallyx.zip not extracted")
    else:
        for name in names:
            now = read(folder, name) if os.path.exists(os.path.join(folder, name)) else None
            check(now == before.get(name), f"{name} changed by a refused installation")
    asked = [h[1] for h in srv.headers if h[0] == ARCHIVE]
    sent = srv.sent.get(ARCHIVE, 0)
    print(f"archive of {len(archive)} bytes, {needed} needed: {len(asked)} request(s), "
          f"{sent} bytes sent ({sent / needed:.3f} x needed)")
    return srv, folder, needed, len(archive)


def changes_installed(ctx, root):
    srv, folder, needed, size = changed_entries(ctx, root)
    asked = [h[1] for h in srv.headers if h[0] == ARCHIVE]
    check(len(asked) == 1 and asked[0] and "," in asked[0], f"requests: {asked}")
    sent = srv.sent.get(ARCHIVE, 0)
    check(sent <= needed * 1.15, f"{sent} bytes sent, {needed} needed")
    check(sent <= size / 10, f"{sent} bytes sent of an archive of {size}")
    check(not os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "the whole archive was saved")


def changes_one_range_a_request(ctx, root):
    """A server that answers several ranges with the whole archive: one range a request."""
    srv, folder, _, _ = changed_entries(
        ctx, root, route=Route(ranges=True, multipart=False, etag='"c1"'))
    asked = [h[1] for h in srv.headers if h[0] == ARCHIVE]
    check(len(asked) >= 3 and all(a and "," not in a for a in asked[1:]), f"requests: {asked}")
    check(not os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "the whole archive was saved")


def whole_download(srv, folder):
    asked = [h[1] for h in srv.headers if h[0] == ARCHIVE]
    check(asked and asked[-1] is None, f"no whole download: {asked}")
    check(os.path.exists(os.path.join(folder, ARCHIVE_NAME)), "the archive was not saved")


def changes_without_ranges(ctx, root):
    srv, folder, _, _ = changed_entries(ctx, root, route=Route(ranges=False))
    whole_download(srv, folder)


def changes_index_missing(ctx, root):
    srv, folder, _, _ = changed_entries(ctx, root, index=False)
    whole_download(srv, folder)
    check(not [h for h in srv.headers if h[0] == ARCHIVE and h[1]], "ranges without an index")


def changes_index_unsigned(ctx, root):
    srv, folder, _, _ = changed_entries(ctx, root, index_signature=False)
    whole_download(srv, folder)
    check(not [h for h in srv.headers if h[0] == ARCHIVE and h[1]], "ranges of an unsigned index")


def changes_index_bent(ctx, root):
    """A signed index whose offsets do not fit the archive: refused before anything is
    written, the release then downloaded whole."""
    srv, folder, _, _ = changed_entries(ctx, root, index_name="bent.index")
    whole_download(srv, folder)


def changes_entry_tampered(ctx, root):
    """One changed entry's bytes altered on the server: the entry is refused, the whole
    archive then fails its signature, and the folder stays as it was."""
    srv, folder, _, _ = changed_entries(ctx, root, tamper="lib/part07.dll",
                                        message="install_failed")
    asked = [h[1] for h in srv.headers if h[0] == ARCHIVE]
    check(asked[0] and asked[-1] is None, f"requests: {asked}")


# The scenarios, in the order ctest runs them; CMake reads this list (run_e2e.py list).
SCENARIOS = {f.__name__: f for f in [
    nothing_newer, empty_manifest, server_down, manifest_404, two_line_manifest,
    no_version_resource, install_and_quit, later, running_answer_yes, running_answer_no,
    forced_retry_then_cancel, forced_fetches_again, download_404, download_cut,
    closed_during_download, answers_while_installing, closed_during_installation, second_copy, traversal_entry, wrong_crc_entry,
    damaged_middle_entry, updater_in_release, damaged_nested_archive,
    signed_release_installs, planted_libraries, planted_in_folder, signed_archive_tampered, manifest_signature_missing,
    manifest_silent, manifest_stalls, download_stalls, closed_during_stall,
    manifest_unanswered_product_limits,
    folder_not_writable, folder_not_writable_relaunch, manifest_oversized,
    https_release_installs, https_refused_certificates, http_redirected_to_https,
    https_redirected_to_http, resume_after_reset, resume_archive_replaced,
    resume_without_ranges, killed_then_resumed, download_trickles,
    download_trickles_product_limits, manifest_trickles, scanner_on_the_folder,
    proxy_only_network, proxy_autoconfig_script, changes_installed,
    changes_one_range_a_request, changes_without_ranges, changes_index_missing,
    changes_index_unsigned, changes_index_bent, changes_entry_tampered]}


def bench_update(argv):
    """One installation of a published release over an installed folder, as a user gives
    it, for scripts/bench-update-bytes.sh: the keyed product in FOLDER (already holding the
    installed version), the server already serving. Prints the seconds from the install
    click to the success box (`seconds=`), measured from outside between the driver's
    polls, so to within about a poll (0.1 s plus one driver call)."""
    p = argparse.ArgumentParser(prog="run_e2e.py bench-update")
    for name in ["product-keyed", "driver", "stub-old", "stub-new", "folder"]:
        p.add_argument("--" + name, required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--timeout", type=float, default=600, help="seconds for the installation")
    args = p.parse_args(argv)
    args.product, args.shots = args.product_keyed, None
    load_texts(args.driver)
    ctx = Context(args)
    try:
        run = Updater(ctx, args.folder, product=args.product_keyed)
        run.wait(offer_state, "the offer", timeout=60)
        clicked = time.monotonic()
        choose(run, forced=False)
        deadline = clicked + args.timeout
        while True:
            v = run.dump()
            if v.get("box.text") == TEXTS["installed"]:
                seconds = time.monotonic() - clicked
                break
            check(v.get("box.text") is None, f"box {v.get('box.text')!r} instead of success")
            check(run.process.poll() is None, "the program ended during the installation")
            check(time.monotonic() < deadline, "no success box in time")
            time.sleep(0.1)
        run.driver("answer", IDOK)
        finish(run)
    except Failure as e:
        print(f"bench-update: {e}", file=sys.stderr)
        return 1
    finally:
        stop_started()
    # The updater's own copy is no part of the installation.
    os.remove(os.path.join(args.folder, "TallyxUpdater.exe"))
    print(f"seconds={seconds:.2f}")
    return 0


def main():
    if sys.argv[1:] == ["list"]:
        print("\n".join(SCENARIOS))
        return 0
    # Not a scenario: a measurement that the benchmark script runs, never ctest.
    if sys.argv[1:2] == ["bench-update"]:
        return bench_update(sys.argv[2:])
    p = argparse.ArgumentParser()
    for name in ["product", "driver", "stub-old", "stub-new", "stub-plain"]:
        p.add_argument("--" + name, required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--shots")
    p.add_argument("--product-keyed", help="the product built with the test release keys")
    p.add_argument("--vectors", help="releases signed by tallyx-publish")
    p.add_argument("--product-short", help="the product built with short network limits")
    p.add_argument("--product-unelevated", help="the product taking itself for unelevated")
    p.add_argument("--short-stall-ms", type=int, default=4000)
    p.add_argument("--product-tls", help="the product with its manifest on https")
    p.add_argument("--tls-dir", help="scratch folder for the test certificates")
    p.add_argument("--planted", help="libraries named as system ones, to plant")
    p.add_argument("scenario", choices=sorted(SCENARIOS))
    args = p.parse_args()
    load_texts(args.driver)
    ctx = Context(args)
    root = tempfile.mkdtemp(prefix="tallyx-e2e-")
    try:
        SCENARIOS[args.scenario](ctx, root)
    except Failure as e:
        print(f"FAILED {args.scenario}: {e}")
        return 1
    finally:
        stop_started()
        shutil.rmtree(root, ignore_errors=True)
    print(f"passed {args.scenario}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
