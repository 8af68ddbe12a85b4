"""Files written whole or not at all: each is written beside its place under a temporary name and
moved in only when complete, with the mode a new file gets (the umask honoured); a failure
removes the partial file and leaves the place as it was."""
import os
import tempfile


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
    prefix = "." + os.path.basename(path) + "-"
    scratch = None
    if fresh:
        scratch = tempfile.mkdtemp(prefix=prefix, suffix=".partial", dir=folder)
        partial = os.path.join(scratch, os.path.basename(path))
    else:
        handle, partial = tempfile.mkstemp(prefix=prefix, suffix=".partial", dir=folder)
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
