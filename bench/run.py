"""Side-by-side benchmarks of tolvane against its peers on the Linux 6.1 sources.

Each case times our operation and its peer alternately in one run (a warm-up of each first, then
--repeat rounds) and prints the medians, the ratio ours/peer and whether the target is met. A case
whose method is not in the built module yet prints "not built" instead of failing the run.

    .venv/bin/python bench/run.py [--only NAME ...] [--repeat N] [--corpus PATH]
"""

from __future__ import annotations

import argparse
import functools
import itertools
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

REPO = Path(__file__).resolve().parent.parent
BENCH = REPO / "bench"
DATA = BENCH / ".data"  # generated inputs and written files: same disk as the tree, git-ignored
DEFAULT_CORPUS = BENCH / ".corpus" / "linux"
MAKE_CORPUS = REPO.parent / "shared" / "bench" / "make_linux_corpus.sh"
VENV_BIN = Path(sys.executable).parent
FD = [shutil.which("fdfind") or "fdfind", "--hidden", "--type", "f"]
TIMEOUT = 120  # seconds for one process run or index build: a hang fails its row, not the run


class NotBuilt(Exception):
    """The operation under test is not in this build yet."""


@dataclass
class Peer:
    label: str
    sample: Callable[[], float]  # one measurement, in seconds
    max_ratio: float  # the target: median(ours) / median(peer) at most this
    target: str


@dataclass
class Case:
    ours: Callable[[], float]  # one measurement: seconds, or bytes for a case without peers
    peers: list[Peer] = field(default_factory=list)
    limit: float | None = None  # the target of a case without peers: ours at most this
    target: str = ""
    unit: str = "s"
    note: str = ""  # what ours answered, to tell a fast result from a wrong one


# ----------------------------------------------------------------------------- helpers


def check(condition: bool, message: str) -> None:
    """Refuses to time an operation whose answer is wrong."""
    if not condition:
        raise RuntimeError(message)


def timed(fn: Callable[[], object], reps: int = 1) -> float:
    """Seconds per call of `fn`, averaged over `reps` calls."""
    start = time.perf_counter()
    for _ in range(reps):
        fn()
    return (time.perf_counter() - start) / reps


def run_process(argv: list[str], cwd: Path) -> float:
    """Wall time of one process run, its output discarded."""
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, check=True, timeout=TIMEOUT)
    return time.perf_counter() - start


def python_child(code: str, *args: str) -> str:
    """Runs `code` in a fresh interpreter of this environment and returns its output."""
    done = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=TIMEOUT)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip().splitlines()[-1] if done.stderr else "child failed")
    return done.stdout


def file_system_class(*methods: str):
    """tolvane.FileSystem, provided the build has every one of `methods`."""
    try:
        from tolvane import FileSystem
    except ImportError as e:
        raise NotBuilt(f"import failed: {e}") from e
    missing = [m for m in methods if not hasattr(FileSystem, m)]
    if missing:
        raise NotBuilt("no " + ", ".join(missing))
    return FileSystem


def open_file_system(root: Path, watch: bool = False):
    """A FileSystem (without a watcher unless asked), its index built so no background walk
    competes."""
    fs = file_system_class()(str(root), auto_watch=watch)
    if hasattr(fs, "is_ready"):
        deadline = time.monotonic() + TIMEOUT
        while not fs.is_ready():
            if time.monotonic() > deadline:
                raise RuntimeError(f"index not ready after {TIMEOUT} s")
            time.sleep(0.001)
    return fs


def durable_write(path: Path, content: str) -> None:
    """The standard library's crash-safe replacement of a file."""
    with tempfile.NamedTemporaryFile("w", dir=path.parent, delete=False, encoding="utf-8") as f:
        f.write(content)
        f.flush()
        os.fsync(f.fileno())
    os.replace(f.name, path)
    dir_fd = os.open(path.parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


@functools.cache
def fd_file_count(corpus: Path) -> int:
    return subprocess.run(FD, cwd=corpus, check=True, capture_output=True).stdout.count(b"\n")


def work_dir(name: str) -> Path:
    path = DATA / name
    path.mkdir(parents=True, exist_ok=True)
    return path


# ----------------------------------------------------------------------------- cases


def bench_driver(target: str) -> str:
    """Builds the C++ benchmark driver `target` (bench/*.cpp) and returns its path."""
    build = REPO / "build" / "bench"
    cmake = str(VENV_BIN / "cmake") if (VENV_BIN / "cmake").exists() else "cmake"
    env = dict(os.environ, PATH=f"{VENV_BIN}{os.pathsep}{os.environ.get('PATH', '')}")
    configure = [cmake, "-S", str(REPO), "-B", str(build), "-G", "Ninja",
                 "-DTOLVANE_BUILD_BENCH=ON", "-DTOLVANE_BUILD_MODULE=OFF"]
    for step in (configure, [cmake, "--build", str(build), "--target", target]):
        done = subprocess.run(step, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            print("\n".join((done.stdout + done.stderr).splitlines()[-15:]), file=sys.stderr)
            raise NotBuilt(f"{target} failed to build")
    return str(build / target)


def case_walk(corpus: Path) -> Case:
    if not (REPO / "src/fs/ignore/walk.h").exists():
        raise NotBuilt("no src/fs/ignore/walk.h")
    driver = bench_driver("walk_count")
    entries = subprocess.run([driver, "."], cwd=corpus, check=True, capture_output=True,
                             text=True, timeout=TIMEOUT).stdout.strip()
    return Case(ours=lambda: run_process([driver, "."], corpus),
                peers=[Peer("fd", lambda: run_process(FD, corpus), 1.0, "<= 1.0")],
                note=f"{entries} entries; fd {fd_file_count(corpus)} files")


# Runs in a fresh interpreter, so nothing cached by an earlier build in the process helps.
INDEX_BUILD_CHILD = """
import sys, time
from tolvane import FileSystem
start = time.perf_counter()
fs = FileSystem(sys.argv[1], auto_watch=False)
while not fs.is_ready():
    time.sleep(0.001)
print(time.perf_counter() - start)
"""


def case_index_build(corpus: Path) -> Case:
    file_system_class("is_ready")
    return Case(ours=lambda: float(python_child(INDEX_BUILD_CHILD, str(corpus))),
                peers=[Peer("fd", lambda: run_process(FD, corpus), 1.0, "<= 1.0")])


def case_list(corpus: Path) -> Case:
    file_system_class("is_ready", "list")
    fs = open_file_system(corpus)
    git = ["git", "ls-files"]
    return Case(ours=lambda: timed(fs.list, 20),
                peers=[Peer("fd", lambda: run_process(FD, corpus), 1 / 20, ">= 20x faster"),
                       Peer("git ls-files", lambda: run_process(git, corpus), 0.25, "<= 0.25")],
                note=f"{len(fs.list())} files; fd {fd_file_count(corpus)}")


# RSS grown by building the index, less the path text it must hold, per indexed entry.
INDEX_MEMORY_CHILD = """
import os, sys, time
from tolvane import FileSystem
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
root = sys.argv[1]
before = rss()
fs = FileSystem(root, auto_watch=False)
while not fs.is_ready():
    time.sleep(0.001)
grown = rss() - before
entries = fs.list(only_files=False)
path_bytes = sum(len(os.fsencode(os.path.join(root, p))) for p in entries)
print((grown - path_bytes) / len(entries))
"""


def case_index_memory(corpus: Path) -> Case:
    file_system_class("is_ready", "list")
    return Case(ours=lambda: float(python_child(INDEX_MEMORY_CHILD, str(corpus))),
                limit=200, target="<= 200 B", unit="B")


def case_read_batch(corpus: Path) -> Case:
    file_system_class("read_batch")
    paths = sources(corpus, "*.c", 1000)
    fs = open_file_system(work_dir("read"))
    got = len(fs.read_batch(paths))
    check(got == len(paths), f"read_batch read {got} of {len(paths)} files")

    def read_all() -> dict[str, str]:
        out = {}
        for p in paths:
            with open(p, encoding="utf-8") as f:
                out[p] = f.read()
        return out

    size = sum(os.path.getsize(p) for p in paths)
    return Case(ours=lambda: timed(lambda: fs.read_batch(paths)),
                peers=[Peer("open().read() loop", lambda: timed(read_all), 1 / 3, ">= 3x faster")],
                note=f"{got} files, {size / 2**20:.1f} MiB")


def sources(corpus: Path, pattern: str, count: int) -> list[str]:
    """The first `count` tracked files matching `pattern`, sorted, that are valid UTF-8."""
    listed = subprocess.run(["git", "ls-files", "-z", pattern], cwd=corpus, check=True,
                            capture_output=True).stdout.split(b"\0")
    chosen = []
    for rel in sorted(os.fsdecode(p) for p in listed if p):
        try:
            (corpus / rel).read_bytes().decode("utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        chosen.append(str(corpus / rel))
        if len(chosen) == count:
            break
    return chosen


def case_read_lines(corpus: Path) -> Case:
    file_system_class("read_lines")
    path, lines = large_text_file(work_dir("lines") / "200mb.txt", 200 * 10**6)
    fs = open_file_system(path.parent)
    start = lines - 100

    got = len(fs.read_lines(str(path), start_line=start))
    check(got == 100, f"read_lines returned {got} lines, not 100")

    def tail() -> list[str]:
        with open(path, encoding="utf-8") as f:
            return list(itertools.islice(f, start, None))

    return Case(ours=lambda: timed(lambda: fs.read_lines(str(path), start_line=start)),
                peers=[Peer("islice(open())", lambda: timed(tail), 1 / 5, ">= 5x faster")],
                note=f"last 100 of {lines} lines, {path.stat().st_size / 2**20:.0f} MiB")


def large_text_file(path: Path, size: int) -> tuple[Path, int]:
    """A text file of about `size` bytes of numbered source-like lines (made once), and its line
    count."""
    if not path.exists():
        words = "static int struct return unsigned long const void char if else while".split()
        shapes = [" ".join(words[(i * 7 + j) % len(words)] for j in range(1 + i % 15))
                  for i in range(997)]
        partial, written, number = path.with_suffix(".part"), 0, 0
        with open(partial, "w", encoding="utf-8") as f:
            while written < size:
                chunk = "".join(f"{number + i:09d} {shapes[(number + i) % len(shapes)]}\n"
                                for i in range(10000))
                f.write(chunk)
                written += len(chunk)
                number += 10000
        partial.rename(path)
    with open(path, "rb") as f:
        return path, sum(block.count(b"\n") for block in iter(lambda: f.read(1 << 20), b""))


def case_write_file(corpus: Path) -> Case:
    file_system_class("write_file")
    directory = work_dir("write")
    fs = open_file_system(directory)
    content = ("x" * 63 + "\n") * 1024  # 64 KiB
    ours_path, peer_path = directory / "ours.txt", directory / "peer.txt"
    return Case(ours=lambda: timed(lambda: fs.write_file(str(ours_path), content), 10),
                peers=[Peer("tempfile+fsync+replace", lambda: timed(
                    lambda: durable_write(peer_path, content), 10), 1.1, "<= 1.1")],
                note="64 KiB")


def case_edit_replace(corpus: Path) -> Case:
    file_system_class("edit_replace")
    directory = work_dir("edit")
    fs = open_file_system(directory)
    line = "    return do_something(ctx, buffer, length); /* unremarkable line */\n"
    body = line * (10 * 2**20 // len(line))
    middle = len(body) // 2
    text = body[:middle] + "UNIQUE_MARKER_A\n" + body[middle:]
    ours_path, peer_path = directory / "ours.txt", directory / "peer.txt"
    for p in (ours_path, peer_path):
        p.write_text(text, encoding="utf-8")

    def py_edit_replace(path: Path, old: str, new: str) -> None:
        with open(path, encoding="utf-8") as f:
            content = f.read()
        if content.count(old) != 1:
            raise ValueError("marker not unique")
        durable_write(path, content.replace(old, new, 1))

    def there_and_back(edit: Callable[[str, str], object]) -> Callable[[], float]:
        # Each measurement replaces the marker and restores it: every round sees the same file.
        swaps = itertools.cycle([("UNIQUE_MARKER_A", "UNIQUE_MARKER_B"),
                                 ("UNIQUE_MARKER_B", "UNIQUE_MARKER_A")])
        return lambda: timed(lambda: edit(*next(swaps)), 2)

    def ours(old: str, new: str) -> None:
        check(fs.edit_replace(str(ours_path), old, new) is True, "edit_replace replaced nothing")

    return Case(ours=there_and_back(ours),
                peers=[Peer("read+replace+durable write",
                            there_and_back(lambda old, new: py_edit_replace(peer_path, old, new)),
                            1.0, "<= 1.0")],
                note=f"{len(text) / 2**20:.0f} MiB, one occurrence")


RG = shutil.which("rg") or "rg"
# The queries of the grep cases: (name, query, case_sensitive, target ours/rg).
GREP_QUERIES = [
    ("grep_literal_s", "PM_RESUME", True, 0.5),
    ("grep_literal_i", "PM_RESUME", False, 0.5),
    ("grep_alternation", "ERR_SYS|PME_TURN_OFF|LINK_REQ_RST|CFG_BME_EVT", False, 0.5),
    ("grep_word_suffix", r"\w+_SUSPEND", False, 0.5),
    ("grep_class_suffix", r"[A-Z]+_RESUME", False, 0.5),
    ("grep_greek", r"\p{Greek}", False, 0.3),
    ("grep_no_literal", r"\w{5}\s+\w{5}\s+\w{5}\s+\w{5}\s+\w{5}", True, 0.5),
]
MAX_RESULTS = 10**8  # large enough to return every match


def rg_argv(query: str, case_sensitive: bool, *extra: str) -> list[str]:
    return [RG, "--hidden", "-s" if case_sensitive else "-i", *extra, "-e", query]


def rg_count(corpus: Path, query: str, case_sensitive: bool) -> int:
    out = subprocess.run(rg_argv(query, case_sensitive, "--count"), cwd=corpus,
                         capture_output=True, text=True, timeout=TIMEOUT).stdout
    return sum(int(line.rsplit(":", 1)[1]) for line in out.splitlines())


def grep_case(query: str, case_sensitive: bool, target: float) -> Callable[[Path], Case]:
    """grep on a ready index in a warm process, against rg as a process (output discarded)."""
    def make(corpus: Path) -> Case:
        file_system_class("grep")
        fs = open_file_system(corpus)
        run = lambda: fs.grep(query, case_sensitive=case_sensitive, max_results=MAX_RESULTS)
        found = len(run())
        rg = rg_argv(query, case_sensitive)
        return Case(ours=lambda: timed(run),
                    peers=[Peer("rg", lambda: run_process(rg, corpus), target, f"<= {target}")],
                    note=f"{found} matches; rg {rg_count(corpus, query, case_sensitive)}")
    return make


def case_grep_walk(corpus: Path) -> Case:
    """grep on a fresh object whose index is not built yet: the engine walks the tree itself."""
    FileSystem = file_system_class("grep", "is_ready")
    query = "PM_RESUME"

    def once() -> tuple[float, int]:
        fs = FileSystem(str(corpus), auto_watch=False)
        check(not fs.is_ready(), "the index was ready before the call: not the walk road")
        start = time.perf_counter()
        found = fs.grep(query, case_sensitive=True, max_results=MAX_RESULTS)
        elapsed = time.perf_counter() - start
        # The object's own build still runs: let it end before the next sample.
        deadline = time.monotonic() + TIMEOUT
        while not fs.is_ready() and time.monotonic() < deadline:
            time.sleep(0.005)
        fs.close()
        return elapsed, len(found)

    found = once()[1]
    rg = rg_argv(query, True)
    return Case(ours=lambda: once()[0],
                peers=[Peer("rg", lambda: run_process(rg, corpus), 1.0, "<= 1.0")],
                note=f"{found} matches; rg {rg_count(corpus, query, True)}")


def appearance(fs, directory: Path, name: str) -> float:
    """Seconds from write_file_fast of a new file to its appearance in list()."""
    start = time.perf_counter()
    fs.write_file_fast(str(directory / name), "x")
    while name not in fs.list():
        check(time.perf_counter() - start < 5, f"{name} not listed within 5 s")
        time.sleep(0.0005)
    return time.perf_counter() - start


def watchfiles_appearance(directory: Path, count: int) -> float | None:
    """The median, over `count` new files, of the time from their write to watchfiles.watch
    (default settings) yielding them; None without watchfiles."""
    try:
        import watchfiles
    except ImportError:
        return None
    seen: dict[str, float] = {}
    stop = threading.Event()

    def watch() -> None:
        for changes in watchfiles.watch(directory, stop_event=stop):
            now = time.perf_counter()
            for _, path in changes:
                seen.setdefault(os.path.basename(path), now)

    thread = threading.Thread(target=watch)
    thread.start()
    latencies = []
    try:
        while "begun" not in seen:  # written until seen: the watch has begun
            (directory / "begun").write_text("x")
            time.sleep(0.05)
        for i in range(count):
            name, start = f"peer{i}", time.perf_counter()
            (directory / name).write_text("x")
            while name not in seen:
                check(time.perf_counter() - start < 10, "watchfiles saw nothing within 10 s")
                time.sleep(0.0005)
            latencies.append(seen[name] - start)
    finally:
        stop.set()
        thread.join()
    return statistics.median(latencies)


def case_watch_latency(corpus: Path) -> Case:
    file_system_class("is_watching", "write_file_fast", "list")
    directory, peer = work_dir("watch"), work_dir("watch-peer")
    for old in [*directory.iterdir(), *peer.iterdir()]:
        old.unlink()
    fs = open_file_system(directory, watch=True)
    check(fs.is_watching(), "the object has no watcher")
    names = (f"new{i}" for i in itertools.count())
    phase = random.Random(1)

    def one() -> float:  # writes land at any point of the maintenance thread's 50 ms cycle
        time.sleep(phase.uniform(0, 0.05))
        return appearance(fs, directory, next(names))

    watchfiles_median = watchfiles_appearance(peer, 50)
    note = "median of 50 new files"
    if watchfiles_median is not None:
        note += f"; watchfiles.watch with its defaults: {fmt(watchfiles_median, 's')}"
    return Case(ours=lambda: statistics.median(one() for _ in range(50)),
                limit=0.160, target="<= 160 ms", note=note)


PER_DIR = 1000  # empty files per directory of the generated removal trees


def fill(directory: Path, dirs: range) -> None:
    """Makes directory/d{i}/f{j} for i in `dirs`, PER_DIR empty files each, where missing."""
    for i in dirs:
        sub = directory / f"d{i}"
        sub.mkdir(parents=True, exist_ok=True)
        if len(os.listdir(sub)) == PER_DIR:
            continue
        for j in range(PER_DIR):
            os.close(os.open(sub / f"f{j}", os.O_CREAT | os.O_WRONLY, 0o644))


def removal_tree(files: int, removed: int) -> Path:
    """A tree of `files` empty files, PER_DIR a directory: `removed` of them under gone/, the
    rest under keep/. One tree per size under bench/.data; its directories are moved between
    keep/ and gone/ to give the split asked for."""
    root = work_dir(f"removals-{files}")
    gone = removed // PER_DIR
    for i in range(files // PER_DIR):
        where, other = ("gone", "keep") if i < gone else ("keep", "gone")
        (root / where).mkdir(exist_ok=True)
        if (root / other / f"d{i}").exists() and not (root / where / f"d{i}").exists():
            os.rename(root / other / f"d{i}", root / where / f"d{i}")
        fill(root / where, range(i, i + 1))
    return root


def removal_case(removed: int, files: int, limit: float) -> Callable[[Path], Case]:
    """rm -rf of `removed` files in a watched tree of `files`, from its start until list() no
    longer shows them; the files are made again, untimed, between rounds."""
    def make(corpus: Path) -> Case:
        file_system_class("is_watching", "glob", "list")
        root = removal_tree(files, removed)
        fs = open_file_system(root, watch=True)
        check(fs.is_watching(), "the object has no watcher")

        def settled(listed: int) -> None:
            deadline = time.monotonic() + 30 * 60
            while len(fs.list()) != listed:
                check(time.monotonic() < deadline, f"list() never reached {listed} files")
                time.sleep(0.05)

        settled(files)

        def once() -> float:
            start = time.perf_counter()
            shutil.rmtree(root / "gone")
            deadline = time.monotonic() + 30 * 60
            while fs.glob("gone/**"):
                check(time.monotonic() < deadline, "removals not applied within 30 minutes")
                time.sleep(0.005)
            elapsed = time.perf_counter() - start
            check(len(fs.list()) == files - removed, "list() lost files it should keep")
            fill(root / "gone", range(removed // PER_DIR))
            settled(files)
            return elapsed

        return Case(ours=once, limit=limit, target=f"<= {limit:g} s",
                    note=f"rm -rf of {removed} files among {files}, until list() follows")
    return make


# The constructor's time with a watcher (its watches are set up before it returns, while the
# index build it started runs), then, once the index is built, the growth of the resident set
# beside an object without watcher, and the number of watches.
WATCH_SETUP_CHILD = """
import os, sys, time
from tolvane import FileSystem
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def watches():
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") != "anon_inode:inotify":
                continue
        except OSError:  # the listing's own descriptor
            continue
        with open(f"/proc/self/fdinfo/{fd}") as f:
            count += sum(line.startswith("inotify wd:") for line in f)
    return count
before, start = rss(), time.perf_counter()
fs = FileSystem(sys.argv[1], auto_watch=sys.argv[2] == "1")
elapsed = time.perf_counter() - start
while not fs.is_ready():
    time.sleep(0.001)
time.sleep(0.2)
print(elapsed, rss() - before, watches())
"""


def case_watch_setup(corpus: Path) -> Case:
    file_system_class("is_watching")
    driver = bench_driver("watch_setup")

    def child(watch: bool) -> list[float]:
        return [float(x) for x in python_child(WATCH_SETUP_CHILD, str(corpus), str(int(watch))
                                               ).split()]

    constructor = statistics.median(child(True)[0] for _ in range(5))
    _, watched_rss, watches = child(True)
    plain_rss = child(False)[1]
    return Case(ours=lambda: float(subprocess.run([driver, str(corpus)], check=True,
                                                  capture_output=True, text=True).stdout),
                peers=[Peer("index build", lambda: float(python_child(INDEX_BUILD_CHILD,
                                                                      str(corpus))),
                            0.3, "<= 0.3")],
                note=f"{watches:.0f} watches; the constructor with them: {fmt(constructor, 's')}"
                     f" (its index build competing); resident set +"
                     f"{(watched_rss - plain_rss) / 2**20:.1f} MiB, once built")


# CPU time of the whole process while it watches the tree and nothing changes.
WATCH_IDLE_CHILD = """
import resource, sys, time
from tolvane import FileSystem
fs = FileSystem(sys.argv[1])
while not fs.is_ready():
    time.sleep(0.01)
time.sleep(1)
cpu = lambda: sum(resource.getrusage(resource.RUSAGE_SELF)[:2])
before = cpu()
time.sleep(10)
print(cpu() - before, fs.is_watching())
"""


def case_watch_idle(corpus: Path) -> Case:
    file_system_class("is_watching")

    def idle() -> float:
        cpu, watching = python_child(WATCH_IDLE_CHILD, str(corpus)).split()
        check(watching == "True", "the object has no watcher")
        return float(cpu)

    return Case(ours=idle, limit=0.1, target="< 0.1 s (1% of a core)",
                note="CPU seconds in 10 s of watching without a change")


CASES: dict[str, Callable[[Path], Case]] = {
    "walk": case_walk,
    "index_build": case_index_build,
    "list": case_list,
    "index_memory": case_index_memory,
    "read_batch": case_read_batch,
    "read_lines": case_read_lines,
    "write_file": case_write_file,
    "edit_replace": case_edit_replace,
    **{name: grep_case(query, cs, target) for name, query, cs, target in GREP_QUERIES},
    "grep_walk": case_grep_walk,
    "watch_latency": case_watch_latency,
    "watch_setup": case_watch_setup,
    "watch_idle": case_watch_idle,
    "remove_20k_of_200k": removal_case(20_000, 200_000, 1.0),
    "remove_40k_of_200k": removal_case(40_000, 200_000, 1.0),
    "remove_20k_of_400k": removal_case(20_000, 400_000, 1.5),
    "remove_100k_of_1m": removal_case(100_000, 1_000_000, 4.0),
}
# Cases whose trees are generated: they run without the corpus.
NO_CORPUS = {name for name in CASES if name.startswith("remove_")}


# ----------------------------------------------------------------------------- harness


def prepare_corpus(corpus: Path) -> None:
    """Makes the corpus unless it exists, and brings the peers' tools if they are missing."""
    if not corpus.exists():
        if not MAKE_CORPUS.exists():
            sys.exit(f"no corpus at {corpus} and no {MAKE_CORPUS} to make one; pass --corpus")
        corpus.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["bash", str(MAKE_CORPUS), str(corpus)], check=True)
    elif subprocess.run(["git", "rev-parse", "--verify", "-q", "HEAD"], cwd=corpus,
                        stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"{corpus} exists but is not a prepared corpus (no commit); remove it first")
    if not shutil.which("fdfind") and not shutil.which("fd"):
        subprocess.run(["apt-get", "install", "-y", "-q", "fd-find"], check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        FD[0] = shutil.which("fdfind") or "fd"


def fmt(value: float | None, unit: str) -> str:
    if value is None:
        return "-"
    if unit == "B":
        return f"{value:.0f} B"
    for scale, name in ((1, "s"), (1e-3, "ms"), (1e-6, "us")):
        if value >= scale:
            return f"{value / scale:.3g} {name}"
    return f"{value / 1e-6:.3g} us"


def measure(case: Case, repeat: int) -> list[list[float]]:
    """The samples of ours and each peer, measured in turn: one warm-up each, then `repeat`
    rounds."""
    samplers = [case.ours] + [p.sample for p in case.peers]
    for sample in samplers:
        sample()
    rounds = [[sample() for sample in samplers] for _ in range(repeat)]
    return [list(column) for column in zip(*rounds)]


def rows_of(name: str, case: Case, repeat: int) -> list[list[str]]:
    ours_samples, *peer_samples = measure(case, repeat)
    ours = statistics.median(ours_samples)
    if not case.peers:
        met = ours <= case.limit
        return [[name, "-", fmt(ours, case.unit), "-", "-", "-", case.target,
                 "yes" if met else "NO", case.note]]
    rows = []
    for peer, samples in zip(case.peers, peer_samples):
        ratio = ours / statistics.median(samples)
        # The spread: the lowest and highest ratio of one round's samples (others share the
        # machine, so single rounds vary).
        rounds = [o / p for o, p in zip(ours_samples, samples)]
        rows.append([name, peer.label, fmt(ours, case.unit),
                     fmt(statistics.median(samples), case.unit), f"{ratio:.3f}",
                     f"{min(rounds):.2f}-{max(rounds):.2f}", peer.target,
                     "yes" if ratio <= peer.max_ratio else "NO", case.note])
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="+", choices=list(CASES), metavar="NAME",
                        help="run only these cases: " + ", ".join(CASES))
    parser.add_argument("--repeat", type=int, default=5, metavar="N",
                        help="measured rounds per case")
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS, metavar="PATH",
                        help="the prepared Linux tree (made there when missing)")
    args = parser.parse_args()
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    corpus = args.corpus.resolve()
    if args.only and NO_CORPUS.issuperset(args.only):
        print(f"cores: {os.cpu_count()}   rounds: {args.repeat}")
    else:
        prepare_corpus(corpus)
        files = subprocess.run(["git", "ls-files", "-z"], cwd=corpus, check=True,
                               capture_output=True).stdout.count(b"\0")
        print(f"cores: {os.cpu_count()}   corpus: {corpus} ({files} files)   "
              f"rounds: {args.repeat}")

    table = [["case", "peer", "ours", "peer time", "ours/peer", "spread", "target", "met",
              "note"]]
    for name in args.only or CASES:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        try:
            table += rows_of(name, CASES[name](corpus), args.repeat)
        except NotBuilt as e:
            table.append([name, "-", "not built", "-", "-", "-", "-", "-", str(e)])
        except subprocess.TimeoutExpired:
            table.append([name, "-", "error", "-", "-", "-", "-", "-",
                          f"no answer within {TIMEOUT} s"])
        except Exception as e:  # a broken operation fails its row, not the run
            table.append([name, "-", "error", "-", "-", "-", "-", "-",
                          f"{type(e).__name__}: {e}"])
    width = [max(len(row[i]) for row in table) for i in range(len(table[0]))]
    for row in table:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, width)).rstrip())


if __name__ == "__main__":
    main()
