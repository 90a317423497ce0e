"""A FileSystem inherited by a child of fork: every method works there, and nothing the child does
reaches the parent's watcher. Each child ends with os._exit; the parent waits for it with a deadline
and kills it past that, so that a hang fails the test."""

import gc
import os
import signal
import threading
import time
import traceback
import warnings

import pytest

import tolvane
from conftest import make_tree, wait_until


# The address sanitizer's allocator (GCC 12's runtime) takes none of its locks around fork: a child
# of a process whose threads allocate may find one held for good. The release runs test these.
allocating_threads = pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="the sanitizer's allocator is not fork-safe")


def in_child(work):
    """Forks a child that runs `work` and exits 0 when it returns, 1 when it raises."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            work()
            code = 0
        except BaseException:  # noqa: BLE001 - reported through the exit code
            traceback.print_exc()
        finally:
            os._exit(code)
    return pid


def outcomes(pids, timeout=120.0):
    """Each child's exit code, or "hung" for one still running at the deadline (then killed)."""
    deadline = time.monotonic() + timeout
    left, done = list(pids), {}
    while left and time.monotonic() < deadline:
        for pid in list(left):
            ended, status = os.waitpid(pid, os.WNOHANG)
            if ended:
                done[pid] = os.waitstatus_to_exitcode(status)
                left.remove(pid)
        time.sleep(0.005)
    for pid in left:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        done[pid] = "hung"
    return [done[pid] for pid in pids]


def answers(fs):
    return sorted((r.file, r.line_number) for r in fs.grep("needle", max_results=10**6))


@allocating_threads
def test_children_of_grepping_threads(tmp_path):
    """Threads keep the pool busy while the main thread forks; each child greps once."""
    make_tree(tmp_path, {f"d{i}/f{j}": "x\nneedle\n" * j for i in range(8) for j in range(8)})
    with tolvane.FileSystem(str(tmp_path)) as fs:
        wait_until(fs.is_ready)
        expected = answers(fs)
        stop = threading.Event()

        def grep_on():
            while not stop.is_set():
                assert answers(fs) == expected

        threads = [threading.Thread(target=grep_on) for _ in range(6)]
        for thread in threads:
            thread.start()
        try:
            pids = [in_child(lambda: os._exit(answers(fs) != expected)) for _ in range(60)]
        finally:
            stop.set()
            for thread in threads:
                thread.join()
        assert outcomes(pids) == [0] * len(pids)


@allocating_threads
def test_children_of_an_index_being_changed(tmp_path):
    """The watcher applies changes while the main thread forks; each child lists and looks up."""
    make_tree(tmp_path, {f"base{i}": "" for i in range(200)})
    with tolvane.FileSystem(str(tmp_path)) as fs:
        wait_until(fs.is_ready)
        stop = threading.Event()

        def churn():  # thousands of files made, half of them removed, over and over
            made = 0
            while not stop.is_set():
                open(tmp_path / f"c{made % 3000}", "w").close()
                made += 1
                if made % 3000 == 0:
                    for i in range(0, 3000, 2):
                        os.remove(tmp_path / f"c{i}")

        def look():
            def listed():
                try:
                    return {"base0", "base199"} <= set(fs.list()) | set(fs.list("**", False))
                except RuntimeError as error:  # the child builds an index of its own
                    assert str(error) == "Index is still building, please wait"
                    return False

            wait_until(listed, timeout=20)
            assert fs.get_metadata("base0").size == 0

        thread = threading.Thread(target=churn)
        thread.start()
        try:
            pids = []
            for _ in range(1000):
                pids.append(in_child(look))
                time.sleep(0.002)  # lets the churning thread have the interpreter lock
        finally:
            stop.set()
            thread.join()
        assert outcomes(pids) == [0] * len(pids)


def task_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("closed", [True, False])
def test_a_child_leaves_the_parents_watcher_alone(tmp_path, closed):
    held = [tolvane.FileSystem(str(tmp_path))]  # the only reference, so that a child can drop it
    wait_until(held[0].is_ready)
    if closed:
        tasks = task_count()
        held[0].close()
        wait_until(lambda: task_count() < tasks)  # the maintenance thread has ended

    def release():
        fs = held.pop()
        assert not fs.is_watching()
        assert fs.pending_changes() == 0
        fs.close()
        del fs
        gc.collect()

    assert outcomes([in_child(release)]) == [0]
    fs = held.pop()
    make_tree(tmp_path, {"new": "n"})
    if closed:  # its watcher stopped at close: nothing after it is recorded
        time.sleep(0.3)
        assert (fs.pending_changes(), fs.list()) == (0, [])
    else:
        wait_until(lambda: "new" in fs.list(), timeout=10)
        assert fs.is_watching()
    fs.close()


@allocating_threads
@pytest.mark.parametrize("refresh", [True, False])
def test_a_child_forked_during_the_first_build(tmp_path, refresh):
    files = {f"d{i}/f{j}": "content" for i in range(100) for j in range(100)}
    make_tree(tmp_path, files)
    fs = tolvane.FileSystem(str(tmp_path), auto_watch=False)

    def list_when_built():
        if refresh:
            fs.refresh()

        def listed():
            try:
                return sorted(fs.list()) == sorted(files)
            except RuntimeError as error:
                assert str(error) == "Index is still building, please wait"
                return False

        wait_until(listed, timeout=20)

    forked_building, pids = [], []
    for _ in range(8):
        forked_building.append(not fs.is_ready())
        pids.append(in_child(list_when_built))
    assert outcomes(pids) == [0] * len(pids)
    assert forked_building[0], "the tree was built before the first fork"
    fs.close()
