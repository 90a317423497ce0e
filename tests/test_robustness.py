"""What a hostile but fair caller must not be able to do to the process: hang or exhaust it on
special files, have a committed write reported as failed, abort it at interpreter exit, under a
thread limit or with a strange RAYON_NUM_THREADS."""

import collections
import errno
import json
import os
import platform
import re
import shutil
import socket
import stat
import tempfile

import pytest

from conftest import make_tree, run_python, without_leak_check

def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


OPEN_READY = """
    import json, time, tolvane
    fs = tolvane.FileSystem({root!r}, auto_watch=False)
    while not fs.is_ready():
        time.sleep(0.001)
"""


def traced(script, log, *options, args=(), **run_options):
    """Runs `script` (with `args`) under strace; skips where there is none or ptrace is refused."""
    if shutil.which("strace") is None:
        pytest.skip("strace is not installed")
    run = run_python(script, *args, prefix=["strace", "-f", "-qq", "-o", str(log), *options],
                     env=without_leak_check(), **run_options)
    if run.returncode != 0 and "ptrace" in run.stderr:
        pytest.skip("ptrace is not permitted here")
    assert run.returncode == 0, run.stderr
    return run.stdout, log.read_text()


def test_special_files_are_never_opened(tmp_path):
    root = tmp_path / "tree"
    root.mkdir()
    (root / "reg.txt").write_bytes(b"x\0")
    (root / "empty").touch()
    os.mkfifo(root / "fifo.txt")
    for name, target in (("zero", "/dev/zero"), (".ignore", "/dev/zero"), ("link", "reg.txt")):
        os.symlink(target, root / name)
    script = OPEN_READY.format(root=str(root)) + """
    refused = []
    for name in ("fifo.txt", "zero"):
        for read in (fs.read_file, fs.read_lines, lambda p: fs.read_file_range(p, 0, 9)):
            try:
                read(name)
            except OSError as error:
                refused.append(str(error))
    batch = fs.read_batch([name for name in fs.list() if name != "empty"] * 10)
    binary = [fs.get_metadata(name).is_binary for name in ("reg.txt", "link", "empty")]
    print(json.dumps([sorted(batch), binary, refused]))
    """
    out, trace = traced(script, tmp_path / "trace", "-e", "trace=open,openat", timeout=60)
    assert json.loads(out) == [[f"{root}/link", f"{root}/reg.txt"], [True, True, False],
                               ["not a regular file"] * 6]
    def named(lines):  # the last components of the paths opened in `lines`
        return set(re.findall(r'open(?:at)?\(.*?"(?:[^"]*/)?([^"/]*)"', "\n".join(lines)))

    calls = trace.splitlines()
    assert {"reg.txt", "link"} <= named(calls) and "empty" not in named(calls)
    # An O_PATH descriptor only locates a file: its type is read from it, nothing is opened.
    assert not {"fifo.txt", "zero", ".ignore"} & named(c for c in calls if "O_PATH" not in c)


def test_writes_never_open_special_files(tmp_path):
    # Opened, the FIFO would wait for a reader for ever; the alarm ends a child that does.
    root = tmp_path / "tree"
    root.mkdir()
    os.mkfifo(root / "fifo")
    os.mkfifo(root / "replaced")
    os.symlink("/dev/null", root / "null")
    script = f"""
        import json, signal, tolvane
        signal.alarm(30)
        fs = tolvane.FileSystem({str(root)!r}, auto_watch=False)
        outcomes = []
        for write, name in ((fs.write_file_fast, "fifo"), (fs.write_file_fast, "null"),
                            (fs.write_file, "replaced"), (fs.write_file_fast, "new")):
            try:
                outcomes.append(write(name, "data"))
            except OSError as error:
                outcomes.append(str(error))
        print(json.dumps(outcomes))
    """
    out, trace = traced(script, tmp_path / "trace", "-e", "trace=open,openat", timeout=120)
    assert json.loads(out) == ["not a regular file"] * 2 + [True, True]
    assert [(root / name).read_text() for name in ("replaced", "new")] == ["data", "data"]
    assert stat.S_ISFIFO(os.lstat(root / "fifo").st_mode)
    special = re.compile(r"open(?:at)?\(.*\"(?:/dev/null|{0}/fifo|{0}/null|{0}/replaced)\"".format(
        re.escape(str(root))))
    assert [c for c in trace.splitlines() if special.search(c) and "O_PATH" not in c] == []


# A file swapped for a link to a device while its type is being learnt: strace holds each stat
# of the name (or of a descriptor of it) for a second, and the swap lands inside that second.
SWAPPED = OPEN_READY + """
    import os, sys, threading
    made = []
    calls = {{"read": lambda: fs.read_file("f"), "grep": lambda: fs.grep("x"),
              "build": lambda: made.append(tolvane.FileSystem({root!r}, auto_watch=False))}}
    worker = threading.Thread(target=calls[sys.argv[1]])
    worker.start()
    time.sleep(0.4)
    os.rename({root!r} + "/link", {root!r} + "/f")
    worker.join()
    while not all(other.is_ready() for other in made):
        time.sleep(0.01)
"""


@pytest.mark.parametrize("call", ["read", "grep", "build"])
def test_a_name_swapped_for_a_device_is_not_opened(tmp_path, call):
    root = tmp_path / "tree"
    root.mkdir()
    (root / "f").write_text("x\n")
    os.symlink("/dev/null", root / "link")
    _, trace = traced(SWAPPED.format(root=str(root)), tmp_path / "trace", "-y", "-P",
                      str(root / "f"), "-P", "f", "-e",
                      "inject=newfstatat,statx,fstat:delay_exit=1000000", args=[call])
    opened = [c for c in trace.splitlines() if re.search(r"open(at)?\(.*\) = \d+</dev/null>", c)]
    assert [c for c in opened if "O_PATH" not in c] == []


# strace forges the first status read of the name "x": missing (a link to a device, which the
# exclusive create then finds there), or a regular file's type over a FIFO's or a socket's (x86-64's
# struct stat: dev, ino, nlink, mode), as if each had been put there after the check.
FORGED = {"missing": "error=ENOENT",
          "regular": "poke_exit=@arg3=" + "00" * 16 + "01" + "00" * 7 + "a4810000"}


@pytest.mark.skipif(platform.machine() != "x86_64", reason="the forged status is x86-64's")
@pytest.mark.parametrize("special, forged, call", [
    ("device", "missing", "write_file_fast"), ("fifo", "regular", "write_file_fast"),
    ("fifo", "regular", "read_file"), ("socket", "regular", "write_file_fast"),
    ("socket", "regular", "read_file_range")])
def test_a_special_file_after_the_check_is_refused(tmp_path, monkeypatch, special, forged, call):
    monkeypatch.chdir(tmp_path)  # a socket's path must be short
    {"device": lambda: os.symlink("/dev/null", "x"), "fifo": lambda: os.mkfifo("x"),
     "socket": lambda: socket.socket(socket.AF_UNIX).bind("x")}[special]()
    kind = stat.S_IFMT(os.lstat("x").st_mode)
    script = f"""
        import sys, tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        calls = {{"write_file_fast": lambda: fs.write_file_fast("x", "data"),
                  "read_file": lambda: fs.read_file("x"),
                  "read_file_range": lambda: fs.read_file_range("x", 0, 9)}}
        try:
            print(calls[sys.argv[1]]())
        except OSError as error:
            print(repr(error))
    """
    (tmp_path / "stdin").touch()  # strace follows "x" to /dev/null: a stdin there would match
    with open(tmp_path / "stdin") as stdin:
        out, trace = traced(script, tmp_path / "trace", "-P", str(tmp_path / "x"), "-e",
                            "trace=newfstatat,openat", "-e", f"inject=newfstatat:{FORGED[forged]}"
                            ":when=1", args=[call], stdin=stdin)
    assert "INJECTED" in trace and out == "OSError('not a regular file')\n"
    assert [c for c in trace.splitlines() if "O_TRUNC" in c and not c.endswith(")")] == []
    assert stat.S_IFMT(os.lstat("x").st_mode) == kind


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ,
                    reason="the sanitizer's runtime needs /proc")
def test_without_proc_links_are_refused_not_lost(tmp_path):
    # A link's target is opened through /proc/self/fd: without /proc (a mount namespace of its own
    # where it is unmounted) reading or writing through a link fails, saying why, where a missing
    # name would be "Path not found"; plain files and a new file need no /proc.
    if shutil.which("unshare") is None or os.geteuid() != 0:
        pytest.skip("needs unshare and root")
    (tmp_path / "f").write_text("kept")
    os.symlink("f", tmp_path / "link")
    script = f"""
        import json, tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        outcomes = []
        for call in (lambda: fs.read_file("f"), lambda: fs.read_file("link"),
                     lambda: fs.read_batch(["link"]), lambda: fs.write_file_fast("link", "new"),
                     lambda: fs.write_file_fast("g", "new")):
            try:
                outcomes.append(call())
            except (OSError, ValueError) as error:
                outcomes.append(repr(error))
        print(json.dumps(outcomes))
    """
    run = run_python(script, prefix=["unshare", "-m", "sh", "-c", 'umount -l /proc && exec "$@"',
                                     "sh"])
    if run.returncode != 0 and "umount" in run.stderr:
        pytest.skip("/proc can't be unmounted here")
    assert run.returncode == 0, run.stderr
    refused = "OSError('cannot reopen through /proc/self/fd: " + os_error(errno.ENOENT) + "')"
    assert json.loads(run.stdout) == ["kept", refused, {}, refused, True]
    assert [(tmp_path / name).read_text() for name in ("f", "g")] == ["kept", "new"]


def test_a_committed_write_is_not_failed_by_later_steps(tmp_path):
    # Every second fsync (the directory's, after the rename) and every fchmod are refused.
    (tmp_path / "f").write_text("a")
    script = f"""
        import tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        print(fs.write_file("f", "b"), fs.edit_replace("f", "b", "c"), open("{tmp_path}/f").read())
    """
    out, trace = traced(script, tmp_path / "trace", "-e", "trace=fsync,fchmod",
                        "-e", "inject=fsync:error=EINVAL:when=2+2", "-e", "inject=fchmod:error=EPERM")
    assert (out, trace.count("(INJECTED)")) == ("True True c\n", 4)


def test_daemon_threads_inside_calls_at_exit(tmp_path):
    (tmp_path / "f").write_text("line\n" * 2000)
    script = f"""
        import threading, time, tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        calls = [lambda: fs.read_file("f"), lambda: fs.read_lines("f"),
                 lambda: fs.read_batch(["f"] * 40), lambda: fs.write_file("w", "x" * 9999)]
        for call in calls * 3:
            threading.Thread(target=lambda c=call: [c() for _ in iter(int, 1)], daemon=True).start()
        time.sleep(0.2)
    """
    for _ in range(5):
        run = run_python(script)
        assert (run.returncode, run.stderr) == (0, "")


@pytest.mark.parametrize("nproc, width", [(4, None), (None, str(-2**62)), (None, str(2**62))])
def test_pool_under_thread_limits_and_strange_widths(nproc, width):
    if nproc and os.geteuid() != 0:
        pytest.skip("the limit is set for nobody, which needs root")
    root = tempfile.mkdtemp(prefix="tolvane-pool-")  # readable by nobody, unlike tmp_path
    os.chmod(root, 0o755)
    for i in range(600):
        open(os.path.join(root, f"f{i}"), "w").close()
    # The limit binds once the process is nobody's, after the imports.
    drop = ("    import os, resource\n    os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
            f"    resource.setrlimit(resource.RLIMIT_NPROC, ({nproc}, {nproc}))\n")
    script = OPEN_READY.format(root=root) + (drop if nproc else "") + """
    print(len(fs.list()), len(fs.read_batch(fs.list()[:30])))
    """
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    env.update({"RAYON_NUM_THREADS": width} if width else {})
    try:
        run = run_python(script, env=without_leak_check(env) if nproc else env, cwd="/")
    finally:
        shutil.rmtree(root)
    assert (run.returncode, run.stdout, run.stderr) == (0, "600 30\n", "")


def test_the_walk_road_opens_by_the_listing_type(tmp_path):
    # grep on an object whose index isn't ready walks the tree itself and opens each file by the
    # type its listing gave: the only status read of a file by name is the index build's.
    root = tmp_path / "tree"
    make_tree(root, {f"d/f{i}": "" for i in range(300)})
    script = f"""
    import time, tolvane
    fs = tolvane.FileSystem({str(root)!r}, auto_watch=False)
    fs.grep("x")
    while not fs.is_ready():
        time.sleep(0.001)
    """
    _, trace = traced(script, tmp_path / "log", "-e", "trace=newfstatat,openat")
    walked = set(re.findall(r'openat\(\d+, "(f\d+)"', trace))
    if not walked:
        pytest.skip("the index was ready first: grep took the index's road")
    stats = collections.Counter(re.findall(r'newfstatat\(\d+, "(f\d+)"', trace))
    assert max(stats[name] for name in walked) == 1
