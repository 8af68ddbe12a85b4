"""Files read and written whole. An input is read only when it is a regular file (a FIFO or a
device is never waited on nor read without end) of at most a size that its kind of file never
exceeds. An output is written beside its place under a temporary name and moved in only when
complete, with the mode a new file gets (the umask honoured); a failure removes the partial file
and leaves the place as it was."""
import errno
import os
import stat
import tempfile


class Unreadable(Exception):
    """Why an input cannot be read, for a line that names it."""


KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"), (stat.S_ISBLK, "a device"),
         (stat.S_ISSOCK, "a socket"), (stat.S_ISLNK, "a symbolic link"))


def open_regular(path, follow_links=True):
    """A regular file opened for reading, never waiting on a FIFO; an OSError saying what else it
    is, and, unless follow_links, for a symbolic link."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | (0 if follow_links else os.O_NOFOLLOW))
    mode = os.fstat(descriptor).st_mode
    if not stat.S_ISREG(mode):
        os.close(descriptor)
        kind = next((kind for test, kind in KINDS if test(mode)), "something else")
        raise OSError(errno.EINVAL, "it is %s, not a regular file" % kind, path)
    return os.fdopen(descriptor, "rb")


def read_whole(path, limit):
    """An input file's bytes, read once; Unreadable when it is not a regular file, is larger than
    limit bytes, or cannot be opened."""
    try:
        with open_regular(path) as source:
            data = source.read(limit + 1)
    except OSError as problem:
        raise Unreadable(problem.strerror or str(problem)) from None
    if len(data) > limit:
        raise Unreadable("it is larger than %d bytes, which no such file is" % limit)
    return data


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_with(path, write, keep=bool, fresh=False):
    """Calls write(partial) with a new empty file beside the path and returns what it returned;
    the file is moved into place when keep() says so of that, and removed otherwise or on a
    failure. With fresh, write makes the file itself (for a tool that refuses to overwrite one):
    its name is in a new folder beside the path, and nothing is there yet."""
    folder = os.path.dirname(os.path.abspath(path))
    # A short name of its own: a file whose name is as long as a name may be has its partial file too.
    scratch = None
    if fresh:
        scratch = tempfile.mkdtemp(prefix=".partial-", dir=folder)
        partial = os.path.join(scratch, os.path.basename(path))
    else:
        handle, partial = tempfile.mkstemp(prefix=".partial-", dir=folder)
        os.close(handle)
    try:
        result = write(partial)
        if keep(result):
            os.chmod(partial, 0o666 & ~current_umask())
            os.replace(partial, path)
        return result
    finally:
        if os.path.lexists(partial):
            os.remove(partial)
        if scratch:
            os.rmdir(scratch)


def write_whole(path, data):
    def write(partial):
        with open(partial, "wb") as out:
            out.write(data)
        return True
    write_with(path, write)


def new_folder_beside(place, prefix):
    """A new empty folder beside the place, with the mode a new folder gets: one that is moved in
    whole is a folder like any other, not a private temporary one."""
    folder = tempfile.mkdtemp(prefix=prefix, dir=os.path.dirname(place))
    os.chmod(folder, 0o777 & ~current_umask())
    return folder
