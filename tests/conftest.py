import os
import subprocess
import sys
import textwrap
import time

import pytest

import tolvane


def wait_until(condition, timeout=30.0):
    """Polls `condition` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail("condition not reached before the deadline")
        time.sleep(0.001)


def run_python(script, *args, prefix=(), timeout=120, **options):
    """Runs `script` in a fresh interpreter, behind `prefix` (strace, say); returns the process."""
    return subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(script), *args],
                          capture_output=True, text=True, timeout=timeout, **options)


def without_leak_check(env=None):
    """The environment of a child whose leak check, in a sanitized run, can't work: one that gives
    up root (the checker can't read the interpreter's symbols, to tell its leaks from ours) or runs
    under strace (the checker needs ptrace itself)."""
    env = dict(os.environ if env is None else env)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += " detect_leaks=0"
    return env


def make_tree(root, files):
    """Creates `files` (relative path -> bytes or str) under `root`."""
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        mode = "wb" if isinstance(content, bytes) else "w"
        with open(path, mode) as f:
            f.write(content)


@pytest.fixture
def ready_fs():
    """Opens a FileSystem without watcher and waits for its first build."""
    opened = []

    def open_fs(root):
        fs = tolvane.FileSystem(str(root), auto_watch=False)
        opened.append(fs)
        wait_until(fs.is_ready)
        return fs

    yield open_fs
    for fs in opened:
        fs.close()
