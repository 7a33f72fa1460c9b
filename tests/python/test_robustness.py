"""Hostile conditions, each in a child process with a timeout: Ctrl-C during blocking and long
calls, inputs that never end, and geometry that puts every residue next to every other."""
import os
import selectors
import signal
import subprocess
import sys
import textwrap
import time

import pytest

HANG_GUARD = 120  # seconds; a child still running then has hung

# AddressSanitizer reserves terabytes of shadow memory, so no address-space limit fits beside it.
needs_address_space_limit = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits do not work under AddressSanitizer")


def child_code(body, address_space=None):
    # A child started from a background job inherits SIGINT ignored; Ctrl-C must raise.
    limit = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
    if address_space is not None:
        limit += ("import resource\n"
                 f"resource.setrlimit(resource.RLIMIT_AS, ({address_space}, {address_space}))\n")
    return limit + "import sys, tarnix\n" + textwrap.dedent(body)


def run_child(body, *args, address_space=None):
    done = subprocess.run([sys.executable, "-c", child_code(body, address_space), *map(str, args)],
                          capture_output=True, text=True, timeout=HANG_GUARD)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


class InterruptedChild:
    """A child that announces each blocking call on a line; the parent presses Ctrl-C on it."""

    def __init__(self, body, *args):
        self.process = subprocess.Popen([sys.executable, "-c", child_code(body), *map(str, args)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def line(self):
        return self.process.stdout.readline().strip()

    def interrupt_after(self, announcement):
        assert self.line() == announcement
        time.sleep(1)  # for the call to start blocking
        # Pressed again if the first one came before the call started to block, as a user would.
        for _ in range(HANG_GUARD // 5):
            self.process.send_signal(signal.SIGINT)
            try:
                return self.wait_for_line(5)
            except TimeoutError:
                continue
        raise TimeoutError(f"{announcement} ignored Ctrl-C")

    def wait_for_line(self, seconds):
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(seconds):
                raise TimeoutError
        return self.line()

    def finish(self):
        out, err = self.process.communicate(timeout=HANG_GUARD)
        assert self.process.returncode == 0, err
        return out.split()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def good(structures_dir):
    return structures_dir / "1ubq.pdb"


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "never_written.pdb"
    os.mkfifo(path)
    return path


def test_ctrl_c_ends_a_blocked_read_and_the_process_stays_usable(good, fifo):
    child = InterruptedChild("""
        good, fifo = sys.argv[1:]
        for name, call in (("assign", lambda: tarnix.assign(fifo)),
                           ("batch", lambda: tarnix.assign_batch([good, fifo, good], n_threads=2))):
            try:
                print(name, flush=True)
                call()
                print("returned", flush=True)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        # A worker may still be stuck on the pipe: the next batches get all their workers.
        for _ in range(3):
            results = tarnix.assign_batch([good] * 50)
            print(sum(r is not None and len(r.residues) == 76 for r in results))
    """, good, fifo)
    try:
        assert child.interrupt_after("assign") == "interrupted"
        assert child.interrupt_after("batch") == "interrupted"
        assert child.finish() == ["50", "50", "50"]
    finally:
        child.kill()


def test_ctrl_c_stops_a_long_batch_without_finishing_it(structures_dir):
    # 20,000 files of 500 residues take minutes; the hang guard is far shorter.
    child = InterruptedChild("""
        paths = [sys.argv[1]] * 20000
        try:
            print("batch", flush=True)
            tarnix.assign_batch(paths)
            print("returned", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(len(tarnix.assign_batch(paths[:4])))
    """, structures_dir / "1a28.pdb")
    try:
        assert child.interrupt_after("batch") == "interrupted"
        assert child.finish() == ["4"]
    finally:
        child.kill()


@needs_address_space_limit
def test_an_endless_file_costs_only_its_own_entry(good, tmp_path):
    endless = tmp_path / "endless.pdb"
    endless.symlink_to("/dev/zero")
    out = run_child("""
        good, endless = sys.argv[1:]
        results = tarnix.assign_batch([good, endless, good], n_threads=2)
        print(*[r is not None for r in results])
        try:
            tarnix.assign(endless)
        except (MemoryError, ValueError) as error:
            print(type(error).__name__)
    """, good, endless, address_space=3 << 30)
    assert out[:3] == ["True", "False", "True"]
    assert out[3] in ("MemoryError", "ValueError")


@needs_address_space_limit
def test_ten_thousand_coincident_residues_fit_in_two_gigabytes():
    out = run_child("""
        import numpy as np
        result = tarnix.assign_from_coords(np.zeros((10000, 4, 3), np.float32))
        print(len(result.residues), result.residues[5000].structure)
    """, address_space=2 << 30)
    assert out[0] == "10000"
