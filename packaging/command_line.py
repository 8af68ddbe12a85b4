"""What every command of the kit does alike: its usage and error lines name it as it is typed
(white-list-package, not white_list_package.py), every error line starts with that name alone,
and a closed output (`... | head -5`) ends nothing early: what it would still print is dropped,
quietly, and its work and exit code are what they would have been. An output that cannot take
what is printed (a full disk, `> /dev/full`, an I/O error) ends nothing early either: what it
would still print is dropped, one line says so, and the command ends with exit code 1 once its
work is done."""
import argparse
import atexit
import errno
import io
import os
import sys

LOST = (errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO)  # what was printed is not where it should be


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(2, "%s: %s\n" % (self.prog, message))


def parser(prog, doc, usage=None, epilog=None):
    """The command's parser: its description the docstring's first paragraph, its usage the one
    given or argparse's own. From here on its outputs end quietly when closed."""
    quiet_when_output_closes(prog)
    return Parser(prog=prog, description=doc.split("\n\n")[0], usage=usage, epilog=epilog)


class QuietWhenClosed(io.RawIOBase):
    """An output that, once nobody reads it any more or it cannot take what is written, sends what
    is written to it nowhere, and so does every program started after, which inherits it."""

    def __init__(self, descriptor, prog, name):
        super().__init__()
        self.descriptor, self.prog, self.name = descriptor, prog, name

    def writable(self):
        return True

    def fileno(self):
        return self.descriptor

    def write(self, data):
        try:
            return os.write(self.descriptor, data)
        except BrokenPipeError:
            self.send_nowhere()
        except OSError as problem:
            if problem.errno not in LOST:
                raise
            self.send_nowhere()
            output_lost(self.prog, self.name, problem)
        return len(data)

    def send_nowhere(self):
        nowhere = os.open(os.devnull, os.O_WRONLY)
        os.dup2(nowhere, self.descriptor)
        os.close(nowhere)


def output_lost(prog, name, problem):
    """Says once that an output lost what was printed; the command then ends with exit code 1."""
    if LOST_OUTPUTS:
        return
    LOST_OUTPUTS.append(name)
    try:
        os.write(2, ("%s: the %s cannot be written (%s): the rest of it is dropped\n" % (
            prog, "output" if name == "stdout" else "error output", problem.strerror)).encode(errors="replace"))
    except OSError:
        pass


LOST_OUTPUTS = []


def end_failed_when_output_lost():
    """At exit, after what the command registered later: what is left is printed, and a command
    whose output lost what it printed ends with exit code 1."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    if LOST_OUTPUTS:
        os._exit(1)


def quiet_when_output_closes(prog):
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if stream is None or isinstance(getattr(getattr(stream, "buffer", None), "raw", None), QuietWhenClosed):
            continue
        stream.flush()
        quiet = io.TextIOWrapper(io.BufferedWriter(QuietWhenClosed(stream.fileno(), prog, name)),
                                 encoding=stream.encoding, errors=stream.errors, line_buffering=stream.line_buffering)
        setattr(sys, name, quiet)
        if name == "stdout":
            atexit.register(end_failed_when_output_lost)
