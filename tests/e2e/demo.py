"""The demo: the real TallyxUpdater.exe under Wine, offered a release by the local web
server, installs it while screenshots are taken of the offer, the download and the end.
It is worked with real clicks and keys through the X server (xdotool), as a person would.

usage: demo.py --product EXE --driver EXE --stub-old EXE --stub-new EXE --stub-plain EXE
               --port N [--manifest-url URL] --www DIR --folder DIR --shots DIR
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time

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


def main():
    p = argparse.ArgumentParser()
    for name in ["product", "driver", "stub-old", "stub-new", "stub-plain", "www", "folder",
                 "shots"]:
        p.add_argument("--" + name, required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--manifest-url", help="where the product looks for tallyx.ver")
    args = p.parse_args()
    args.shots_dir = args.shots
    e2e.load_texts(args.driver)
    ctx = e2e.Context(args)
    manifest_url = args.manifest_url or ctx.base + "tallyx.ver"
    # The archive is published beside the manifest.
    ctx.base = manifest_url.rsplit("/", 1)[0] + "/"

    os.makedirs(os.path.join(args.www, "dl"), exist_ok=True)
    with open(os.path.join(args.www, "dl", "tallyx.ver"), "wb") as f:
        f.write(ctx.manifest())
    release = ctx.release(extra=[("bin/catalogue.dat", os.urandom(2_500_000))])
    with open(os.path.join(args.www, "dl", "Tallyx_4.2.7.1530.zip"), "wb") as f:
        f.write(release)
    shutil.rmtree(args.folder, ignore_errors=True)
    os.makedirs(args.folder)
    shutil.copy(args.stub_old, os.path.join(args.folder, "tallyx.exe"))
    os.makedirs(args.shots, exist_ok=True)
    before = snapshot(args.folder)

    print(f"installation folder: {args.folder} (tallyx.exe 4.2.7.1500)")
    print(f"manifest: {manifest_url} (release 4.2.7.1530)")
    args.shots = None  # the demo takes its own pictures
    run = e2e.Updater(ctx, args.folder)
    try:
        run.wait(e2e.offer_state, "the offer")
        time.sleep(0.5)
        shot(os.path.join(args.shots_dir, "1-offer.png"))
        real_click(run, "cxButton1")
        run.wait(lambda v: v.get("main.caption", "").startswith("Vantrel Tallyx Updater : ")
                 and v.get("cxProgressBar1.text") not in ("0 %", "100 %"), "the download", 60)
        shot(os.path.join(args.shots_dir, "2-download.png"))
        run.wait_box(e2e.TEXTS["installed"], timeout=60)
        shot(os.path.join(args.shots_dir, "3-success.png"), whole_screen=True)
        # The box has the keyboard: Enter answers its default button, OK.
        subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)
        run.wait(e2e.finished_state, "state Finished")
        time.sleep(0.5)
        shot(os.path.join(args.shots_dir, "4-finished.png"))
        real_click(run, "cxButton3")
        print(f"TallyxUpdater ended with exit code {run.exit_code()}")
    except e2e.Failure as error:
        print(f"demo stopped: {error}")
        run.process.kill()
        return 1

    after = snapshot(args.folder)
    print("what changed in the installation folder:")
    for name in sorted(set(before) | set(after)):
        if name not in before:
            print(f"  added    {name}")
        elif name not in after:
            print(f"  removed  {name}")
        elif before[name] != after[name]:
            print(f"  replaced {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
