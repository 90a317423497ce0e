"""The watcher keeping the index current, through list() and get_metadata(), with bounded waits."""

import contextlib
import ctypes
import itertools
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tolvane
from conftest import make_tree, run_python, wait_until


def save(path, text):  # as editors do: a temporary file renamed over the target
    make_tree(os.path.dirname(path), {".save.tmp": text})
    os.rename(os.path.join(os.path.dirname(path), ".save.tmp"), path)


# Each step acts on the tree (root r, outside o); then list() and one file's size must follow.
STEPS = [
    (lambda r, o: make_tree(r, {"a": "hello"}), ["a", "keep"], ("a", 5)),
    (lambda r, o: save(f"{r}/a", "hello world"), ["a", "keep"], ("a", 11)),
    (lambda r, o: os.remove(f"{r}/keep"), ["a"], None),
    (lambda r, o: os.rename(f"{r}/a", f"{r}/b"), ["b"], ("b", 11)),
    (lambda r, o: os.rename(f"{o}/file", f"{r}/c"), ["b", "c"], None),
    (lambda r, o: os.rename(f"{r}/c", f"{o}/c"), ["b"], None),
    (lambda r, o: make_tree(r, {"d/e/f/g": "g", "d/h": "h"}), ["b", "d/e/f/g", "d/h"], None),
    (lambda r, o: os.rename(f"{o}/dir", f"{r}/m"), ["b", "d/e/f/g", "d/h", "m/n/f"], None),
    (lambda r, o: shutil.rmtree(f"{r}/d"), ["b", "m/n/f"], ("m/n/f", 3)),
    # A renamed directory takes its descendants along; its watches follow it.
    (lambda r, o: os.rename(f"{r}/m", f"{r}/m2"), ["b", "m2/n/f"], None),
    (lambda r, o: make_tree(r, {"m2/n/f": "grown"}), ["b", "m2/n/f"], ("m2/n/f", 5)),
]


def test_changes_reach_the_index(tmp_path):
    root, outside = str(tmp_path.resolve() / "root"), str(tmp_path.resolve() / "out")
    make_tree(outside, {"dir/n/f": "fff", "file": "x"})
    make_tree(root, {"keep": "k"})
    with tolvane.FileSystem(root) as fs:
        assert fs.is_watching()
        wait_until(fs.is_ready)
        for act, listed, size in STEPS:
            act(root, outside)
            wait_until(lambda: sorted(fs.list()) == listed)
            wait_until(lambda: not size or fs.get_metadata(size[0]).size == size[1])
    assert not fs.is_watching()


def on_disk(root):
    """The files and the directories under `root`, root-relative and sorted, as a walk finds
    them."""
    files, dirs = [], []
    for top, subdirs, names in os.walk(root):
        rel = os.path.relpath(top, root)
        join = lambda name: name if rel == "." else f"{rel}/{name}"
        files += map(join, names)
        dirs += map(join, subdirs)
    return sorted(files), sorted(files + dirs)


def rename_while_written(root, src, dst):
    """Renames src to dst and back, then to dst for good, while a thread makes and grows files
    under both names."""
    stop = threading.Event()

    def write():
        for i in itertools.count():
            for path in (f"{root}/{src}/sub/w{i % 50}", f"{root}/{dst}/w{i % 50}"):
                with contextlib.suppress(OSError), open(path, "a") as f:
                    f.write("x")
            if stop.is_set():
                return

    writer = threading.Thread(target=write)
    writer.start()
    for _ in range(20):
        os.rename(f"{root}/{src}", f"{root}/{dst}")
        time.sleep(0.005)
        os.rename(f"{root}/{dst}", f"{root}/{src}")
    os.rename(f"{root}/{src}", f"{root}/{dst}")
    stop.set()
    writer.join()


def replace(path, make):
    """Moves `path` out of the way (within one debounce window of what follows), then makes it
    again."""
    os.rename(path, path + ".old") if os.path.isdir(path) else os.remove(path)
    make(path)


# Directory moves on a watched tree; after each, the index must name what is on disk and nothing
# else (dir10 shares dir1's first letters; out1 leaves the tree, in1 comes in). The last ones
# make a path again at once: as a directory, a file, or a file that goes again.
MOVES = [
    lambda r, o: os.rename(f"{o}/in1", f"{r}/in1"),
    lambda r, o: os.rename(f"{r}/dir1", f"{r}/dir2"),
    lambda r, o: os.rename(f"{r}/out1", f"{o}/out1"),
    lambda r, o: (os.rename(f"{r}/in1/sub", f"{r}/in1/sub2"), os.rename(f"{r}/in1", f"{r}/in2")),
    lambda r, o: rename_while_written(r, "dir2", "dir3"),
    lambda r, o: os.rename(f"{r}/in2", f"{o}/in2"),
    lambda r, o: replace(f"{r}/dir3", os.mkdir),
    lambda r, o: replace(f"{r}/top.txt", os.mkdir),
    lambda r, o: replace(f"{r}/dir10", lambda path: make_tree(r, {"dir10": "x"})),
    lambda r, o: replace(f"{r}/bulk/0/f0", lambda path: (make_tree(r, {"bulk/0/f0": "x"}),
                                                          os.remove(path))),
]


@pytest.mark.parametrize("spelling", ["{}", "{}/", "{}//"])
def test_directory_moves_leave_no_ghosts(tmp_path, spelling):
    root, outside = str(tmp_path.resolve() / "root"), str(tmp_path.resolve() / "out")
    many = {f"dir1/many/{i // 100}/f{i}": "x" for i in range(2000)}
    make_tree(root, {**many, **{f"bulk/{i // 500}/f{i}": "x" for i in range(5000)},
                     "dir1/x.txt": "x" * 7, "dir1/sub/y.txt": "x", "dir10/z.txt": "x",
                     "out1/o.txt": "x", "top.txt": "x"})
    make_tree(outside, {f"in1/sub/f{i}": "x" for i in range(500)})
    with tolvane.FileSystem(spelling.format(root)) as fs:
        wait_until(fs.is_ready)
        gone = set()
        for move in MOVES:
            before = set(fs.list())
            move(root, outside)
            files, entries = on_disk(root)
            wait_until(lambda: sorted(fs.list()) == files)
            wait_until(lambda: sorted(fs.list(only_files=False)) == entries)
            gone |= before - set(files)
            for path in sorted(gone - set(entries))[::97]:  # top.txt is a directory now
                with pytest.raises(ValueError, match="Path not found"):
                    fs.get_metadata(path)
            assert sorted({r.file for r in fs.grep("x", max_results=10**6)}) == files
        assert {"dir1/x.txt", "dir3/x.txt", "dir10/z.txt", "bulk/0/f0"} <= gone


@pytest.mark.parametrize("to", ["out", "root/ign2", "root/keep/ign"])
def test_an_ignored_directory_moved_away_takes_what_the_watcher_added(tmp_path, to):
    # The index never held `ign`, only the files the watcher added below it since the build.
    make_tree(tmp_path, {"root/.ignore": "/ign/\n", "root/ign/old.txt": "o", "root/keep/k": "k"})
    root = str(tmp_path.resolve() / "root")
    with tolvane.FileSystem(root) as fs:
        wait_until(fs.is_ready)
        make_tree(root, {"ign/sub/new.txt": "n"})
        wait_until(lambda: "ign/sub/new.txt" in fs.list())
        os.rename(f"{root}/ign", tmp_path / to)
        files, entries = on_disk(root)
        wait_until(lambda: sorted(fs.list()) == files)
        wait_until(lambda: sorted(fs.list(only_files=False)) == entries)


@pytest.mark.parametrize("spelling", ["tree", "./tree", "tree/", "link"])
def test_paths_as_applied(tmp_path, monkeypatch, spelling):
    # A relative root, or one through a link: changes land on the build's own entries. Ignore
    # rules don't apply to changes.
    make_tree(tmp_path / "tree", {".ignore": "ignored/\n", "ignored/x": "", "old": "o"})
    os.symlink("tree", tmp_path / "link")
    monkeypatch.chdir(tmp_path)
    with tolvane.FileSystem(spelling) as fs:
        wait_until(fs.is_ready)
        os.remove("tree/old")
        make_tree(tmp_path, {"tree/ignored/new": "n"})
        wait_until(lambda: sorted(fs.list()) == [".ignore", "ignored/new"])
        assert fs.get_metadata("ignored/new").size == 1


def test_pending_changes_takes_changes_from_the_index(tmp_path):
    with tolvane.FileSystem(str(tmp_path)) as fs:
        wait_until(fs.is_ready)
        for name in map(str, range(20)):  # a change the maintenance thread won is tried again
            make_tree(tmp_path, {name: ""})
            wait_until(lambda: fs.pending_changes() or name in fs.list())
            if name not in fs.list():
                break
        make_tree(tmp_path, {"later": ""})
        wait_until(lambda: "later" in fs.list())
        assert name not in fs.list()
    assert tolvane.FileSystem(str(tmp_path), auto_watch=False).pending_changes() == 0


# Run in a user namespace of its own, whose inotify limits the script sets.
LIFECYCLE = """
    import json, os, sys, time, tolvane
    count = lambda what: len(os.listdir(f"/proc/self/{what}"))
    def settle(what, at_most):  # waits (30 s at most) for threads to end
        deadline = time.monotonic() + 30
        while count(what) > at_most and time.monotonic() < deadline:
            time.sleep(0.001)
        return count(what)
    def opened(name=None, value=None):
        for key, default in (("instances", 128), ("watches", 10**6)):
            with open(f"/proc/sys/user/max_inotify_{key}", "w") as f:
                f.write(str(value if key == name else default))
        fs = tolvane.FileSystem(sys.argv[1])
        while not fs.is_ready():
            time.sleep(0.001)
        return fs
    first = opened()
    del first
    tasks, fds = settle("task", 1), count("fd")
    fs = opened()  # its two threads and its two descriptors, until released
    report = [settle("task", tasks + 2) - tasks, count("fd") - fds]
    fs.close()  # its threads and descriptors go, the object still held
    report += [settle("task", tasks) - tasks, count("fd") - fds, fs.is_watching()]
    del fs
    many = [opened("instances", 20) for _ in range(30)]
    report.append(sum(fs.is_watching() for fs in many))
    for fs in many:  # closed, they give their instances back
        fs.close()
    settle("task", tasks)
    many = [opened("instances", 20) for _ in range(20)]
    report.append(sum(fs.is_watching() for fs in many))
    del many, fs
    settle("task", tasks)
    for name, value in (("watches", 0), ("watches", 2)):  # the root's watch, or one more
        fs = opened(name, value)
        if fs.is_watching():
            open(f"{sys.argv[1]}/new", "w").close()
            deadline = time.monotonic() + 30
            while "new" not in fs.list() and time.monotonic() < deadline:
                time.sleep(0.001)
        report.append([fs.is_watching(), sorted(fs.list())])
    del fs
    print(json.dumps(report + [settle("task", tasks) - tasks, count("fd") - fds]))
"""


def test_threads_descriptors_and_limits(tmp_path):
    make_tree(tmp_path, {"a/1": "", "b/2": "", "c/3": ""})
    unshare = [shutil.which("unshare") or "unshare", "-U", "-r"]
    if subprocess.run([*unshare, "true"], capture_output=True).returncode != 0:
        pytest.skip("no user namespaces here")
    # A pool of one thread starts no workers: every thread counted is the objects'.
    run = run_python(LIFECYCLE, str(tmp_path), prefix=unshare,
                     env=dict(os.environ, RAYON_NUM_THREADS="1"))
    assert run.returncode == 0, run.stderr
    # Past the instance limit, or without the root's watch, an object has no watcher; with
    # the root and one directory watched, the rest goes unwatched and the object works on.
    assert json.loads(run.stdout) == [2, 2, 0, 0, False, 20, 20, [False, ["a/1", "b/2", "c/3"]],
                                      [True, ["a/1", "b/2", "c/3", "new"]], 0, 0]


BURST = """
    import sys, time, tolvane
    fs = tolvane.FileSystem(sys.argv[1])
    while not fs.is_ready():
        time.sleep(0.001)
    print("ready", flush=True)
    sys.stdin.readline()
    deadline = time.monotonic() + 60  # the rebuild answers from the old index meanwhile
    while len(fs.list()) < 20000 and time.monotonic() < deadline:
        time.sleep(0.01)
    print(len(set(fs.list())))
"""


def test_a_lost_queue_is_made_good_by_a_rebuild(tmp_path):
    # The watching process is stopped while 20,000 files are made: more than the kernel queues.
    child = subprocess.Popen([sys.executable, "-c", BURST.replace("\n    ", "\n"), str(tmp_path)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signal.SIGSTOP)
        for i in range(20000):
            os.close(os.open(tmp_path / f"f{i}", os.O_CREAT | os.O_WRONLY))
        child.send_signal(signal.SIGCONT)
        assert child.communicate("go\n", timeout=120)[0] == "20000\n"
    finally:
        child.kill()


def settled(fs, root, ignored=(), timeout=10.0):
    """Waits until every change is due, then until the index names what is on disk but the
    `ignored` entries: a ghost stays and fails the wait."""
    time.sleep(0.4)
    files, entries = ([p for p in found if p not in ignored] for found in on_disk(root))
    wait_until(lambda: sorted(fs.list()) == files
               and sorted(fs.list("**", False)) == entries, timeout)


def remove(path):
    shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)


# Each shape changes one name several times within one debounce window (or across two passes);
# `r` is the root, `o` a directory outside the tree, `fs` the watching object.
SHAPES = {
    "renamed_over_then_removed": lambda r, o, fs: (os.rename(f"{r}/q", f"{r}/p"),
                                                   os.remove(f"{r}/p")),
    "written_then_removed": lambda r, o, fs: (fs.write_file("p", "new"), os.remove(f"{r}/p")),
    "renamed_over_then_moved_away": lambda r, o, fs: (os.rename(f"{r}/q", f"{r}/p"),
                                                      os.rename(f"{r}/p", f"{o}/p")),
    "directory_over_empty_then_removed": lambda r, o, fs: (os.rename(f"{r}/dq", f"{r}/empty"),
                                                           shutil.rmtree(f"{r}/empty")),
    "ignored_moved_away_then_made_again": lambda r, o, fs: (
        os.rename(f"{r}/ign", f"{o}/ign"), os.mkdir(f"{r}/ign"), os.rmdir(f"{r}/ign")),
    "ignored_moved_away_then_a_file": lambda r, o, fs: (
        os.rename(f"{r}/ign", f"{o}/ign"), open(f"{r}/ign", "w").close(), os.remove(f"{r}/ign")),
    "across_passes": lambda r, o, fs: (
        os.rename(f"{r}/a", f"{o}/a"), os.rename(f"{r}/c", f"{r}/a"), time.sleep(0.07),
        shutil.rmtree(f"{r}/a"), open(f"{r}/a", "w").close()),
}


@pytest.mark.parametrize("shape", SHAPES)
def test_changes_within_a_window_leave_no_ghosts(tmp_path, shape):
    root, outside = str(tmp_path.resolve() / "root"), str(tmp_path.resolve() / "out")
    make_tree(root, {".ignore": "/ign/\n", "p": "p", "q": "q", "dq/f": "f", "empty/.keep": "",
                     "ign/old": "o", "a/f": "", "a/sub/g": "", "c/f": "", "c/sub/g": ""})
    os.remove(f"{root}/empty/.keep")
    os.mkdir(outside)
    with tolvane.FileSystem(root) as fs:
        wait_until(fs.is_ready)
        make_tree(root, {"ign/nd/new": "n"})  # below the ignored directory: the watcher's own
        wait_until(lambda: "ign/nd/new" in fs.list())
        time.sleep(0.2)  # that directory's changes released: the shape starts a fresh window
        SHAPES[shape](root, outside, fs)
        settled(fs, root, ignored={"ign", "ign/old"})  # left out by the build


def exchange(a, b):
    """Swaps two names in one step, as renameat2(RENAME_EXCHANGE) does."""
    if LIBC.renameat2(-100, os.fsencode(a), -100, os.fsencode(b), 2) != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))


LIBC = ctypes.CDLL(None, use_errno=True)


def snapshot(fs):
    """What the index answers: list(), every entry, and each entry's type and a file's size (a
    directory's, on some file systems, follows its entries, which no event reports)."""
    entries = sorted(fs.list("**", False))
    return (sorted(fs.list()), entries,
            [(m.is_dir, m.is_dir or m.size) for m in map(fs.get_metadata, entries)])


def built(root):
    """The snapshot of a fresh build of `root`, spelled as given."""
    with tolvane.FileSystem(root, auto_watch=False) as fresh:
        wait_until(fresh.is_ready)
        return snapshot(fresh)


def agrees_with_a_build(fs, root, timeout=10.0):
    """Waits until every change is due, then until the watched index equals a fresh build."""
    time.sleep(0.5)
    deadline = time.monotonic() + timeout
    while (now := snapshot(fs)) != (fresh := built(root)):
        if time.monotonic() > deadline:
            return now, fresh
        time.sleep(0.05)
    return None


NAMES = ["n0", "n1", "n2", "n0/s", "n1/s", "n2/t", "n0/s/u"]


def random_changes(seed, root, outside, fs):
    """A seeded sequence of removals, mkdir, touch, renames and swaps among NAMES (some nested
    in others), links to files, directories and nothing (made, or put in place by a rename), and
    moves out of the tree and back in, with pauses inside one window and across windows; returns
    its log."""
    rng = random.Random(seed)
    log = []
    for step in range(rng.randint(4, 14)):
        name, other = (f"{root}/{n}" for n in rng.sample(NAMES, 2))
        op = rng.choice(["remove", "mkdir", "touch", "rename", "out", "in", "in", "link", "swap"])
        with contextlib.suppress(OSError):
            if op == "remove":
                remove(name)
            elif op == "mkdir":
                os.mkdir(name)
            elif op == "touch":
                with open(name, "a") as f:
                    f.write("t")
            elif op == "rename":
                os.rename(name, other)
            elif op == "out":
                os.rename(name, f"{outside}/{step}")
            elif op == "in":
                if not os.listdir(outside):
                    make_tree(outside, rng.choice([{f"{step}": "x"},
                                                   {f"{step}/f": "", f"{step}/sub/g": ""}]))
                os.rename(f"{outside}/{rng.choice(sorted(os.listdir(outside)))}", name)
            elif op == "link":
                target = os.path.relpath(other, os.path.dirname(name))
                target = rng.choice([target, f"{target}/f", "nowhere"])
                if rng.random() < 0.5:
                    os.symlink(target, name)
                else:  # as ln -sfn does
                    os.symlink(target, f"{root}/.new")
                    os.rename(f"{root}/.new", name)
            else:
                exchange(name, other)
            log.append(f"{op} {os.path.relpath(name, root)} {os.path.relpath(other, root)}")
        time.sleep(rng.choice([0, 0, 0, 0.02, 0.05, 0.11]))
    return log


@pytest.mark.parametrize("kinds", ["file file", "file dir", "dir dir", "link dir"])
def test_swapped_names_keep_both_and_their_watches(tmp_path, kinds):
    root = str(tmp_path)
    for name, kind in zip("ab", kinds.split()):
        if kind == "file":
            make_tree(root, {name: name * 3})
        elif kind == "dir":
            make_tree(root, {f"{name}/f": "", f"{name}/sub/g": ""})
        else:
            os.symlink("nowhere", f"{root}/{name}")
    with tolvane.FileSystem(root) as fs:
        wait_until(fs.is_ready)
        exchange(f"{root}/a", f"{root}/b")
        time.sleep(0.3)
        for name in "ab":  # changes below each directory land under its new name
            if os.path.isdir(f"{root}/{name}") and not os.path.islink(f"{root}/{name}"):
                make_tree(root, {f"{name}/sub/new": "n"})
                os.remove(f"{root}/{name}/f")
        assert agrees_with_a_build(fs, root) is None


def test_random_changes_agree_with_a_build(tmp_path, monkeypatch):
    # Many seeded sequences at once, each on a tree and an object of its own, some with the root
    # spelled relative to the working directory; once every change is due, the watched index
    # must answer as a fresh build of the same tree does.
    monkeypatch.chdir(tmp_path)
    failures = []

    def run(seed):
        rng = random.Random(-seed)
        base = tmp_path.resolve() / str(seed)
        root, outside = str(base / "root"), str(base / "out")
        os.makedirs(root)
        os.makedirs(outside)
        for name in ["n0", "n1", "n2"]:  # a file, a small directory or nothing
            shape = rng.choice([{name: "x"}, {f"{name}/f": "", f"{name}/s/g": "", f"{name}/t": "t"},
                                {}])
            make_tree(root, shape)
        spelled = rng.choice([root, f"{seed}/root", f"./{seed}/root/"])
        with tolvane.FileSystem(spelled) as fs:
            wait_until(fs.is_ready)
            log = random_changes(seed, root, outside, fs)
            if differs := agrees_with_a_build(fs, spelled):
                failures.append((seed, spelled, log, *differs))

    def runs(seeds):
        for seed in seeds:
            try:
                run(seed)
            except Exception as error:
                failures.append((seed, repr(error)))

    seeds = iter(range(320))
    threads = [threading.Thread(target=runs, args=(seeds,)) for _ in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


# The object runs on one processor, so that its builds are slow. It prints when its first build
# began and ended, then when a refresh began and ended, and after each whether it answers as a
# fresh build once settled.
ONE_PROCESSOR = """
    import os, sys, time, tolvane
    from test_watch import agrees_with_a_build
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    print(time.monotonic(), flush=True)
    fs = tolvane.FileSystem(sys.argv[1])
    while not fs.is_ready():
        time.sleep(0.0005)
    print(time.monotonic(), flush=True)
    sys.stdin.readline()  # the tree has been changed
    print(agrees_with_a_build(fs, sys.argv[1]) is None, flush=True)
    print(time.monotonic(), flush=True)
    fs.refresh()
    print(time.monotonic(), flush=True)
    sys.stdin.readline()
    print(agrees_with_a_build(fs, sys.argv[1]) is None, flush=True)
"""


def test_changes_during_a_build_are_kept(tmp_path):
    root = str(tmp_path)
    make_tree(root, {f"d{i // 100}/f{i % 100}": "x" for i in range(50_000)})
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(ONE_PROCESSOR), root],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             cwd=os.path.dirname(__file__))
    try:
        for step in range(2):  # the first build, then a refresh
            began = float(child.stdout.readline())
            time.sleep(0.03)
            for d in range(0, 500, 3):  # a file removed and one made in many directories
                os.remove(f"{root}/d{d}/f{step}")
                open(f"{root}/d{d}/new{step}", "w").close()
            changed = time.monotonic()
            assert began < changed < float(child.stdout.readline())  # before the build ended
            child.stdin.write("changed\n")
            child.stdin.flush()
            assert child.stdout.readline() == "True\n"
    finally:
        child.kill()


# Stopped while more events than the kernel queues are made, the object must keep answering
# while it rebuilds, then follow what changes after, under the paths its directories now have.
LOST_QUEUE = """
    import sys, time, tolvane
    from test_watch import agrees_with_a_build
    fs = tolvane.FileSystem(sys.argv[1])
    while not fs.is_ready():
        time.sleep(0.001)
    print("ready", flush=True)
    sys.stdin.readline()  # events were lost meanwhile
    raised, deadline = 0, time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            fs.list()
        except RuntimeError:
            raised += 1
        time.sleep(0.001)
    print(raised, flush=True)
    sys.stdin.readline()  # changed since
    print(agrees_with_a_build(fs, sys.argv[1]) is None, flush=True)
"""


def test_a_lost_queue_leaves_no_stale_watch(tmp_path):
    root, out = str(tmp_path / "root"), str(tmp_path / "out")
    make_tree(root, {"a/x": "x", "p/x": "x"})
    os.mkdir(out)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(LOST_QUEUE), root],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                             cwd=os.path.dirname(__file__))
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signal.SIGSTOP)
        for i in range(20000):
            os.close(os.open(f"{root}/f{i}", os.O_CREAT | os.O_WRONLY))
        os.rename(f"{root}/a", f"{out}/a")  # a directory gone, another made at its name
        make_tree(root, {"a/x": "1"})
        os.rename(f"{root}/p", f"{root}/q")  # one moved below another made at its name
        os.mkdir(f"{root}/p")
        os.rename(f"{root}/q", f"{root}/p/b")
        child.send_signal(signal.SIGCONT)
        child.stdin.write("lost\n")
        child.stdin.flush()
        assert child.stdout.readline() == "0\n"
        os.remove(f"{out}/a/x")  # outside the tree now
        make_tree(root, {"p/b/new": "n"})
        os.remove(f"{root}/p/b/x")
        child.stdin.write("changed\n")
        child.stdin.flush()
        assert child.stdout.readline() == "True\n"
    finally:
        child.kill()


def test_a_root_made_again_is_watched_after_refresh(tmp_path):
    root = str(tmp_path / "root")
    make_tree(root, {"old": "o"})
    with tolvane.FileSystem(root) as fs:
        wait_until(fs.is_ready)
        shutil.rmtree(root)
        os.mkdir(root)
        fs.refresh()
        make_tree(root, {"new": "n", "sub/new": "n"})
        assert agrees_with_a_build(fs, root) is None
        assert sorted(fs.list()) == ["new", "sub/new"]
