"""The demo: the real TallyxUpdater.exe under Wine, offered a release by the local web
server, installs it while screenshots are taken of the offer, the download and the end;
then it is offered the next release, which changes a few files, and fetches only those
entries of the archive (range requests against the published index). Both releases are
signed and published with tallyx-publish, under the key that the demo's build trusts.
It is worked with real clicks and keys through the X server (xdotool), as a person would.

usage: demo.py --product EXE --driver EXE --stub-old EXE --stub-new EXE --stub-next EXE
               --stub-plain EXE --publish EXE --key PEM --port N [--manifest-url URL]
               --www DIR --releases DIR --access-log FILE --folder DIR --shots DIR
"""
import argparse
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_e2e as e2e  # noqa: E402


def snapshot(folder):
    tree = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()[:12]
    return tree


def shot(path, whole_screen=False):
    """The updater's window alone, with the frame that the window manager draws around it
    (its title bar shows the caption, the download's progress in Mo), where xdotool finds
    it; else (or when a box stands over it) the whole screen."""
    found = [] if whole_screen else subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", "Tallyx Updater"],
        capture_output=True, text=True).stdout.split()
    frame = ["-frame", "-window", found[-1]] if found else ["-window", "root"]
    subprocess.run(["import", *frame, path], stderr=subprocess.DEVNULL, timeout=30)
    print(f"  screenshot: {path}")


def real_click(run, *target):
    """A click as a person gives it: xdotool moves the X pointer and presses the button
    (XTEST), and Wine's own hit-testing finds the control."""
    code, where = run.driver("where", *target)
    if code != 0:
        raise e2e.Failure(f"nothing to click at {target}")
    subprocess.run(["xdotool", "mousemove", where["x"], where["y"], "click", "1"], check=True,
                   timeout=10)


def publish(args, tree, version, date, url_base):
    """The release folder `tree` ({name: bytes}) published into the site with
    tallyx-publish: archive, index, manifest and their signatures."""
    folder = os.path.join(args.releases, version)
    shutil.rmtree(folder, ignore_errors=True)
    for name, data in tree.items():
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    history = os.path.join(args.releases, version + ".txt")
    with open(history, "w", encoding="utf-8") as f:
        f.write("\n".join(e2e.HISTORY) + "\n")
    out = os.path.join(args.www, "dl")
    previous = os.path.join(out, "tallyx.ver")
    subprocess.run([args.publish, "release", "--key", args.key, "--version", version,
                    "--date", date, "--history", history, "--url-base", url_base,
                    "--out", out, *(["--previous", previous] if os.path.exists(previous) else []),
                    folder], check=True, stdout=subprocess.DEVNULL, timeout=120)


def log_size(path):
    return os.path.getsize(path) if os.path.exists(path) else 0


def archive_requests(path, start, archive):
    """(requests, bytes sent, statuses) of nginx's answers for `archive` in its access log
    (the combined format) after byte `start`."""
    with open(path, "rb") as f:
        f.seek(start)
        lines = f.read().decode("utf-8", "replace").splitlines()
    answers = [m for m in (re.search(r'"[A-Z]+ (\S+) [^"]*" (\d{3}) (\d+)', line) for line in lines)
               if m and m.group(1) == archive]
    return (len(answers), sum(int(m.group(3)) for m in answers),
            sorted({m.group(2) for m in answers}))


def report_changes(before, after):
    for name in sorted(set(before) | set(after)):
        if name not in before:
            print(f"  added    {name}")
        elif name not in after:
            print(f"  removed  {name}")
        elif before[name] != after[name]:
            print(f"  replaced {name}")


def install(ctx, args, offer, shots):
    """Runs the product in the demo folder and installs what it offers, clicking as a
    user does; `shots` names the pictures of the offer, the download, the success box and
    the finished window (None: no picture). False when the demo has to stop."""
    def path(name):
        return os.path.join(args.shots_dir, name + ".png")

    run = e2e.Updater(ctx, args.folder)
    try:
        run.wait(e2e.offer_state, offer)
        time.sleep(0.5)
        shot(path(shots[0]))
        real_click(run, "cxButton1")
        if shots[1]:
            run.wait(lambda v: v.get("main.caption", "").startswith("Vantrel Tallyx Updater : ")
                     and v.get("cxProgressBar1.text") not in ("0 %", "100 %"), "the download", 60)
            shot(path(shots[1]))
        run.wait_box(e2e.TEXTS["installed"], timeout=60)
        shot(path(shots[2]), whole_screen=True)
        # The box has the keyboard: Enter answers its default button, OK.
        subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)
        run.wait(e2e.finished_state, "state Finished")
        if shots[3]:
            time.sleep(0.5)
            shot(path(shots[3]))
        real_click(run, "cxButton3")
        print(f"TallyxUpdater ended with exit code {run.exit_code()}")
        return True
    except e2e.Failure as error:
        print(f"demo stopped: {error}")
        run.process.kill()
        return False


def main():
    p = argparse.ArgumentParser()
    for name in ["product", "driver", "stub-old", "stub-new", "stub-next", "stub-plain",
                 "publish", "key", "www", "releases", "access-log", "folder", "shots"]:
        p.add_argument("--" + name, required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--manifest-url", help="where the product looks for tallyx.ver")
    args = p.parse_args()
    args.shots_dir = args.shots
    e2e.load_texts(args.driver)
    ctx = e2e.Context(args)
    manifest_url = args.manifest_url or ctx.base + "tallyx.ver"
    # The archive is published beside the manifest.
    url_base = manifest_url.rsplit("/", 1)[0]
    ctx.base = url_base + "/"

    # The first release, and the next one: a new program, its notes and a list changed, a
    # template added; the large catalogue and the nested archive as they were.
    inner = io.BytesIO()
    with zipfile.ZipFile(inner, "w", zipfile.ZIP_DEFLATED) as n:
        n.writestr("plugins/rapport.txt", "rapport mensuel\r\n")
    first = {
        "tallyx.exe": ctx.stub_new,
        "lisez-moi.txt": b"Tallyx 4.2.7.1530\r\n",
        "donn\u00e9es/cat\u00e9gories.csv": "code;libell\u00e9\r\n1;Pi\u00e8ces\r\n".encode(),
        "tallyx.zip": inner.getvalue(),
        "bin/catalogue.dat": os.urandom(2_500_000),
    }
    second = dict(first)
    second["tallyx.exe"] = open(args.stub_next, "rb").read()
    second["lisez-moi.txt"] = b"Tallyx 4.2.7.1531\r\n"
    second["donn\u00e9es/cat\u00e9gories.csv"] += "2;Outillage\r\n".encode()
    second["mod\u00e8les/\u00e9tiquette.txt"] = b"{code} {libelle}\r\n"

    shutil.rmtree(os.path.join(args.www, "dl"), ignore_errors=True)
    os.makedirs(os.path.join(args.www, "dl"))
    publish(args, first, "4.2.7.1530", "05/03/2021", url_base)
    shutil.rmtree(args.folder, ignore_errors=True)
    os.makedirs(args.folder)
    shutil.copy(args.stub_old, os.path.join(args.folder, "tallyx.exe"))
    os.makedirs(args.shots, exist_ok=True)
    before = snapshot(args.folder)

    print(f"installation folder: {args.folder} (tallyx.exe 4.2.7.1500)")
    print(f"manifest: {manifest_url} (release 4.2.7.1530, signed)")
    args.shots = None  # the demo takes its own pictures
    if not install(ctx, args, "the offer", ["1-offer", "2-download", "3-success", "4-finished"]):
        return 1
    after = snapshot(args.folder)
    print("what changed in the installation folder:")
    report_changes(before, after)

    # The next release, published over the first (tallyx-publish checks that its build
    # is above the published one).
    publish(args, second, "4.2.7.1531", "12/04/2021", url_base)
    archive = "/" + url_base.split("/", 3)[3] + "/Tallyx_4.2.7.1531.zip"
    archive_size = os.path.getsize(os.path.join(args.www, "dl", "Tallyx_4.2.7.1531.zip"))
    print(f"manifest: {manifest_url} (release 4.2.7.1531, signed, with its index)")
    before, logged = after, log_size(args.access_log)
    shots = ["5-update-offer", None, "6-update-success", None]
    if not install(ctx, args, "the offer of the next release", shots):
        return 1
    after = snapshot(args.folder)
    print("what changed in the installation folder:")
    report_changes(before, after)
    wrong = [name for name, data in second.items()
             if e2e.read(args.folder, *name.split("/")) != data]
    if wrong:
        print(f"demo stopped: not the published release: {wrong}")
        return 1
    time.sleep(0.5)  # nginx logs a request once its answer is out
    requests, sent, statuses = archive_requests(args.access_log, logged, archive)
    print(f"nginx sent {sent} bytes of the {archive_size}-byte archive for the update, in "
          f"{requests} request(s) (status {', '.join(statuses) or 'none'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
