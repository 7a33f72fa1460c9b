"""Watching a command-line run from outside."""
import os
import time


def started_writing(folder, process):
    """Waits until the run has a file open in `folder` (its output, unnamed until placed: the link in
    /proc reads '<folder>/#inode (deleted)'), i.e. has begun its work."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        for fd in os.listdir(f"/proc/{process.pid}/fd"):
            try:
                if os.path.dirname(os.readlink(f"/proc/{process.pid}/fd/{fd}")) == str(folder):
                    return
            except OSError:
                pass
        time.sleep(0.01)
    raise AssertionError("the run never started writing")
