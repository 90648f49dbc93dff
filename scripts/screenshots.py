#!/usr/bin/python3
"""Takes screenshots of the consent box and the all-installed box on a virtual
display (Xvfb), in a Wine virtual desktop so that the boxes have title bars, and
writes them to docs/. xdotool clicks into each box and answers it with Enter
(Yes, then OK), as a user would.

The boxes are shown as a Russian user sees them: Wine runs under the ru_RU.UTF-8
locale (compiled into the build folder, so the system needs only the locale
sources of Debian's locales package), so that USER32 labels the buttons «Да»,
«Нет» and «ОК»; and the prefix gets Wine's TrueType fonts, Marlett among them,
so that the title bar's close button is drawn as a symbol.

The image is the shipped one where this host executes 32-bit code, else its
64-bit twin, whose boxes are the same (tests/e2e/wineplatform.py).

Usage: screenshots.py OUTPUT_DIR
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
LOCALE = "ru_RU.UTF-8"
WINE_FONTS = "/usr/share/wine/fonts"  # Debian's fonts-wine


def desktop_window(display):
    env = dict(os.environ, DISPLAY=display)
    try:  # --sync: until it appears
        return subprocess.run(["xdotool", "search", "--sync", "--name", f"^{DESKTOP} - Wine desktop$"],
                              env=env, capture_output=True, text=True,
                              timeout=60).stdout.split()[0], env
    except subprocess.TimeoutExpired:
        sys.exit("the Wine desktop window did not appear")


def russian_locale():
    """A folder for LOCPATH that holds ru_RU.UTF-8."""
    folder = os.path.join(winetest.WINE_ROOT, "locale")
    if not os.path.isdir(os.path.join(folder, LOCALE)):
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["localedef", "-i", "ru_RU", "-f", "UTF-8", os.path.join(folder, LOCALE)],
                       check=True)
    return folder


def main():
    image, out_dir = winetest.IMAGE, sys.argv[1]
    print(f"Image: {winetest.PLATFORM.arch.image}, {os.path.relpath(image, ROOT)}")
    os.makedirs(out_dir, exist_ok=True)
    prefix = winetest.new_prefix("screenshots")
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    for name in os.listdir(WINE_FONTS):
        if name.endswith(".ttf"):
            shutil.copy(os.path.join(WINE_FONTS, name), fonts)
    os.environ.update(LOCPATH=russian_locale(), LANG=LOCALE, LC_ALL=LOCALE, LANGUAGE="ru")

    with winetest.display() as display:
        process = winetest.start(prefix, ["explorer", f"/desktop={DESKTOP},{WIDTH}x{HEIGHT}", image],
                                 display=display)
        window, env = desktop_window(display)
        # Without a window manager, the desktop takes the keyboard only when told.
        subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, check=True)
        for name in ("consent-box.png", "installed-box.png"):
            time.sleep(3)  # the box lays itself out and paints
            # A click on the desktop's corner, then one in the middle of the box (on
            # its text, not on a button): the box comes back active, as one the
            # user has just clicked.
            for x, y in ((5, 5), (WIDTH // 2, HEIGHT // 2)):
                subprocess.run(["xdotool", "mousemove", "--window", window, str(x), str(y),
                                "click", "1"], env=env, check=True)
                time.sleep(1)
            path = os.path.join(out_dir, name)
            subprocess.run(["import", "-window", window, path], env=env, check=True)
            print("wrote", path)
            subprocess.run(["xdotool", "key", "Return"], env=env, check=True)
        winetest.finish(prefix, process, timeout=120)
        winetest.end_session(prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
