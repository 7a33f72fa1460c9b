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
under_asan = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="address-space limits do not work under AddressSanitizer")


# Runs a call announced on a line, and says how it ended.
INTERRUPTIBLE = textwrap.dedent("""
    def interruptible(name, call):
        try:
            print(name, flush=True)
            call()
            print("returned", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
""")


def start_child(body, *args, address_space=None):
    # A child started from a background job inherits SIGINT ignored; Ctrl-C must raise.
    prologue = "import resource, signal, sys, tarnix\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
    prologue += INTERRUPTIBLE
    if address_space:
        prologue += f"resource.setrlimit(resource.RLIMIT_AS, ({address_space}, {address_space}))\n"
    return subprocess.Popen([sys.executable, "-c", prologue + textwrap.dedent(body), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(child):
    try:
        out, err = child.communicate(timeout=HANG_GUARD)
    finally:
        child.kill()
    assert child.returncode == 0, err
    return out.split()


def press_ctrl_c_during(child, announcement):
    """Waits for the child to announce a call, then presses Ctrl-C until the child answers."""
    assert child.stdout.readline().strip() == announcement
    time.sleep(1)  # for the call to start blocking
    with selectors.DefaultSelector() as selector:
        selector.register(child.stdout, selectors.EVENT_READ)
        for _ in range(HANG_GUARD // 5):
            child.send_signal(signal.SIGINT)
            if selector.select(5):
                return child.stdout.readline().strip()
    child.kill()
    raise TimeoutError(f"{announcement} ignored Ctrl-C")


def test_ctrl_c_ends_blocked_reads_and_the_process_stays_usable(data_dir, tmp_path):
    good, fifo, fed = data_dir / "1ubq.pdb", tmp_path / "no_writer.pdb", tmp_path / "fed.pdb"
    os.mkfifo(fifo)
    os.mkfifo(fed)
    child = start_child("""
        good, fifo, fed = sys.argv[1:]
        interruptible("assign", lambda: tarnix.assign(fifo))
        interruptible("batch", lambda: tarnix.assign_batch([good, fifo, good], n_threads=2))
        # A worker is still stuck on the pipe: later batches get all their workers all the same.
        for _ in range(3):
            print(sum(r is not None for r in tarnix.assign_batch([good] * 50)))
        print(len(tarnix.assign(fed).residues))
    """, good, fifo, fed)
    assert press_ctrl_c_during(child, "assign") == "interrupted"
    assert press_ctrl_c_during(child, "batch") == "interrupted"
    # A pipe with a writer is an input like any other.
    writer = subprocess.Popen([sys.executable, "-c", "import sys; open(sys.argv[2], 'wb').write(open(sys.argv[1], 'rb').read())",
                               good, fed])
    try:
        assert finish(child) == ["50", "50", "50", "76"]
    finally:
        writer.kill()


def test_ctrl_c_stops_a_long_batch(data_dir):
    # 20,000 files of 500 residues take minutes; the hang guard is far shorter.
    child = start_child("""
        interruptible("batch", lambda: tarnix.assign_batch([sys.argv[1]] * 20000))
        print(len(tarnix.assign_batch([sys.argv[1]] * 4)))
    """, data_dir / "4hhb.pdb")
    assert press_ctrl_c_during(child, "batch") == "interrupted"
    assert finish(child) == ["4"]


@under_asan
def test_an_endless_file_costs_only_its_own_entry(data_dir, tmp_path):
    endless = tmp_path / "endless.pdb"
    endless.symlink_to("/dev/zero")
    out = finish(start_child("""
        good, endless = sys.argv[1:]
        print(*[r is not None for r in tarnix.assign_batch([good, endless, good], n_threads=2)])
        try:
            tarnix.assign(endless)
        except (MemoryError, ValueError) as error:
            print(type(error).__name__)
    """, data_dir / "1ubq.pdb", endless, address_space=3 << 30))
    assert out[:3] == ["True", "False", "True"] and out[3] in ("MemoryError", "ValueError")


@under_asan
def test_ten_thousand_coincident_residues_fit_in_two_gigabytes():
    out = finish(start_child("""
        import numpy as np
        print(len(tarnix.assign_from_coords(np.zeros((10000, 4, 3), np.float32)).residues))
    """, address_space=2 << 30))
    assert out == ["10000"]
