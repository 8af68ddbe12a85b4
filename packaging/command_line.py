"""What every command of the kit does alike: its usage and error lines name it as it is typed
(white-list-package, not white_list_package.py), every error line starts with that name alone,
and a closed output (`... | head -5`) ends nothing early: what it would still print is dropped,
quietly, and its work and exit code are what they would have been."""
import argparse
import io
import os
import sys


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(2, "%s: %s\n" % (self.prog, message))


def parser(prog, doc, usage=None, epilog=None):
    """The command's parser: its description the docstring's first paragraph, its usage the one
    given or argparse's own. From here on its outputs end quietly when closed."""
    quiet_when_output_closes()
    return Parser(prog=prog, description=doc.split("\n\n")[0], usage=usage, epilog=epilog)


class QuietWhenClosed(io.RawIOBase):
    """An output that, once nobody reads it any more, sends what is written to it nowhere, and so
    does every program started after, which inherits it."""

    def __init__(self, descriptor):
        super().__init__()
        self.descriptor = descriptor

    def writable(self):
        return True

    def fileno(self):
        return self.descriptor

    def write(self, data):
        try:
            return os.write(self.descriptor, data)
        except BrokenPipeError:
            nowhere = os.open(os.devnull, os.O_WRONLY)
            os.dup2(nowhere, self.descriptor)
            os.close(nowhere)
            return len(data)


def quiet_when_output_closes():
    for name in ("stdout", "stderr"):
        stream = getattr(sys, name)
        if stream is None or isinstance(getattr(getattr(stream, "buffer", None), "raw", None), QuietWhenClosed):
            continue
        stream.flush()
        quiet = io.TextIOWrapper(io.BufferedWriter(QuietWhenClosed(stream.fileno())), encoding=stream.encoding,
                                 errors=stream.errors, line_buffering=stream.line_buffering)
        setattr(sys, name, quiet)
