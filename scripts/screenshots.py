#!/usr/bin/python3
"""Takes screenshots of the consent box and the all-installed box on a virtual
display (Xvfb), in a Wine virtual desktop so that the boxes have title bars, and
writes them to docs/. xdotool clicks into each box and answers it with Enter
(Yes, then OK), as a user would.

Usage: screenshots.py IMAGE OUTPUT_DIR
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winetest  # noqa: E402

DESKTOP = "install-ca-certs"
WIDTH, HEIGHT = 760, 260


def desktop_window(display):
    env = dict(os.environ, DISPLAY=display)
    found = []

    def search():
        out = subprocess.run(["xdotool", "search", "--name", f"^{DESKTOP} - Wine desktop$"],
                             env=env, capture_output=True, text=True).stdout.split()
        found[:] = out
        return bool(out)

    if not winetest.wait_until(search, 60):
        sys.exit("the Wine desktop window did not appear")
    return found[0], env


def main():
    image, out_dir = os.path.abspath(sys.argv[1]), sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    prefix = winetest.new_prefix("screenshots")

    with winetest.Display() as display:
        process = winetest.start(prefix, ["explorer", f"/desktop={DESKTOP},{WIDTH}x{HEIGHT}", image],
                                 display=display.name)
        window, env = desktop_window(display.name)
        for name in ("consent-box.png", "installed-box.png"):
            time.sleep(3)  # the box lays itself out and paints
            # The box is centred: a click there gives it the focus (there is no
            # window manager) and lands on its text, not on a button.
            subprocess.run(["xdotool", "mousemove", "--window", window, str(WIDTH // 2),
                            str(HEIGHT // 2), "click", "1"], env=env, check=True)
            time.sleep(1)
            path = os.path.join(out_dir, name)
            subprocess.run(["import", "-window", window, path], env=env, check=True)
            print("wrote", path)
            subprocess.run(["xdotool", "key", "Return"], env=env, check=True)
        winetest.finish(prefix, process, timeout=120)
    shutil.rmtree(prefix, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
