"""Reads, writes and replacement through tolvane.FileSystem: the line rule on both roads of
read_lines, decoder and error texts, read_batch, occurrence counts, permission cases (non-root
child), the mended behaviours and crash consistency of write_file."""

import collections.abc
import errno
import json
import os
import pathlib
import pwd
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

import pytest

import tolvane
from conftest import wait_until, without_leak_check

PERSIST = "Failed to persist file: failed to persist temporary file: "
NUL_IN_NAME = "file name contained an unexpected NUL byte"
TEMP_NAME = r"\.tmp[A-Za-z0-9]{6}"


def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


def temp_error(text, directory):
    """The pattern of `text` followed by the quoted path of a temporary file in `directory`."""
    return re.escape(f'{text} at path "{directory}/') + TEMP_NAME + '"'


def entries(directory):
    return sorted(os.listdir(directory))


def fork():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        return os.fork()


@pytest.fixture
def fs(tmp_path):
    with tolvane.FileSystem(str(tmp_path), auto_watch=False) as opened:
        wait_until(opened.is_ready)
        yield opened


# ---- read_lines: undecodable lines and the selection ----

@pytest.mark.parametrize("start, count, lines", [
    (0, None, ["a", "c"]), (1, None, ["c"]), (2, None, ["c"]), (3, None, []), (0, 1, ["a"]),
    (0, 0, []), (2**64 - 1, None, []), (0, 2**64 - 1, ["a", "c"]),
])
def test_buffered_road_drops_undecodable_lines(fs, tmp_path, start, count, lines):
    (tmp_path / "f").write_bytes(b"a\n\xff\xfe\nc\n")
    assert fs.read_lines("f", start, count) == lines


READERS = [("read_file", ()), ("read_lines", ()), ("read_file_range", (0, 1)),
           ("edit_replace", ("a", "b"))]


@pytest.mark.parametrize("method, args", READERS + [("read_lines", (0, 0))])
def test_missing_file_names_resolved_path(fs, tmp_path, method, args):
    with pytest.raises(ValueError) as raised:
        getattr(fs, method)("missing/x", *args)
    assert str(raised.value) == f"Path not found: {tmp_path}/missing/x"


@pytest.mark.parametrize("method, args", READERS)
def test_directory_fails_at_the_read(fs, tmp_path, method, args):
    (tmp_path / "d").mkdir()
    with pytest.raises(OSError) as raised:
        getattr(fs, method)("d", *args)
    assert str(raised.value) == os_error(errno.EISDIR)
    assert entries(tmp_path / "d") == []


# ---- read_file and read_file_range ----

@pytest.mark.parametrize("content", [b"", b"a\r\nb\r\n", "\ufeffbom".encode()],
                         ids=["empty", "crlf", "bom"])
def test_read_file_returns_content_unchanged(fs, tmp_path, content):
    (tmp_path / "f").write_bytes(content)
    assert fs.read_file("f") == content.decode()
    assert fs.read_file(str(tmp_path / "f"), "latin-1") == content.decode()


def test_read_file_refuses_invalid_utf8_whatever_the_encoding(fs, tmp_path):
    (tmp_path / "f").write_bytes(b"caf\xe9")
    for encoding in ("utf-8", "latin-1"):
        with pytest.raises(OSError) as raised:
            fs.read_file("f", encoding)
        assert str(raised.value) == "stream did not contain valid UTF-8"


@pytest.mark.parametrize("method, args", [
    ("read_file_range", ("f", -1, 1)), ("read_file_range", ("f", 0, 2**64)),
    ("read_lines", ("f", -1)), ("read_lines", ("f", 0, -1)),
])
def test_out_of_range_integers_overflow_before_the_open(fs, method, args):
    with pytest.raises(OverflowError):
        getattr(fs, method)(*args)


# ---- read_batch ----

def test_read_batch_sequential_and_parallel_roads_agree(fs, tmp_path):
    for i in range(26):
        (tmp_path / f"f{i:02}.txt").write_text(f"content {i}")
    (tmp_path / "invalid").write_bytes(b"\xff")
    (tmp_path / "d").mkdir()
    paths = [f"f{i:02}.txt" for i in range(26)] + ["missing", "d", "invalid"]
    assert len(paths) == 29
    sequential = fs.read_batch(paths)
    assert sequential == fs.read_batch(paths + [str(tmp_path / "f00.txt")])
    assert sequential == {f"{tmp_path}/f{i:02}.txt": f"content {i}" for i in range(26)}
    assert fs.read_batch([]) == {}
    assert fs.read_batch(["missing", "d", "invalid", "a\0b"]) == {}
    # a tuple is a sequence too; keys are the resolved paths, not the files
    result = fs.read_batch(("f01.txt", str(tmp_path / "f01.txt"), "./f01.txt", "f01.txt"))
    assert result == {f"{tmp_path}/f01.txt": "content 1", f"{tmp_path}/./f01.txt": "content 1"}


@pytest.mark.parametrize("paths, message", [
    ("f01.txt", "argument 'paths': Can't extract `str` to `Vec`"),
    ({"f01.txt"}, "argument 'paths': 'set' object cannot be converted to 'Sequence'"),
    (["f01.txt", 3], "argument 'paths': 'int' object cannot be converted to 'PyString'"),
])
def test_read_batch_argument_errors(fs, paths, message):
    with pytest.raises(TypeError) as raised:
        fs.read_batch(paths)
    assert str(raised.value) == message


# ---- write errors ----

@pytest.mark.parametrize("method", ["write_file", "write_file_fast"])
def test_missing_parents_are_created(fs, tmp_path, method):
    assert getattr(fs, method)("a/b/c.txt", "deep") is True
    assert (tmp_path / "a/b/c.txt").read_text() == "deep"
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(tmp_path / "a/b").st_mode) == 0o777 & ~umask


@pytest.mark.parametrize("method, path, error, text", [
    ("write_file", "f/x", OSError, os_error(errno.ENOTDIR)),  # names the temporary file in f
    ("write_file_fast", "f/x", OSError, os_error(errno.ENOTDIR)),
    ("write_file", "d", OSError, PERSIST + os_error(errno.EISDIR)),
    ("write_file_fast", "d", OSError, os_error(errno.EISDIR)),
    ("write_file", "a\0b", OSError, PERSIST + os_error(errno.EINVAL)),
    ("write_file_fast", "a\0b", OSError, NUL_IN_NAME),
    ("write_file", "a\0b/c", OSError, NUL_IN_NAME),
    ("write_file_fast", "a\0b/c", OSError, NUL_IN_NAME),
    ("write_file_fast", "dangling", ValueError, "Path not found: {root}/dangling"),
])
def test_write_errors_change_nothing(fs, tmp_path, method, path, error, text):
    (tmp_path / "f").write_text("kept")
    (tmp_path / "d").mkdir()
    (tmp_path / "d/inside").write_text("kept")
    os.symlink("missing/dest", tmp_path / "dangling")
    with pytest.raises(error) as raised:
        getattr(fs, method)(path, "content")
    if (method, path) == ("write_file", "f/x"):
        assert re.fullmatch(temp_error(text, tmp_path / "f"), str(raised.value))
    else:
        assert str(raised.value) == text.format(root=tmp_path)
    assert entries(tmp_path) == ["d", "dangling", "f"]
    assert entries(tmp_path / "d") == ["inside"]
    assert (tmp_path / "f").read_text() == "kept"


# ---- links at the target of the direct write ----

def test_write_file_fast_writes_in_place_through_links(fs, tmp_path):
    (tmp_path / "dest").write_text("a longer old content")
    os.chmod(tmp_path / "dest", 0o604)
    os.symlink("dest", tmp_path / "link")
    os.link(tmp_path / "dest", tmp_path / "hard")
    inode = os.stat(tmp_path / "dest").st_ino
    assert fs.write_file_fast("link", "new") is True
    assert os.path.islink(tmp_path / "link")
    assert (tmp_path / "hard").read_text() == "new"
    assert fs.write_file_fast("dest", "") is True
    assert (tmp_path / "hard").read_text() == ""
    assert os.stat(tmp_path / "dest").st_ino == inode
    assert stat.S_IMODE(os.stat(tmp_path / "dest").st_mode) == 0o604


# Dangling links (name, target; "{root}" for the tree's root), written through the first by
# write_file_fast and, in a copy of the tree, by CPython's open(path, "w"): same files, same refusal.
DANGLING = {"relative": [("link", "dest")], "absolute": [("link", "{root}/dest")],
            "from its directory": [("d/link", "../e/dest")],
            "chain": [("link", "next"), ("next", "d/dest")],
            "self-loop": [("link", "link")], "loop": [("link", "next"), ("next", "link")]}


@pytest.mark.parametrize("links", DANGLING.values(), ids=DANGLING.keys())
def test_write_file_fast_through_dangling_links(fs, tmp_path, links):
    def by_open(path):
        with open(path, "w") as f:
            return f.write("data") == 4

    def written(root, write):
        (root / "d").mkdir(parents=True)
        (root / "e").mkdir()
        for name, target in links:
            os.symlink(target.format(root=root), root / name)
        try:
            outcome = write(str(root / links[0][0]))
        except OSError as error:
            outcome = os_error(error.errno) if error.errno else str(error)
        return outcome, sorted((str(p.relative_to(root)), os.readlink(p).replace(str(root), "")
                                if p.is_symlink() else p.is_file() and p.read_text())
                               for p in root.rglob("*"))

    assert written(tmp_path / "fast", lambda path: fs.write_file_fast(path, "data")) == \
        written(tmp_path / "open", by_open)


# ---- edit_replace: the occurrence counts ----

@pytest.mark.parametrize("content, old, new, strict, outcome, after", [
    ("aaa", "aa", "b", True, True, "ba"),
    ("", "", "x", True, True, "x"),
    ("ab", "", "x", True, "Text not unique: found 3 occurrences", "ab"),
    ("ab", "", "x", False, True, "xaxbx"),
    ("\u00e9", "", "x", True, "Text not unique: found 2 occurrences", "\u00e9"),
    ("one two one", "one", "1", True, "Text not unique: found 2 occurrences", "one two one"),
    ("one two one", "one", "1", False, True, "1 two 1"),
    ("abc", "zz", "y", True, "Text not found in file", "abc"),
    ("abc", "zz", "y", False, False, "abc"),
    ("aXa", "a", "aa", False, True, "aaXaa"),
    ("\u00e9 e", "e", "E", True, True, "\u00e9 E"),
    ("same", "same", "same", True, True, "same"),  # rewritten all the same
])
def test_edit_replace_counts(fs, tmp_path, content, old, new, strict, outcome, after):
    (tmp_path / "f").write_text(content)
    before = os.stat(tmp_path / "f")
    if isinstance(outcome, bool):
        assert fs.edit_replace("f", old, new, strict) is outcome
    else:
        with pytest.raises(ValueError) as raised:
            fs.edit_replace("f", old, new, strict)
        assert str(raised.value) == outcome
    assert (tmp_path / "f").read_text() == after
    assert entries(tmp_path) == ["f"]
    now = os.stat(tmp_path / "f")
    rewritten = now.st_ino != before.st_ino  # the atomic write renames a new file over it
    assert rewritten == (outcome is True)
    if not rewritten:
        assert now.st_mtime_ns == before.st_mtime_ns


def test_edit_replace_refuses_invalid_utf8_before_counting(fs, tmp_path):
    (tmp_path / "f").write_bytes(b"\xff")
    for strict in (True, False):
        with pytest.raises(OSError) as raised:
            fs.edit_replace("f", "zz", "y", strict)
        assert str(raised.value) == "stream did not contain valid UTF-8"


# ---- permission cases, in a child running as nobody ----

NOBODY = pwd.getpwnam("nobody")


def as_nobody(*actions):
    """Runs the actions in one forked child with nobody's ids; returns [outcome, text] of each."""
    read_end, write_end = os.pipe()
    pid = fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(NOBODY.pw_gid)
            os.setuid(NOBODY.pw_uid)
            results = []
            for action in actions:
                try:
                    results.append(["ok", action()])
                except Exception as error:  # noqa: BLE001 - handed to the parent
                    results.append([type(error).__name__, str(error)])
            os.write(write_end, json.dumps(results).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    os.waitpid(pid, 0)
    return json.loads(data)


@pytest.fixture
def shared_dir():
    """A root-owned directory that nobody can search but not write (mode 0755)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="tolvane-io-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


@pytest.fixture
def shared_fs(shared_dir):
    with tolvane.FileSystem(str(shared_dir), auto_watch=False) as opened:
        wait_until(opened.is_ready)
        yield opened


def test_permission_denied(shared_fs, shared_dir):
    (shared_dir / "secret").write_text("s")
    (shared_dir / "secret").chmod(0o600)
    (shared_dir / "public").write_text("p")
    fs = shared_fs
    # Fewer than 30 paths: the batch stays on the calling thread of the child.
    results = as_nobody(
        lambda: fs.read_file("secret"), lambda: fs.read_lines("secret"),
        lambda: fs.read_file_range("secret", 0, 1), lambda: fs.read_batch(["secret", "public"]),
        lambda: fs.write_file_fast("new", "x"), lambda: fs.write_file_fast("sub/new", "x"),
        lambda: fs.write_file("new", "x"), lambda: fs.edit_replace("public", "p", "P"))
    denied = ["OSError", os_error(errno.EACCES)]
    assert results[:6] == [denied] * 3 + [["ok", {f"{shared_dir}/public": "p"}]] + [denied] * 2
    for outcome, text in results[6:]:  # the temporary file can't be made next to the target
        assert outcome == "OSError"
        assert re.fullmatch(temp_error(os_error(errno.EACCES), shared_dir), text)
    assert entries(shared_dir) == ["public", "secret"]
    assert (shared_dir / "public").read_text() == "p"


# ---- mended behaviours ----

@pytest.mark.parametrize("target, made", [("t", []), ("n1/n2/t", ["n1", "n1/n2"])])
def test_write_file_flushes_file_then_directories(tmp_path, target, made):
    # strace shows the calls: fsync of the temporary file, rename, then fsync of the target's
    # directory and of the parent of each directory made for it, whose entry that parent holds.
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    root = tmp_path / "root"
    root.mkdir()
    script = f"import tolvane; tolvane.FileSystem({str(root)!r}, False).write_file({target!r}, 'x')"
    # -ff: one log per thread, so the calls of the writing thread are not interleaved; -y: the
    # path of each descriptor.
    run = subprocess.run(["strace", "-ff", "-qq", "-y", "-o", str(tmp_path / "trace"), "-e",
                          "trace=fsync,fdatasync,rename,renameat,renameat2",
                          sys.executable, "-c", script], capture_output=True, text=True,
                         env=without_leak_check())
    if run.returncode != 0 and "ptrace" in run.stderr:
        pytest.skip("ptrace is not permitted here")
    assert run.returncode == 0, run.stderr
    logs = [p.read_text().splitlines() for p in tmp_path.glob("trace.*")]
    calls = next(log for log in logs if any("rename" in c for c in log))
    temp_pattern = re.escape(str(root / target).rsplit("/", 1)[0] + "/") + TEMP_NAME
    rename = next(i for i, c in enumerate(calls)
                  if re.search(r"rename\w*\(.*" + temp_pattern + r".* = 0$", c))
    assert any(re.fullmatch(r"fsync\(\d+<" + temp_pattern + r">\) = 0", c)
               for c in calls[:rename])
    flushed = re.findall(r"fsync\(\d+<(.*)>\) = 0", "\n".join(calls[rename:]))
    parents = {os.path.dirname(root / name) for name in [target] + made}
    assert set(flushed) == parents
    assert (root / target).read_text() == "x"


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="AddressSanitizer reserves more address space than the limit leaves")
def test_reads_of_a_directory_allocate_nothing(tmp_path):
    # Under an address-space limit 1 GiB above what the process maps, a buffer sized by the
    # limit of a read (2 GiB) can't be had: only the directory's own error may come back.
    (tmp_path / "d").mkdir()
    script = f"""
        import os, resource, tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        mapped = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**30, hard))
        for read in (fs.read_file, fs.read_lines, lambda p: fs.read_file_range(p, 0, 2**40),
                     lambda p: fs.read_file_range(p, 2**31, 2**31 - 1)):
            try:
                read("d")
            except OSError as error:
                print(error)
    """
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                         text=True, timeout=120)
    assert (run.returncode, run.stdout.splitlines()) == (0, [os_error(errno.EISDIR)] * 4)


def test_read_lines_survives_a_shortened_file(tmp_path):
    # A writer thread keeps cutting the file short and restoring it while read_lines streams it;
    # through a mapping the reader would fault (SIGBUS). The file always holds a prefix of the
    # text, so the lines joined again are a prefix of it, but for NUL bytes where a read raced
    # the kernel's zeroing of a truncated page.
    script = textwrap.dedent(f"""
        import os, re, sys, threading, tolvane
        path = {str(tmp_path / "f")!r}
        data = "".join("line %06d %s\\n" % (i, "x" * 89) for i in range(30000)).encode()
        with open(path, "wb") as f:
            f.write(data)
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        done = threading.Event()
        def writer():
            fd = os.open(path, os.O_WRONLY)
            cut = 0
            while not done.is_set():
                cut = (cut + 700001) % len(data)
                os.ftruncate(fd, cut)
                os.pwrite(fd, data[cut:], cut)
        threading.Thread(target=writer, daemon=True).start()
        wrong = short = 0
        for _ in range(300):
            text = "\\n".join(fs.read_lines("f")).encode()
            runs = re.finditer(rb"[^\\0]+", text)
            wrong += any(data[m.start():m.end()] != m.group() for m in runs)
            short += len(text) + 1 < len(data)
        done.set()
        print("short reads:", short)
        sys.exit(1 if wrong else 0)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, (run.returncode, run.stdout, run.stderr)
    print(run.stdout.strip())


@pytest.mark.parametrize("path", ["/proc/version", "/proc/self/mountinfo"])
def test_read_file_range_of_files_whose_size_reads_as_zero(fs, path):
    whole = open(path).read()
    assert [fs.read_file_range(path, 0, 2**40), fs.read_file_range(path, 5, 7)] == \
        [whole, whole[5:12]]


@pytest.mark.parametrize("name", ["empty", "/proc/version", "full"])
@pytest.mark.parametrize("offset, limit", [
    (2**63 - 1, 1), (2**63 - 1, 2**64 - 1), (2**63 - 2, 2**40), (2**63 - 4096, 4096),
    (2**63 - 4097, 4096), (2**63, 1)])
def test_read_file_range_near_the_largest_offset(fs, tmp_path, name, offset, limit):
    # The model: pread of the span that ends at 2**63 - 1 at most; past it the system refuses.
    (tmp_path / "empty").touch()
    (tmp_path / "full").write_text("text")
    path = os.path.join(tmp_path, name)
    if offset < 2**63:
        with open(path, "rb") as f:
            expected = os.pread(f.fileno(), min(limit, 2**63 - 1 - offset), offset).decode()
    else:
        expected = os_error(errno.EINVAL)
    try:
        got = fs.read_file_range(path, offset, limit)
    except OSError as error:
        got = str(error)
    assert got == expected


def test_read_batch_takes_a_sequence_length_as_a_hint(fs, tmp_path):
    (tmp_path / "a").write_text("A")

    class Liar(collections.abc.Sequence):
        def __len__(self):
            return 10**18

        def __getitem__(self, i):
            return ["a", "a"][i]

    assert fs.read_batch(Liar()) == {f"{tmp_path}/a": "A"}


# ---- crash consistency of write_file ----

def test_write_file_survives_sigkill(tmp_path):
    """A child loops write_file on one target with two alternating contents and is killed at
    random moments; the target always holds one complete content and keeps its mode."""
    target = tmp_path / "target"
    contents = ("A" * 2_000_000, "B" * 2_000_000)
    target.write_text(contents[0])
    target.chmod(0o640)
    rng = random.Random(20240611)
    leftovers = 0
    with tolvane.FileSystem(str(tmp_path), auto_watch=False) as fs:
        wait_until(fs.is_ready)
        for _ in range(300):
            read_end, write_end = os.pipe()
            pid = fork()
            if pid == 0:
                try:
                    fs.write_file("target", contents[1])
                    os.write(write_end, b"!")
                    for i in range(10**9):
                        fs.write_file("target", contents[i % 2])
                finally:
                    os._exit(0)
            os.close(write_end)
            assert os.read(read_end, 1) == b"!"  # writing has begun
            os.close(read_end)
            time.sleep(rng.uniform(0, 0.03))  # the kill moment, not a synchronisation
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            assert target.read_text() in contents
            assert stat.S_IMODE(target.stat().st_mode) == 0o640
            for name in set(os.listdir(tmp_path)) - {"target"}:
                assert re.fullmatch(TEMP_NAME, name), name
                leftovers += 1
                os.remove(tmp_path / name)
    print(f"leftover temporary files after 300 kills: {leftovers}")
