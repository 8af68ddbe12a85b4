"""Where the kit's commands write. The package and signing commands write only into a new folder,
an empty one, or an earlier output of their own: one holding its marker file, which lists every
file (with its SHA-256) and folder the command wrote there, and nothing else. Anything else is
refused before anything is signed, as are the guarded folders (the checkout, its build folder,
the build folder given, the user's home, the current folder) and every folder above them,
whatever path leads there. Every file a command writes on its own (a query, a CSV, an answer, a
picture) follows the same rule: never into a guarded folder nor one above it; folders below them
are fine. Replacing moves the earlier files aside, moves the new ones in and only then deletes the
earlier ones: a failure, or SIGTERM, SIGINT or SIGHUP, leaves either the earlier output whole or
the new one."""
import contextlib
import hashlib
import json
import os
import pwd
import shutil
import signal
import stat
import tempfile

import whole_files
from printable_text import printable

MARKER = ".kit-signing-output"
MAX_MARKER_BYTES = 1 << 20
CHECKOUT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
ABOUT = ("Written by the Quillmere kit's signing commands. The command named here replaces only what is listed, and "
         "refuses this folder if it holds anything else or a listed file was changed.")


class Refused(Exception):
    pass


class Stopped(BaseException):
    """A stop signal: raised where the program is, so that its clean-up runs."""

    def __init__(self, number):
        super().__init__(number)
        self.name = signal.Signals(number).name
        self.number = number


def stop_on_signals():
    """The first stop signal raises Stopped; a second one ends the program at once. A signal
    ignored from the start (nohup's SIGHUP) stays ignored."""
    handled = [number for number in STOP_SIGNALS if signal.getsignal(number) is not signal.SIG_IGN]

    def stop(number, frame):
        for each in handled:
            signal.signal(each, signal.SIG_DFL)
        raise Stopped(number)
    for number in handled:
        signal.signal(number, stop)


@contextlib.contextmanager
def signals_held():
    """Holds the stop signals back while files are moved: the moves complete, then they act."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def guarded_folders(build_folders):
    """Folders never written as an output, nor any folder above them."""
    guarded = [("the checkout", CHECKOUT), ("the build folder", os.path.join(CHECKOUT, "build")),
               ("the current folder", os.getcwd()), ("the home folder", os.path.expanduser("~"))]
    try:
        guarded.append(("the home folder", pwd.getpwuid(os.getuid()).pw_dir))
    except KeyError:  # a user without an account entry (in a container): $HOME only
        pass
    guarded += [("the build folder", folder) for folder in build_folders]
    return [(what, os.path.realpath(folder)) for what, folder in guarded]


def guarded_by(place, build_folders=()):
    """(what, "is" or "holds") when the real path `place` is a guarded folder or one above it."""
    for what, folder in guarded_folders(build_folders):
        if folder == place:
            return what, "is"
        if folder.startswith(place.rstrip("/") + "/"):
            return what, "holds"
    return None


def output_place(path, command, build_folders=()):
    """The output folder's real path, as the system reads the path given; refuses a symbolic link
    as the output itself, and a guarded folder or one above it."""
    given = os.path.join(os.getcwd(), path)
    parent, name = os.path.split(given.rstrip("/"))
    if name in ("", ".", ".."):
        place = os.path.realpath(given)
    else:
        place = os.path.join(os.path.realpath(parent or "/"), name)
        if os.path.islink(place):
            raise Refused("%s is a symbolic link: give the folder itself" % path)
    guarded = guarded_by(place, build_folders)
    if guarded:
        raise Refused("%s %s %s: %s never writes there" % (path, guarded[1], guarded[0], command))
    return place


def output_file(path, command):
    """Where a command writes one file of its own (a query, a CSV, an answer, a picture), by the
    rule of the output folders: never into a guarded folder nor into one above it; a folder below
    them is fine. What the path names is replaced only when it is a regular file: never a
    symbolic link, a FIFO, a device or a folder (/dev/stdout would become a file)."""
    name = os.path.basename(path)
    if name in ("", ".", "..") or os.path.isdir(path):
        raise Refused("%s is a folder: give a file's name" % printable(path))
    folder = os.path.realpath(os.path.dirname(os.path.join(os.getcwd(), path)))
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise Refused("%s is not a folder: %s cannot be written into it" % (printable(os.path.dirname(path)),
                                                                           printable(name)))
    guarded = guarded_by(folder, ())
    if guarded:
        where = guarded[0] if guarded[1] == "is" else "a folder that holds " + guarded[0]
        raise Refused("%s would be written into %s: %s writes no file there nor in a folder above it; give a "
                      "folder below it" % (printable(path), where, command))
    place = os.path.join(folder, name)
    try:
        mode = os.lstat(place).st_mode
    except OSError:
        return place
    if not stat.S_ISREG(mode):
        kind = next((kind for test, kind in whole_files.KINDS if test(mode)), "something else")
        raise Refused("%s is %s, not a regular file: %s replaces only a file" % (printable(path), kind, command))
    return place


def refuse_over_an_input(path, inputs, why):
    """An output is never written over one of the command's inputs (what, path), whatever path
    names it."""
    try:
        written = os.stat(path)
    except OSError:
        return
    for what, input_path in inputs:
        try:
            read = os.stat(input_path)
        except OSError:
            continue
        if (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino):
            raise Refused("%s: is %s, %s" % (printable(path), what, why))


def open_regular(path):
    """A file the command wrote, opened for reading: never through a symbolic link."""
    return whole_files.open_regular(path, follow_links=False)


def digest(path):
    with open_regular(path) as source:
        return hashlib.file_digest(source, "sha256").hexdigest()


def listing(place, ignoring=None, listed=None):
    """Every file (with its SHA-256) and folder under `place`, by relative path, without the marker;
    anything else (a symbolic link, a FIFO, a device) is refused, and so is anything the marker
    `listed` does not name, before any file is read."""
    files, folders = {}, set()

    def walk(folder, prefix):
        with os.scandir(folder) as entries:
            for entry in sorted(entries, key=lambda entry: entry.name):
                relative = prefix + entry.name
                if relative in (MARKER, ignoring):
                    continue
                if entry.is_dir(follow_symlinks=False):
                    kind = "folders"
                elif entry.is_file(follow_symlinks=False):
                    kind = "files"
                else:
                    raise Refused("holds %s, which is neither a file nor a folder (a symbolic link?): the kit's "
                                  "signing commands write none" % relative)
                if listed is not None and relative not in listed[kind]:
                    raise Refused("holds %s, which %s did not write: move it away, or give another folder" % (
                        relative, listed["written by"]))
                if kind == "folders":
                    folders.add(relative)
                    walk(entry.path, relative + "/")
                else:
                    files[relative] = digest(entry.path)
    walk(place, "")
    return files, folders


def read_marker(place, shown):
    """The marker's listing, or None when there is none."""
    path = os.path.join(place, MARKER)
    try:
        with open_regular(path) as source:
            data = source.read(MAX_MARKER_BYTES + 1)
    except FileNotFoundError:
        return None
    except OSError:
        raise Refused("%s: %s is not a file that can be read: not an output of the kit's signing commands" % (
            shown, MARKER)) from None
    try:
        marker = json.loads(data.decode("utf-8"))
        command, files, folders = marker["written by"], marker["files"], marker["folders"]
        if not (isinstance(command, str) and isinstance(files, dict) and isinstance(folders, list) and
                all(isinstance(value, str) for value in list(files.values()) + folders)):
            raise ValueError
    except (ValueError, UnicodeDecodeError, KeyError, TypeError):
        raise Refused("%s: %s is not a marker of the kit's signing commands" % (shown, MARKER)) from None
    return marker


def earlier_output(place, command, shown, ignoring=None):
    """What an acceptable output folder holds (files with their SHA-256, folders): nothing for a
    new or empty folder, else the earlier output of `command`; refuses anything else."""
    try:
        mode = os.lstat(place).st_mode
    except FileNotFoundError:
        return {}, set()
    if not stat.S_ISDIR(mode):
        raise Refused("%s is not a folder" % shown)
    marker = read_marker(place, shown)
    if marker is None:
        if set(os.listdir(place)) - {ignoring}:
            raise Refused("%s is not empty and holds no %s: %s writes only into a new or empty folder or its own "
                          "earlier output" % (shown, MARKER, command))
        return {}, set()
    if marker["written by"] != command:
        raise Refused("%s is an output of %s, not of %s: give %s a folder of its own" % (
            shown, marker["written by"], command, command))
    try:
        files, folders = listing(place, ignoring, marker)
    except Refused as problem:
        raise Refused("%s %s" % (shown, problem)) from None
    for relative in sorted(files):
        if files[relative] != marker["files"][relative]:
            raise Refused("%s: %s was changed after %s wrote it: move it away, or give another folder" % (
                shown, relative, command))
    return files, folders


def write_marker(folder, command, files, folders):
    document = {"written by": command, "about": ABOUT, "folders": sorted(folders), "files": files}
    with open(os.path.join(folder, MARKER), "x", encoding="utf-8") as out:
        out.write(json.dumps(document, indent=1, sort_keys=True) + "\n")


def mark_folder(folder, command):
    """Writes the marker of a complete new output, listing all it holds."""
    files, folders = listing(folder)
    write_marker(folder, command, files, folders)


def keep_attributes(earlier, new):
    """The new folder takes the earlier one's mode, owner and extended attributes, as far as this
    user may give them (a group's shared folder stays the group's)."""
    try:
        shutil.copystat(earlier, new)
    except OSError:
        pass
    details = os.lstat(earlier)
    try:
        os.chown(new, details.st_uid, details.st_gid)
    except OSError:
        pass


def replace_folder(staging, place, command, shown):
    """Moves a complete new output (staging, beside the place) in: an earlier output is moved aside
    first and checked there, where nothing is written into it meanwhile (moved back and refused
    when it holds anything else), and deleted only after. The new folder keeps the earlier one's
    owner, mode and extended attributes. Returns a warning when the earlier output, already
    replaced, could not be deleted."""
    with signals_held():
        earlier_output(place, command, shown)
        aside = None
        if os.path.lexists(place):
            aside = tempfile.mkdtemp(prefix=".%s-earlier-" % command, dir=os.path.dirname(place))
            try:
                os.rename(place, aside)
            except OSError:
                os.rmdir(aside)
                raise
            try:
                earlier_output(aside, command, shown)
            except BaseException:
                os.rename(aside, place)
                raise
            keep_attributes(aside, staging)
        try:
            os.rename(staging, place)
        except BaseException:
            if aside:
                os.rename(aside, place)
            raise
        if aside:
            try:
                shutil.rmtree(aside)
            except OSError as problem:
                return "the earlier output, moved aside to %s, could not be deleted: %s" % (aside, problem.strerror)
    return None


def move_in(staging, place, names, command, shown, removing=()):
    """Moves the new files `names` from staging (a folder inside the place) in together, with a
    marker that lists them beside what the place held, and takes out the earlier files `removing`
    (which the command wrote); on a failure every move is undone. What was taken out or replaced
    lies in staging, which the caller deletes."""
    with signals_held():
        files, folders = earlier_output(place, command, shown, ignoring=os.path.basename(staging))
        for name in removing:
            files.pop(name, None)
        files.update({name: digest(os.path.join(staging, name)) for name in names})
        write_marker(staging, command, files, folders)
        earlier = os.path.join(staging, "earlier")
        os.mkdir(earlier)
        moves = []
        try:
            for name in [MARKER] + list(names) + [name for name in removing if name not in names]:
                if os.path.lexists(os.path.join(place, name)):
                    os.rename(os.path.join(place, name), os.path.join(earlier, name))
                    moves.append((os.path.join(place, name), os.path.join(earlier, name)))
            for name in [MARKER] + list(names):
                os.rename(os.path.join(staging, name), os.path.join(place, name))
                moves.append((os.path.join(staging, name), os.path.join(place, name)))
        except BaseException:
            for source, target in reversed(moves):
                os.rename(target, source)
            raise
