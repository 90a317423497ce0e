"""Faults from outside the process: the kernel's event queue overflowing, the root deleted or
moved away, files cut and grown under readers, a full disk, no descriptors left. Each ends in a
defined error or result, and the object works on afterwards."""

import ctypes
import json
import os
import random
import re
import signal
import struct
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

import tolvane
from conftest import make_tree, run_python, wait_until

SANITIZED = "ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ

# The scripts' start: a watched object on argv[1], listings (None while a rebuild refuses them),
# waits, the tree on disk, call outcomes, the process's threads and descriptors.
HELPERS = """
    import json, os, re, sys, threading, time, tolvane
    def listed(fs):
        try:
            return sorted(fs.list())
        except RuntimeError:
            return None
    def wait(condition):
        deadline = time.monotonic() + 60
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.005)
    def disk(root):
        return sorted(os.path.relpath(f"{d}/{n}", root) for d, _, ns in os.walk(root) for n in ns)
    def settled(fs, root, markers):  # each marker's event is taken after the one before applied
        for marker in markers:
            open(f"{root}/{marker}", "w").close()
            wait(lambda: marker in (listed(fs) or []))
        return listed(fs), disk(root)
    def outcome(call):
        try:
            return call()
        except Exception as error:
            return [type(error).__name__, str(error)]
    # A thread first: a sanitizer's helper thread, which it starts, stays and is counted here.
    first = threading.Thread(target=int)
    first.start()
    count = lambda what: len(os.listdir(f"/proc/self/{what}"))
    wait(lambda: str(first.native_id) not in os.listdir("/proc/self/task"))
    tasks, fds = count("task"), count("fd")
    fs = tolvane.FileSystem(sys.argv[1])
    wait(fs.is_ready)
"""


def script(body):
    return textwrap.dedent(HELPERS) + textwrap.dedent(body)


OVERFLOW = script("""
    print("ready", flush=True)
    sys.stdin.readline()
    print(json.dumps(settled(fs, sys.argv[1], ["m1", "new/m2", "d2/e/m3"])))
""")


def test_index_is_rebuilt_after_the_event_queue_overflows(tmp_path):
    make_tree(tmp_path, {**{f"keep{i}": "" for i in range(100)}, "d/e/f": ""})
    with open("/proc/sys/fs/inotify/max_queued_events") as f:
        limit = int(f.read())
    # An instance of our own with the watcher's watches and mask: its queue fills as the
    # watcher's does, and tells what was kept.
    libc = ctypes.CDLL(None, use_errno=True)
    ours = libc.inotify_init1(os.O_NONBLOCK)
    for path in (tmp_path, tmp_path / "d", tmp_path / "d/e"):
        assert libc.inotify_add_watch(ours, os.fsencode(path), 0xBC6) > 0
    child = subprocess.Popen([sys.executable, "-c", OVERFLOW, str(tmp_path)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signal.SIGSTOP)  # every thread, the watcher's too: nothing is read
        tasks = f"/proc/{child.pid}/task"
        wait_until(lambda: all(open(f"{tasks}/{t}/stat").read().split(") ")[1][0] == "T"
                               for t in os.listdir(tasks)))
        touch = lambda name: os.close(os.open(tmp_path / name, os.O_CREAT | os.O_WRONLY))
        # Queued: creations, deletions, and a directory's move from its name, whose second
        # half is the first event lost. Lost: the deleted files back, a directory made.
        for i in range(limit - 101):
            touch(f"f{i}")
        for i in range(100):
            os.remove(tmp_path / f"keep{i}")
        os.rename(tmp_path / "d", tmp_path / "d2")
        for i in range(100):
            touch(f"keep{i}")
        make_tree(tmp_path, {"new/a": "", "new/b/c": ""})
        data, events = os.read(ours, 1 << 20), []
        while data:
            _, mask, _, length = struct.unpack_from("iIII", data)
            events.append((mask & 0x4040, data[16:16 + length].rstrip(b"\0")))
            data = data[16 + length:]
        assert len(events) == limit + 1 and events[-2:] == [(0x40, b"d"), (0x4000, b"")]
        child.send_signal(signal.SIGCONT)
        listed, disk = json.loads(child.communicate("go\n", timeout=300)[0])
        assert listed == disk and {"keep0", "new/b/c", "new/m2", "d2/e/m3"} <= set(disk)
    finally:
        os.close(ours)
        child.kill()


ROOT_GONE = script("""
    import shutil
    root, how = sys.argv[1:]
    shutil.rmtree(root) if how == "deleted" else os.rename(root, root + ".moved")
    wait(lambda: how == "moved" or not fs.list())
    report = [outcome(call) for call in [
        lambda: sorted(fs.list()), lambda: sorted(fs.glob("**")), lambda: fs.read_file("a"),
        lambda: fs.read_lines("a"), lambda: fs.read_file_range("a", 0, 1),
        lambda: fs.read_batch(["a", "d/b"]), lambda: len(fs.grep("x")),
        lambda: fs.get_metadata("a").size, lambda: fs.edit_replace("a", "x", "y"),
        lambda: fs.refresh(), lambda: fs.list(), lambda: fs.is_ready()]]
    cpu = sum(os.times()[:2])
    time.sleep(0.5)
    report.append(sum(os.times()[:2]) - cpu < 0.1)  # the threads left wait; none spins
    fs.close()
    del fs
    wait(lambda: count("task") == tasks)
    print(json.dumps(report + [count("task") - tasks, count("fd") - fds]))
""")


@pytest.mark.parametrize("how", ["deleted", "moved"])
def test_root_deleted_or_moved_while_watched(tmp_path, how):
    root = str(tmp_path / "root")
    files = {"a": "x\n", "d/b": "x\n", **{f"d{i}/e/f": "" for i in range(50)}}
    make_tree(root, files)
    # A pool of one thread starts no workers: every thread counted is the object's.
    run = run_python(ROOT_GONE, root, how, env=dict(os.environ, RAYON_NUM_THREADS="1"))
    assert run.returncode == 0, run.stderr
    gone = ["ValueError", f"Path not found: {root}/a"]
    # Moved away, the root's entries stay (no event says they left) until refresh.
    listing, size = ([], ["ValueError", "Path not found: a"]) if how == "deleted" else (
        sorted(files), 2)
    assert json.loads(run.stdout) == [listing, listing, gone, gone, gone, {}, 0, size, gone,
                                      None, [], True, True, 0, 0]


# Every version of a file is a prefix of one text, so that each line read is known by its number.
SIZES = {"a": 13000, "b": 2000}  # lines: "a" takes read_lines' large road, "b" its buffered one
LINES = {tag: [f"{tag}{k:06d}:" + "ab" * (k % 80) for k in range(n)] for tag, n in SIZES.items()}
TEXTS = {tag: "".join(line + "\n" for line in lines) for tag, lines in LINES.items()}
WRITER = """
    import os, random, sys
    text = open(sys.argv[1], "rb").read()
    fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
    while True:
        os.ftruncate(fd, 0)
        end = random.randrange(len(text))
        for at in range(0, end, 65536):
            os.write(fd, text[at:min(end, at + 65536)])
"""


def in_order(numbered, tag, torn=False):
    """Whether the (line index, line) pairs are the text's own, the last one possibly cut short
    where a read ended. A line with zeros was torn by the kernel (read(2) racing a truncation can
    see zero-filled pages) and may hide newlines: the next whole line names its own index, which
    can only be past the one counted."""
    shift = 0
    for i, (index, line) in enumerate(numbered):
        last = i == len(numbered) - 1
        if "\0" in line:
            torn = True
            continue
        if torn:
            named = re.match(rf"{tag}(\d{{6}}):", line)
            if not named or int(named[1]) - index < shift:
                return bool(not named and last and re.fullmatch(rf"{tag}\d{{0,6}}", line))
            shift, torn = int(named[1]) - index, False
        expected = LINES[tag][index + shift] if index + shift < SIZES[tag] else ""
        if not (line == expected or last and line and expected.startswith(line)):
            return False
    return True


@pytest.mark.parametrize("tag", ["a", "b"])
def test_files_cut_and_grown_while_read(tmp_path, tag):
    make_tree(tmp_path, TEXTS)
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(WRITER), tmp_path / tag])
    faults = []

    def read(seed):
        rng = random.Random(seed)
        for _ in range(30):
            start = rng.choice([0, 0, 7, 1500])
            lines = fs.read_lines(tag, start, rng.choice([None, 3, 5000]))
            text = fs.read_file(tag)
            found = [(r.line_number - 1, r.content) for r in fs.grep("^", max_results=10**6)
                     if r.file == tag]
            numbers = [index for index, _ in found]
            faults.extend(what for what, sound in [
                ("read_lines", in_order(list(enumerate(lines, start)), tag, torn=start > 0)),
                ("read_file", all(TEXTS[tag].startswith(m[0], m.start())
                                  for m in re.finditer("[^\0]+", text))),
                ("grep", numbers == sorted(set(numbers)) and -1 not in numbers and
                 in_order(found, tag))] if not sound)

    try:
        with tolvane.FileSystem(str(tmp_path), auto_watch=False) as fs:
            wait_until(fs.is_ready)
            with ThreadPoolExecutor(4) as readers:
                list(readers.map(read, range(4)))  # what a reader raises is raised here
    finally:
        writer.kill()
    assert faults == []


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 512 KiB of the test's own."""
    (tmp_path / "small").mkdir()
    mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", tmp_path / "small"],
                           capture_output=True, text=True)
    if mount.returncode != 0:
        pytest.skip(f"no tmpfs of our own: {mount.stderr.strip()}")
    yield tmp_path / "small"
    subprocess.run(["umount", "-l", tmp_path / "small"], check=True)


@pytest.mark.parametrize("method", ["write_file", "edit_replace", "write_file_fast"])
def test_full_disk(small_disk, method):
    old, new = "old line\n" * 5000, "new line\n" * 30000
    (small_disk / "t").write_text(old)
    fd = os.open(small_disk / "fill", os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fd, b"x" * 65536):
            pass
    except OSError:  # full; then 16 KiB given back, so that the first writes succeed
        os.ftruncate(fd, os.fstat(fd).st_size - 16384)
    os.close(fd)
    fs = tolvane.FileSystem(str(small_disk), auto_watch=False)
    call = {"write_file": lambda: fs.write_file("t", new),
            "edit_replace": lambda: fs.edit_replace("t", "old", "n" * 99, strict=False),
            "write_file_fast": lambda: fs.write_file_fast("t", new)}[method]
    with pytest.raises(OSError, match=re.escape(f"{os.strerror(28)} (os error 28)")):
        call()
    assert sorted(os.listdir(small_disk)) == ["fill", "t"]  # no temporary file left
    left = (small_disk / "t").read_text()
    # In place, the target was cut at the open and holds what was written before the failure.
    assert left == old if method != "write_file_fast" else new.startswith(left) and (
        0 < len(left) < len(new))


NO_DESCRIPTORS = script("""
    import resource
    root, outside = sys.argv[1:]
    whole = set(disk(root) + ["m/sub/deep/g", "m/sub/f"])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    taken = []  # every descriptor left
    try:
        while True:
            taken.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    os.rename(f"{outside}/m", f"{root}/m")  # watched at once, listed only when it can be
    report = {name: outcome(call) for name, call in {
        "read_file": lambda: fs.read_file("d0/f"), "read_lines": lambda: fs.read_lines("d0/f"),
        "range": lambda: fs.read_file_range("d0/f", 0, 9), "grep": lambda: len(fs.grep("l")),
        "batch": lambda: fs.read_batch([f"d{i}/f" for i in range(40)]),
        "write_file": lambda: fs.write_file("d0/f", "new"),
        "fast": lambda: fs.write_file_fast("d0/f", "new"),
        "edit": lambda: fs.edit_replace("d0/f", "l", "n"),
        "watching": lambda: tolvane.FileSystem(root).is_watching(),
        "refresh": lambda: fs.refresh(), "listed": lambda: set(fs.list()) <= whole}.items()}
    # The temporary file's path, which an atomic write's failure names, left out.
    report["write_file"][1] = re.sub(' at path ".*/d0/.tmp[A-Za-z0-9]{6}"$', "",
                                     report["write_file"][1])
    for fd in taken:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    wait(lambda: "m/sub/f" in (listed(fs) or []))  # what the move brought, without refresh
    report["watched"] = settled(fs, root, ["m/sub/deep/later"])[0]
    fs.refresh()
    report["after"] = [listed(fs) == disk(root), len(fs.grep("line")), fs.read_file("d0/f")]
    report["leaked"] = count("fd") - fds - 2  # the watcher's two, as before
    print(json.dumps(report))
""")


def test_no_descriptors_left(tmp_path):
    root, outside = tmp_path / "root", tmp_path / "out"
    make_tree(root, {f"d{i}/f": f"line {i}\n" for i in range(40)})
    make_tree(outside, {"m/sub/f": "line m\n", "m/sub/deep/g": "line g\n"})
    run = run_python(NO_DESCRIPTORS, str(root), str(outside), timeout=300)
    assert run.returncode == 0, run.stderr
    report, no_fd = json.loads(run.stdout), ["OSError", f"{os.strerror(24)} (os error 24)"]
    # refresh's walk can't open the root: the index is left empty until descriptors are back,
    # and the watcher adds what the move brought once it can list it.
    assert {"m/sub/f", "m/sub/deep/g", "m/sub/deep/later"} <= set(report.pop("watched"))
    assert report == {**dict.fromkeys(["read_file", "read_lines", "range", "write_file", "fast",
                                       "edit"], no_fd),
                      "grep": 0, "batch": {}, "watching": False, "refresh": None,
                      "listed": True, "after": [True, 42, "line 0\n"], "leaked": 0}


FEW_DESCRIPTORS = script("""
    import resource
    spare, road = int(sys.argv[2]), sys.argv[3]
    whole = disk(sys.argv[1])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    taken = []
    try:
        while True:
            taken.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    for _ in range(spare):
        os.close(taken.pop())
    if road == "build":
        fs = tolvane.FileSystem(sys.argv[1], auto_watch=False)
        wait(fs.is_ready)
    else:
        fs.refresh()
    report = {"ready": listed(fs) == whole}
    for fd in taken:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    wait(lambda: listed(fs) == whole)  # watched: what was left unread is read once it can be
    report["later"] = listed(fs) == whole
    fs.refresh()
    report["refreshed"] = listed(fs) == whole
    print(json.dumps(report))
""")


# Directories that can't be opened for want of descriptors are read again once the walk's own
# descriptors are closed; those that still can't be are read later, by the maintenance thread when
# watching, else by the next refresh. The index is never left short for good.
@pytest.mark.parametrize("road, spare, ready", [("build", 2, True), ("refresh", 0, False)])
def test_few_descriptors_left(tmp_path, road, spare, ready):
    make_tree(tmp_path, {f"a{a}/b{b}/c{c}/f{f}": "x" for a in range(5) for b in range(4)
                         for c in range(6) for f in range(10)})
    run = run_python(FEW_DESCRIPTORS, str(tmp_path), str(spare), road)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == {"ready": ready, "later": True, "refreshed": True}





MEMORY = """
    import ctypes, json, resource, sys, threading, time, tolvane
    # dl_iterate_phdr's record of each library as words: [6] its TLS module, [7] the calling
    # thread's block of it, null until the thread is given one.
    Each = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_size_t * 8), ctypes.c_size_t,
                            ctypes.c_void_p)
    def unallocated():
        found = []
        ctypes.CDLL(None).dl_iterate_phdr(Each(lambda info, *_: found.append(
            bool(info.contents[6] and not info.contents[7])) or 0), None)
        return any(found)
    def limited(mib, call):  # `call` with this many MiB above what the process maps now
        mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + (mib << 20), resource.RLIM_INFINITY))
        try:
            return call()
        except OSError as error:
            return str(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
    def wait(condition, seconds):
        deadline = time.monotonic() + seconds
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.005)
    # A thread's first call makes the blocks that glibc would make on first use (the C++
    # runtime's, RE2's), where it ends the process when memory runs out.
    tls = []
    def first_call():
        tls.append(unallocated())
        tolvane.FileSystem(sys.argv[1], auto_watch=False).close()
        tls.append(unallocated())
    thread = threading.Thread(target=first_call)
    thread.start()
    thread.join()
    outcomes = []
    for mib in [0] * 10 + [1] * 10 + [2, 4] * 5:
        fs = tolvane.FileSystem(sys.argv[1])  # still building: grep walks the tree itself
        grep = limited(mib, lambda: len(fs.grep("x", "**/*", True, 10**9)))
        limited(mib, lambda: wait(fs.is_ready, 1))
        if not fs.is_ready():  # the build failed: the next reads the whole tree
            fs.refresh()
        # What the build left unread, the maintenance thread reads again.
        wait(lambda: len(fs.list()) == 50, 10)
        outcomes.append([grep, len(fs.list())])
        fs.close()
    print(json.dumps([tls, outcomes]))
"""


# Memory that runs out, from none at all (a thread's first allocation fails) to a little: the
# process lives on, grep's walk gives every file or OSError, and the index is never left short.
@pytest.mark.skipif(SANITIZED, reason="a sanitizer's shadow memory needs more address space")
def test_memory_that_runs_out_fails_the_call_or_is_read_again(tmp_path):
    make_tree(tmp_path, {f"d{i}/f": "x" for i in range(50)})
    run = run_python(MEMORY, str(tmp_path))
    assert run.returncode == 0, run.stderr
    tls, outcomes = json.loads(run.stdout)
    assert tls == [True, False] and all(grep in (50, "out of memory") and listed == 50
                                        for grep, listed in outcomes)
