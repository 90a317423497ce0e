import os
import subprocess
import sys

import pytest

import tolvane
from conftest import make_tree, without_leak_check, wait_until


def git(root, *args):
    subprocess.run(["git", "-C", str(root), *args], check=True, capture_output=True)


@pytest.fixture
def tree(tmp_path):
    make_tree(tmp_path, {
        "a.py": "print(1)\n",
        "src/b.py": "x = 1\n",
        "src/sub/c.py": "y = 2\n",
        "src/sub/d.txt": "text\n",
        ".env": "SECRET=1\n",
        ".hidden/e.txt": "e\n",
    })
    return tmp_path


def test_readiness_protocol(tmp_path):
    # Large enough that the first build is still running when the calls below arrive.
    for d in range(200):
        make_tree(tmp_path, {f"d{d}/f{i}.txt": "x" for i in range(40)})
    fs = tolvane.FileSystem(str(tmp_path), auto_watch=False)
    with pytest.raises(RuntimeError, match="^Index is still building, please wait$"):
        fs.list()
    with pytest.raises(RuntimeError, match="^Index is still building, please wait$"):
        fs.glob("[")  # readiness is checked before the pattern
    assert fs.refresh() is None  # whether it found the first build running or ran its own
    wait_until(fs.is_ready)
    assert len(fs.list()) == 8000
    fs.close()


def test_refresh_sees_changes_without_watcher(tree, ready_fs):
    fs = ready_fs(tree)
    (tree / "new.txt").write_text("n")
    os.remove(tree / "a.py")
    assert "new.txt" not in fs.list()
    fs.refresh()
    assert fs.is_ready()
    listed = fs.list()
    assert "new.txt" in listed and "a.py" not in listed


def test_hidden_entries_are_indexed(tree, ready_fs):
    fs = ready_fs(tree)
    assert sorted(fs.list()) == [".env", ".hidden/e.txt", "a.py", "src/b.py",
                                 "src/sub/c.py", "src/sub/d.txt"]
    everything = fs.list("**", only_files=False)
    assert {".hidden", "src", "src/sub"} <= set(everything)
    assert "" not in everything and len(everything) == len(set(everything))


@pytest.mark.parametrize("pattern, expected", [
    ("**", [".env", ".hidden/e.txt", "a.py", "src/b.py", "src/sub/c.py", "src/sub/d.txt"]),
    ("*.py", ["a.py", "src/b.py", "src/sub/c.py"]),  # * crosses "/"
    ("src/*.py", ["src/b.py", "src/sub/c.py"]),
    ("**/*.txt", [".hidden/e.txt", "src/sub/d.txt"]),
    ("src/**", ["src/b.py", "src/sub/c.py", "src/sub/d.txt"]),
    ("{a,src/b}.py", ["a.py", "src/b.py"]),
    ("*.PY", []),
    ("./src/*", []),  # matched against the relative text only
])
def test_glob_patterns(tree, ready_fs, pattern, expected):
    fs = ready_fs(tree)
    assert sorted(fs.glob(pattern)) == expected
    assert sorted(fs.list(pattern)) == expected


def test_list_everything_is_file_list_order(tree, ready_fs):
    fs = ready_fs(tree)
    assert fs.list() == fs.list("**") == fs.glob("**") == fs.list("**/*")


def test_each_listing_is_a_list_of_its_own(tree, ready_fs):
    fs = ready_fs(tree)
    first = fs.list()
    expected = list(first)
    first.clear()
    second = fs.list()
    assert second == expected and second is not fs.list()


@pytest.mark.parametrize("pattern, reason", [
    ("[", "unclosed character class; missing ']'"),
    ("a{b", "unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)"),
    ("[z-a]", "invalid range; 'z' > 'a'"),
])
def test_bad_pattern_raises_glob_error(tree, ready_fs, pattern, reason):
    fs = ready_fs(tree)
    for _ in range(2):  # never cached: the second call fails the same way
        with pytest.raises(ValueError) as info:
            fs.glob(pattern)
        assert str(info.value) == f"Glob error: error parsing glob '{pattern}': {reason}"


def test_directories_only_with_only_files_false(tree, ready_fs):
    fs = ready_fs(tree)
    dirs = set(fs.list("src/**", only_files=False)) - set(fs.list("src/**"))
    assert dirs == {"src/sub"}


@pytest.mark.parametrize("count", [499, 500, 1501])
def test_sequential_and_parallel_roads_agree(tmp_path, ready_fs, count):
    make_tree(tmp_path, {f"d{i % 7}/f{i}.txt": "x" for i in range(count)})
    fs = ready_fs(tmp_path)
    listed = fs.list()
    assert len(listed) == count
    assert listed == fs.list()  # stable order over an unchanged index
    assert fs.glob("d3/*") == [p for p in listed if p.startswith("d3/")]


def test_ignore_files_outside_a_repository(tree, ready_fs):
    (tree / ".ignore").write_text("*.txt\n")
    (tree / ".gitignore").write_text("a.py\n")  # not a repository: .gitignore has no effect
    fs = ready_fs(tree)
    assert sorted(fs.list()) == [".env", ".gitignore", ".ignore", "a.py", "src/b.py",
                                 "src/sub/c.py"]


def test_gitignore_inside_a_repository(tree, ready_fs):
    git(tree, "init", "-q")
    (tree / ".gitignore").write_text("src/sub/\n.env\n")
    (tree / ".ignore").write_text(".git/\n")
    fs = ready_fs(tree)
    assert sorted(fs.list()) == [".gitignore", ".hidden/e.txt", ".ignore", "a.py", "src/b.py"]


def test_git_directory_is_walked_unless_ignored(tree, ready_fs):
    git(tree, "init", "-q")
    fs = ready_fs(tree)
    assert any(p.startswith(".git/") for p in fs.list())


def test_symbolic_links(tree, ready_fs):
    os.symlink("src", tree / "dirlink")
    os.symlink("a.py", tree / "filelink")
    os.symlink("missing", tree / "dangling")
    (tree / "bin").write_bytes(b"\0binary")
    os.symlink("bin", tree / "binlink")
    fs = ready_fs(tree)
    listed = fs.list()
    assert {"dirlink", "filelink", "dangling", "binlink"} <= set(listed)
    assert not any(p.startswith("dirlink/") for p in listed)  # links are not followed
    link = fs.get_metadata("dirlink")
    assert (link.is_dir, link.is_binary, link.size) == (False, False, len("src"))
    assert fs.get_metadata("filelink").size == len("a.py")
    assert fs.get_metadata("binlink").is_binary  # the sniff reads through the link
    assert not fs.get_metadata("dangling").is_binary


@pytest.mark.parametrize("content, binary", [
    (b"", False),
    (b"a" * 511 + b"\0", True),
    (b"a" * 512 + b"\0", False),
    (b"\0", True),
    (b"plain text\n" * 100, False),
])
def test_binary_sniff(tmp_path, ready_fs, content, binary):
    (tmp_path / "f").write_bytes(content)
    fs = ready_fs(tmp_path)
    metadata = fs.get_metadata("f")
    assert (metadata.is_binary, metadata.size) == (binary, len(content))


def test_special_files_never_block_the_build(tmp_path, ready_fs):
    os.mkfifo(tmp_path / "fifo")
    os.symlink("fifo", tmp_path / "fifolink")
    (tmp_path / "a.txt").write_text("a")
    fs = ready_fs(tmp_path)
    assert sorted(fs.list()) == ["a.txt", "fifo", "fifolink"]
    assert not fs.get_metadata("fifolink").is_binary


@pytest.mark.parametrize("mtime, expected", [(-86400.0, 0.0), (0.0, 0.0), (1.5, 1.5),
                                             (1700000000.25, 1700000000.25)])
def test_mtime(tmp_path, ready_fs, mtime, expected):
    (tmp_path / "f").write_text("x")
    os.utime(tmp_path / "f", (mtime, mtime))
    fs = ready_fs(tmp_path)
    assert fs.get_metadata("f").mtime == expected


def test_get_metadata_spellings_and_errors(tree, ready_fs):
    fs = ready_fs(tree)
    same = [fs.get_metadata(p) for p in ["src/b.py", "src//b.py", "src/b.py/", "src/./b.py",
                                        str(tree / "src" / "b.py")]]
    assert {(m.size, m.mtime, m.is_dir) for m in same} == {(6, same[0].mtime, False)}
    assert fs.get_metadata("src/sub").is_dir
    assert repr(fs.get_metadata("src/sub")).startswith("FileMetadata(size=")
    assert repr(fs.get_metadata("a.py")) == "FileMetadata(size=9, is_dir=false, is_binary=false)"
    for missing in ["missing.txt", "", "src/../a.py"]:
        with pytest.raises(ValueError) as info:
            fs.get_metadata(missing)
        assert str(info.value) == "Path not found: " + missing


@pytest.mark.parametrize("spelling", [".", "./", "{tree}/", "{tree}//"])
def test_root_spellings(tree, ready_fs, monkeypatch, spelling):
    monkeypatch.chdir(tree)
    fs = ready_fs(spelling.format(tree=tree))
    assert sorted(fs.list()) == [".env", ".hidden/e.txt", "a.py", "src/b.py", "src/sub/c.py",
                                 "src/sub/d.txt"]
    assert fs.get_metadata("src/b.py").size == 6


def test_invalid_utf8_names_are_replaced(tmp_path, ready_fs):
    name = os.fsencode(tmp_path) + b"/bad\xffname"
    with open(name, "wb") as f:
        f.write(b"x")
    fs = ready_fs(tmp_path)
    assert fs.list() == ["bad\ufffdname"]
    assert fs.glob("bad?name") == ["bad\ufffdname"]


@pytest.fixture
def public_tmp():
    """A directory that an unprivileged user can reach (pytest's own tmp_path is root-only)."""
    import shutil
    import tempfile
    path = tempfile.mkdtemp(dir="/tmp")
    os.chmod(path, 0o755)
    yield __import__("pathlib").Path(path)
    shutil.rmtree(path)


def test_unreadable_directory_and_file_as_non_root(public_tmp):
    tmp_path = public_tmp
    make_tree(tmp_path, {"open/a.txt": "a", "closed/b.txt": "b", "secret.bin": b"\0\0"})
    os.chmod(tmp_path / "closed", 0o700)
    os.chmod(tmp_path / "secret.bin", 0o600)
    script = (
        "import os, time, tolvane\n"
        "os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
        f"fs = tolvane.FileSystem({str(tmp_path)!r}, auto_watch=False)\n"
        "while not fs.is_ready(): time.sleep(0.001)\n"
        "print(sorted(fs.list()), fs.get_metadata('closed').is_dir,"
        " fs.get_metadata('secret.bin').is_binary)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            cwd="/", env=without_leak_check())
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['open/a.txt', 'secret.bin'] True False"


def test_listing_while_files_change(tmp_path, ready_fs):
    import threading
    make_tree(tmp_path, {f"f{i}.txt": "x" for i in range(600)})
    fs = ready_fs(tmp_path)
    stop = threading.Event()

    def churn():
        i = 0
        while not stop.is_set():
            fs.write_file(f"churn{i % 10}.txt", "y")
            i += 1

    writer = threading.Thread(target=churn)
    writer.start()
    try:
        for _ in range(50):
            listed = fs.list()
            assert len(listed) == 600 and len(set(listed)) == 600
    finally:
        stop.set()
        writer.join()
