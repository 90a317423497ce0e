"""Sixteen threads use every method of one watched object while another process churns the tree:
nothing may crash, hang or raise what the method doesn't raise for that situation; afterwards a
fresh index shows exactly the tree on disk, and no thread or descriptor is left behind."""

import collections
import contextlib
import faulthandler
import os
import random
import re
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import traceback

import pytest

import tolvane
from conftest import make_tree, wait_until

SECONDS = float(os.environ.get("TOLVANE_STRESS_SECONDS", "20"))
CALL_LIMIT = 30.0  # seconds that one call may take before the run counts as hung
THREADS = 16

# Creates, rewrites, renames and deletes files and directories below d0..d5 until `stop` exists.
CHURN = """
    import contextlib, os, random, shutil, sys
    root, stop = sys.argv[1:]
    rng = random.Random()
    d = lambda: os.path.join(root, *(f"d{rng.randrange(6)}" for _ in range(rng.randint(1, 2))))
    f = lambda: os.path.join(d(), f"f{rng.randrange(10)}.txt")
    write = lambda: open(f(), rng.choice("wa")).write(f"line one\\nline two {rng.random()}\\n")
    ops = [lambda: os.makedirs(d(), exist_ok=True), write, write,
           lambda: os.rename(f(), f()), lambda: os.remove(f()), lambda: os.rename(d(), d()),
           lambda: shutil.rmtree(d())]
    while not os.path.exists(stop):
        with contextlib.suppress(OSError):
            rng.choice(ops)()
"""

METHODS = ("list glob grep get_metadata read_file read_batch read_lines read_file_range write_file "
           "write_file_fast edit_replace refresh pending_changes is_ready").split()
# What the methods raise when the tree changes under them. A directory made by the call may be
# gone again before the next step, or before its existence is checked (EEXIST).
ENOENT = r"No such file or directory \(os error 2\)"
MKDIR = rf"{ENOENT}|File exists \(os error 17\)"
ATOMIC = rf"{MKDIR}|{ENOENT} at path \".*\"|Failed to persist file: failed to persist " \
         rf"temporary file: {ENOENT}"


def allowed(method, error, root, rel):
    """Whether `error` is what `method` raises for a path `rel` (None: no path may fail)."""
    table = {"list": [(RuntimeError, "Index is still building, please wait")]}
    table["glob"] = table["list"]
    if rel is not None:
        gone = [(ValueError, re.escape(f"Path not found: {root}/{rel}"))]
        text = [(ValueError, r"Text not found in file|Text not unique: found \d+ occurrences")]
        table |= {"read_file": gone, "read_lines": gone, "read_file_range": gone,
                  "get_metadata": [(ValueError, re.escape(f"Path not found: {rel}"))],
                  "write_file": [(OSError, ATOMIC)], "write_file_fast": gone + [(OSError, MKDIR)],
                  "edit_replace": gone + text + [(OSError, ATOMIC)]}
    return any(type(error) is kind and re.fullmatch(pattern, str(error))
               for kind, pattern in table.get(method, []))


def worker(opened, root, index, go, stop, calls, failures, outcomes):
    rng, own, n = random.Random(index), f"t{index}.txt", 0
    go.wait()

    def call(method, *args, **options):
        calls[index] = (method, time.monotonic())
        try:
            result = getattr(opened[0], method)(*args, **options)
            outcomes[method] += 1
            return result
        except BaseException as error:  # PanicException derives from BaseException
            if not allowed(method, error, root, args[0] if args and args[0] != own else None):
                raise
            outcomes[f"{method}: {type(error).__name__}"] += 1
        finally:
            calls[index] = None

    def churned():
        return "/".join([f"d{rng.randrange(6)}" for _ in range(rng.randint(1, 2))] +
                        [f"f{rng.randrange(10)}.txt"])

    def own_file():  # this thread's file: what it writes, it reads back and finds
        nonlocal n
        n += 1
        text = f"tok{index} {n}\nline two\n"
        assert call("write_file", own, text) is True
        assert call("read_file", own) == text
        assert call("read_lines", own, 1) == ["line two"]
        assert call("read_file_range", own, 3, 5) == text[3:8]
        assert call("edit_replace", own, f" {n}\n", f" {n}+\n") is True
        found = call("grep", f"^tok{index} {n}\\+$", own, case_sensitive=True)
        assert [(r.file, r.line_number) for r in found] == [(own, 1)]
        assert call("write_file_fast", own, "fast") is True
        assert call("read_batch", [own]) == {f"{root}/{own}": "fast"}

    def shared():  # on paths of the churned tree, and the seed files
        rel, cap = churned(), rng.randint(1, 5)
        assert len(call("grep", "LINE T.O", "d1/**", max_results=cap)) <= cap
        call(*rng.choice([
            ("list",), ("list", "d2/**", False), ("glob", "**/f1.txt"), ("is_ready",),
            ("get_metadata", rng.choice([rel, f"s{rng.randrange(40)}/g{rng.randrange(50)}.txt"])),
            ("read_file", rel), ("read_lines", rel, 1, 1), ("read_file_range", rel, 5, 9),
            ("grep", "seed 4.", "**/*", True, 1000),
            ("read_batch", [churned() for _ in range(rng.choice([3, 40]))]), ("pending_changes",),
            ("write_file", rel, "line one\n"), ("write_file_fast", rel, "line two\n"),
            ("edit_replace", rel, "one", "two", rng.random() < 0.5)]))
        if rng.random() < 0.02:
            call("refresh")

    try:
        call("list")  # the first calls meet the first build: grep walks the tree itself
        call("grep", "line", max_results=3)
        while not stop.is_set():
            own_file() if rng.random() < 0.3 else shared()
    except BaseException:
        failures.append(traceback.format_exc())
        stop.set()


def test_threads_and_a_churning_process(tmp_path):
    root, stop_file = str(tmp_path.resolve() / "root"), str(tmp_path / "stop")
    make_tree(tmp_path / "warm", {"a": "x"})  # brings up the process-wide pool first
    with tolvane.FileSystem(str(tmp_path / "warm"), auto_watch=False) as warm:
        wait_until(warm.is_ready)
        warm.grep("x")
    state = lambda: (set(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")))
    tasks, fds = state()
    make_tree(root, {f"s{k}/g{j}.txt": f"seed {j}\n" for k in range(40) for j in range(50)})
    make_tree(root, {f"t{i}.txt": "" for i in range(THREADS)})
    churn = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHURN), root, stop_file],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # A hang with the interpreter lock held stops every Python thread, but not this one.
    faulthandler.dump_traceback_later(SECONDS + 4 * CALL_LIMIT, exit=True)
    opened, go, stop, calls, failures, outcomes = ([], threading.Event(), threading.Event(),
                                                   [None] * THREADS, [], collections.Counter())
    threads = [threading.Thread(target=worker, daemon=True,
                                args=(opened, root, i, go, stop, calls, failures, outcomes))
               for i in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        opened.append(tolvane.FileSystem(root))  # its first build has just begun
        go.set()
        hung, closed, start = [], False, time.monotonic()
        while any(thread.is_alive() for thread in threads) and not hung:  # the watchdog
            time.sleep(0.05)
            now = time.monotonic()
            if now - start > SECONDS * 0.9 and not closed:
                closed = opened[0].close() is None  # while the others are inside calls
                assert not opened[0].is_watching()
            if now - start > SECONDS:
                stop.set()
            hung = [(i, c) for i, c in enumerate(calls) if c and now - c[1] > CALL_LIMIT]
        if hung:
            faulthandler.dump_traceback(all_threads=True)
            if shutil.which("gdb"):
                print(subprocess.run(["gdb", "-p", str(os.getpid()), "-batch", "-ex",
                                      "thread apply all bt"], capture_output=True, text=True,
                                     timeout=300).stdout, file=sys.stderr)
        assert not hung, f"calls that did not return within {CALL_LIMIT} s: {hung}"
        assert not failures, "\n".join(failures)
        print(sorted(outcomes.items()))
        assert set(METHODS) <= set(outcomes)
        assert opened[0].close() is None and opened[0].pending_changes() >= 0
    finally:
        stop.set()
        open(stop_file, "w").close()
        assert churn.communicate(timeout=60)[1] == "" and churn.returncode == 0
        faulthandler.cancel_dump_traceback_later()  # its thread ends
    del opened[:]  # the last reference

    fresh = tolvane.FileSystem(root, auto_watch=False)
    wait_until(fresh.is_ready)
    walk = [(os.path.relpath(os.path.join(top, name), root), name in names)
            for top, subdirs, names in os.walk(root) for name in subdirs + names]
    assert sorted(fresh.list()) == sorted(path for path, is_file in walk if is_file)
    assert sorted(fresh.list(only_files=False)) == sorted(path for path, _ in walk)
    fresh.close()
    # The objects' threads end and their descriptors close once they are released.
    left = lambda: (len(state()[0] - tasks), max(0, state()[1] - fds))  # threads, descriptors
    with contextlib.suppress(pytest.fail.Exception):
        wait_until(lambda: left() == (0, 0))
    assert left() == (0, 0)
