"""What a hostile but fair caller must not be able to do to the process: hang or exhaust it on
special files, have a committed write reported as failed, abort it at interpreter exit, under a
thread limit or with a strange RAYON_NUM_THREADS."""

import json
import os
import re
import shutil
import tempfile

import pytest

from conftest import run_python

OPEN_READY = """
    import json, time, tolvane
    fs = tolvane.FileSystem({root!r}, auto_watch=False)
    while not fs.is_ready():
        time.sleep(0.001)
"""


def strace(log, *options):
    """A prefix that runs the child under strace, or nothing where there is no strace."""
    path = shutil.which("strace")
    return [path, "-f", "-qq", "-o", str(log), *options] if path else []


def traced(script, prefix, **options):
    run = run_python(script, prefix=prefix, **options)
    if prefix and run.returncode != 0 and "ptrace" in run.stderr:
        pytest.skip("ptrace is not permitted here")
    assert run.returncode == 0, run.stderr
    return run


def test_special_files_are_never_opened(tmp_path):
    root = tmp_path / "tree"
    root.mkdir()
    (root / "reg.txt").write_bytes(b"x\0")
    (root / "empty").touch()
    os.mkfifo(root / "fifo.txt")
    os.symlink("/dev/zero", root / "zero")
    os.symlink("/dev/zero", root / ".ignore")
    os.symlink("reg.txt", root / "link")
    script = OPEN_READY.format(root=str(root)) + """
    refused = []
    for name in ("fifo.txt", "zero"):
        for read in (fs.read_file, fs.read_lines, lambda p: fs.read_file_range(p, 0, 9)):
            try:
                read(name)
            except OSError as error:
                refused.append(str(error))
    binary = [fs.get_metadata(name).is_binary for name in ("reg.txt", "link", "empty")]
    batch = fs.read_batch([name for name in fs.list() if name != "empty"] * 10)
    print(json.dumps([sorted(batch), binary, refused]))
    """
    log = tmp_path / "trace"
    prefix = strace(log, "-e", "trace=open,openat")
    run = traced(script, prefix, timeout=60)
    assert json.loads(run.stdout) == [[f"{root}/link", f"{root}/reg.txt"], [True, True, False],
                                      ["not a regular file"] * 6]
    if prefix:
        opened = re.findall(r'open(?:at)?\(.*?"(?:[^"]*/)?([^"/]*)"', log.read_text())
        assert "reg.txt" in opened and "link" in opened
        assert not {"empty", "fifo.txt", "zero", ".ignore"} & set(opened)


def test_a_committed_write_is_not_failed_by_later_steps(tmp_path):
    # Every second fsync (the directory's, after the rename) and every fchmod are refused.
    log = tmp_path / "trace"
    prefix = strace(log, "-e", "trace=fsync,fchmod", "-e", "inject=fsync:error=EINVAL:when=2+2",
                    "-e", "inject=fchmod:error=EPERM")
    if not prefix:
        pytest.skip("strace is not installed")
    (tmp_path / "f").write_text("a")
    script = f"""
        import tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        print(fs.write_file("f", "b"), fs.edit_replace("f", "b", "c"), open("{tmp_path}/f").read())
    """
    assert traced(script, prefix).stdout == "True True c\n"
    assert log.read_text().count("(INJECTED)") == 4


def test_daemon_threads_inside_calls_at_exit(tmp_path):
    (tmp_path / "f").write_text("line\n" * 2000)
    script = f"""
        import threading, time, tolvane
        fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)
        calls = [lambda: fs.read_file("f"), lambda: fs.read_lines("f"),
                 lambda: fs.read_batch(["f"] * 40), lambda: fs.write_file("w", "x" * 9999)]
        def loop(call):
            while True:
                call()
        for call in calls * 3:
            threading.Thread(target=loop, args=(call,), daemon=True).start()
        time.sleep(0.2)
    """
    for _ in range(5):
        run = run_python(script)
        assert (run.returncode, run.stderr) == (0, "")


@pytest.mark.parametrize("nproc, width", [(4, None), (None, str(-2**62)), (None, str(2**62))])
def test_pool_under_thread_limits_and_strange_widths(nproc, width):
    if nproc and os.geteuid() != 0:
        pytest.skip("the limit is set for nobody, which needs root")
    root = tempfile.mkdtemp(prefix="tolvane-pool-")
    os.chmod(root, 0o755)
    for i in range(600):
        with open(os.path.join(root, f"f{i}"), "w") as f:
            f.write("x")
    # Imports before dropping to nobody, who may not read the interpreter's own files.
    drop = ("    import os, resource\n"
            "    os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
            f"    resource.setrlimit(resource.RLIMIT_NPROC, ({nproc}, {nproc}))\n") if nproc else ""
    script = OPEN_READY.format(root=root) + drop + """
    print(len(fs.list()), len(fs.read_batch(fs.list()[:30])))
    """
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    if width:
        env["RAYON_NUM_THREADS"] = width
    try:
        run = run_python(script, env=env, cwd="/")
    finally:
        shutil.rmtree(root)
    assert (run.returncode, run.stdout, run.stderr) == (0, "600 30\n", "")
