#!/usr/bin/python3
"""Waits until Quillmere's form is on the emulated device's screen and painted: the shell's top
bar with its OK button and the soft-key bar, the main window, the frames of the ten SSID fields
where the screen's arrangement puts them, and the picture settled (two grabs in a row the same).
Then saves that picture and taps OK if asked. Without the form by the deadline, or when the
program watched ends first, it says so and exits 1; nothing is saved then.

    emulated_device/wait-for-form [--name NAME] [--screen WxH] [--timeout SECONDS]
                                  [--screenshot FILE] [--tap-ok] [--pid PID]"""
import io
import os
import subprocess
import sys
import time

from PIL import ImageGrab

import security
import command_line
import output_folders
import whole_files
from printable_text import printable

TOP_BAR_HEIGHT, MENU_BAR_HEIGHT, OK_BUTTON_RIGHT, OK_BUTTON_WIDTH = 36, 52, 4, 46
TOP_BAR_COLOUR, MENU_BAR_COLOUR = (16, 48, 96), (40, 40, 40)  # the shell stand-in paints its bars so
SETTLE_SECONDS = 0.2


def grab(display):
    """The screen as an RGB picture."""
    return ImageGrab.grab(xdisplay=display).convert("RGB")


def field_frames(width, height):
    """(x, y, width, height) of the ten SSID fields in the form's arrangement for the screen."""
    if width > height:
        return [(90 if i < 5 else 415, 130 + 40 * (i % 5), 210, 40) for i in range(10)]
    return [(95, 120 + 40 * i, 370, 40) for i in range(10)]


def missing_parts(picture):
    """What of the form the picture does not show yet; empty when it shows it all."""
    width, height = picture.size
    at = picture.getpixel

    def bright(x, y):
        return min(at((x, y))) >= 230

    missing = []
    if at((2, 2)) != TOP_BAR_COLOUR:
        missing.append("the top bar")
    if not bright(width - OK_BUTTON_RIGHT - OK_BUTTON_WIDTH + 6, 8):
        missing.append("its OK button")
    if at((2, height - 2)) != MENU_BAR_COLOUR:
        missing.append("the soft-key bar")
    if not bright(width - 3, height - MENU_BAR_HEIGHT - 3):
        missing.append("the main window")
    frames = [number for number, (x, y, _, h) in enumerate(field_frames(width, height), 1)
              if not (max(at((x, y + h // 2))) < 200 and bright(x + 1, y + h // 2))]
    if frames:
        missing.append("the frames of SSID fields %s" % ", ".join(map(str, frames)))
    return missing


def save_png(picture, path):
    """The picture as a PNG, written whole or not at all."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    whole_files.write_whole(path, png_bytes(picture))


def png_bytes(picture):
    with io.BytesIO() as out:
        picture.save(out, format="PNG")
        return out.getvalue()


def tap(display, x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True,
                   env=dict(os.environ, DISPLAY=display))


def alive(pid):
    try:
        finished, _ = os.waitpid(pid, os.WNOHANG)
        return finished == 0
    except ChildProcessError:  # not our child: ask the kernel
        try:
            os.kill(pid, 0)
            return True
        except ProcessLookupError:
            return False


def wait_for_form(display, deadline, pid=None):
    """The settled picture of the form, or the reason there is none."""
    previous, missing = None, ["everything (no picture taken)"]
    while time.monotonic() < deadline:
        if pid is not None and not alive(pid):
            return None, "the program ended before its form was on the screen"
        try:
            picture = grab(display)
        except OSError:
            missing, previous = ["a picture of the screen"], None
            time.sleep(SETTLE_SECONDS)
            continue
        missing = missing_parts(picture)
        pixels = picture.tobytes()
        if not missing and pixels == previous:
            return picture, None
        previous = None if missing else pixels
        time.sleep(SETTLE_SECONDS)
    return None, "the form was not on the screen within the deadline; missing: %s" % "; ".join(missing)


def main():
    parser = command_line.parser("wait-for-form", __doc__)
    security.add_device_arguments(parser)
    parser.add_argument("--timeout", type=float, default=60, help="seconds to wait (default 60)")
    parser.add_argument("--screenshot", metavar="FILE", help="save the form's picture as a PNG")
    parser.add_argument("--tap-ok", action="store_true", help="then tap the top bar's OK, as a user would")
    parser.add_argument("--pid", type=int, help="give up when this process ends")
    arguments = parser.parse_args()
    place = None
    if arguments.screenshot:
        try:
            place = output_folders.output_file(arguments.screenshot, "wait-for-form")
        except output_folders.Refused as problem:
            parser.error(str(problem))
    display = security.Device(arguments.name, arguments.screen).display
    form, reason = wait_for_form(display, time.monotonic() + arguments.timeout, arguments.pid)
    if form is None:
        sys.exit("wait-for-form: %s (%s s)" % (reason, "%g" % arguments.timeout))
    if place:
        try:
            save_png(form, place)
        except OSError as problem:
            sys.exit("wait-for-form: %s: cannot be written: %s" % (printable(arguments.screenshot),
                                                                   problem.strerror or problem))
    if arguments.tap_ok:
        tap(display, form.width - OK_BUTTON_RIGHT - OK_BUTTON_WIDTH // 2, TOP_BAR_HEIGHT // 2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
