import bisect
import codecs
import hashlib
import json
import os
import re

import pytest

import tolvane
from conftest import make_tree, run_python

LIMIT = 10485760  # grep's max_file_size, which only its own walk applies


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("search")
    make_tree(root, {f"cap/f{i:02}.txt": "match\n" * 50 for i in range(60)})
    filler = lambda size: b"needle\n" + b"x" * (size - 8) + b"\n"
    make_tree(root, {"limits/exact.txt": filler(LIMIT), "limits/over.txt": filler(LIMIT + 1),
                     "limits/nul511.txt": b"needle\n".ljust(511, b"x") + b"\0",
                     "limits/nul512.txt": b"needle\n".ljust(512, b"x") + b"\0",
                     "limits/late.txt": b"needle\n", "fifo/a.txt": "needle\n"})
    os.mkfifo(root / "fifo/pipe.txt")
    os.symlink("pipe.txt", root / "fifo/link.txt")
    return root


@pytest.mark.parametrize("max_results", [0, True, 7, 2999, 3000, 4000])
def test_cap_is_exact_across_files_and_workers(tree, ready_fs, max_results):
    found = ready_fs(tree).grep("match", "cap/*", max_results=max_results)
    assert len(found) == min(max_results, 3000)
    files = [r.file for r in found]
    blocks = [f for i, f in enumerate(files) if i == 0 or files[i - 1] != f]
    assert len(blocks) == len(set(blocks))  # candidate order, then line order
    for block in blocks:  # a file's records are its first matching lines
        assert [r.line_number for r in found if r.file == block] == list(
            range(1, files.count(block) + 1))


def test_index_road_has_no_size_limit_and_the_index_binary_flag(tree, ready_fs):
    fs = ready_fs(tree)
    (tree / "limits/late.txt").write_bytes(b"\0needle\n")  # binary since it was indexed
    try:
        found = sorted(r.file for r in fs.grep("needle", "limits/*"))
    finally:
        (tree / "limits/late.txt").write_bytes(b"needle\n")
    assert found == ["limits/exact.txt", "limits/late.txt", "limits/nul512.txt",
                     "limits/over.txt"]


def test_special_files_are_never_read(tree, ready_fs):
    assert [r.file for r in ready_fs(tree).grep("needle", "fifo/*")] == ["fifo/a.txt"]


def test_grep_while_the_first_build_runs(tmp_path):
    # Whichever road the call takes, plain files give the same records and nothing is raised.
    for d in range(40):
        make_tree(tmp_path, {f"d{d}/f{i}.txt": f"line {d} {i}\n" for i in range(50)})
    fs = tolvane.FileSystem(str(tmp_path), auto_watch=False)
    found = fs.grep(r"line 3 4\d", max_results=100)
    assert sorted(r.file for r in found) == [f"d3/f{i}.txt" for i in range(40, 50)]
    fs.close()


@pytest.mark.parametrize("query, glob_pattern, max_results, message", [
    ("(", "[", 1000, "Regex error: "),  # the query is compiled first
    ("(", "**/*", 0, "Regex error: "),
    ("a", "[", 1000, "Glob error: error parsing glob '['"),
])
def test_errors(tmp_path, ready_fs, query, glob_pattern, max_results, message):
    for fs in [ready_fs(tmp_path), tolvane.FileSystem(str(tmp_path), auto_watch=False)]:
        with pytest.raises(ValueError, match="^" + re.escape(message)):
            fs.grep(query, glob_pattern, max_results=max_results)


def test_records(tmp_path, ready_fs):
    make_tree(tmp_path, {"a.txt": "x\r\nHello\rthere\n\nhello", "bad.txt": b"hello\n\xff\n",
                         "sub/c.txt": "say HELLO\n", "empty.txt": ""})
    fs = ready_fs(tmp_path)
    found = sorted((r.file, r.line_number, r.content, r.context_before, r.context_after)
                   for r in fs.grep("hello"))
    assert found == [("a.txt", 2, "Hello\rthere", [], []), ("a.txt", 4, "hello", [], []),
                     ("sub/c.txt", 1, "say HELLO", [], [])]
    assert [(r.file, r.line_number) for r in fs.grep("hello", case_sensitive=True)] == [
        ("a.txt", 4)]


@pytest.mark.parametrize("pattern", ["**/*", "*.txt"])
@pytest.mark.parametrize("count", [499, 500])
def test_index_road_keeps_file_list_order_and_skips_vanished_files(tmp_path, ready_fs, pattern,
                                                                  count):
    make_tree(tmp_path, {f"f{i}.txt": "x\n" for i in range(count)})
    fs = ready_fs(tmp_path)
    for i in range(0, count, 2):
        os.remove(tmp_path / f"f{i}.txt")
    assert [r.file for r in fs.grep("x", pattern, max_results=count)] == [
        f for f in fs.list() if int(f[1:-4]) % 2]


@pytest.mark.parametrize("content, preview", [
    ("a" * 50, "a" * 50), ("a" * 51, "a" * 50 + "..."), ("a" * 49 + "é", "a" * 49 + "..."),
    ("it's", "it's")])
def test_repr_cuts_content_at_a_character_boundary(tmp_path, ready_fs, content, preview):
    (tmp_path / "f.txt").write_text(content + "\n", encoding="utf-8")
    [found] = ready_fs(tmp_path).grep("^")
    assert repr(found) == f"SearchResult(file='f.txt', line=1, content='{preview}')"


# ---- files larger than a search window, and than memory allows ----

MiB = 1 << 20
SANITIZED = "ASAN_OPTIONS" in os.environ or "TSAN_OPTIONS" in os.environ

BIG_GREP = """
import json, resource, sys, time
import tolvane
patterns = ["big/*"]
if sys.argv[2] == "limited":
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    patterns.append("long/*")
fs = tolvane.FileSystem(sys.argv[1], auto_watch=False)
while not fs.is_ready():
    time.sleep(0.01)
out = {}
for pattern in patterns:
    try:
        out[pattern] = [[r.file, r.line_number, r.content] for r in fs.grep("needle", pattern)]
    except OSError as error:
        out[pattern] = str(error)
print(json.dumps(out))
"""


def write_sparse(path, size, pieces, line=MiB):
    """A file of `size` bytes: zeros with a newline every `line` bytes, overwritten by `pieces`
    (offset -> bytes; a negative offset counts from the end). Only the written pages take disk
    space."""
    with open(path, "wb") as out:
        out.write(b"text before the holes\n" * 30)  # no NUL in the sniffed head
        for offset in range(line or size, size, line or size):
            out.seek(offset)
            out.write(b"\n")
        for offset, data in pieces.items():
            out.seek(offset % size)
            out.write(data)
        out.truncate(size)


def model_records(path, query):
    """(line number, line) of each line of `path` that `query` matches, found by seeking through
    the file's data; its holes read as zeros, which no line of a query here matches. Nothing when
    the file is not UTF-8."""
    decoder = codecs.getincrementaldecoder("utf-8")()
    newlines, texts = [], []
    with open(path, "rb") as f:
        fd, size, at = f.fileno(), os.fstat(f.fileno()).st_size, 0
        try:
            while at < size:
                try:
                    start = os.lseek(fd, at, os.SEEK_DATA)
                except OSError:  # a hole up to the end
                    start = size
                if start > at:
                    decoder.decode(b"\0")
                if start < size:
                    at = min(os.lseek(fd, start, os.SEEK_HOLE), start + 16 * MiB)
                else:
                    at = size
                data = os.pread(fd, at - start, start)
                decoder.decode(data)
                newlines += [start + m.start() for m in re.finditer(b"\n", data)]
                texts += [start + m.start() for m in re.finditer(rb"[^\0\n]", data)]
            decoder.decode(b"", final=True)
        except UnicodeDecodeError:
            return []
        records = {}
        for at in texts:
            i = bisect.bisect_left(newlines, at)
            begin, end = newlines[i - 1] + 1 if i else 0, newlines[i] if i < len(newlines) else size
            line = os.pread(fd, end - begin, begin)
            line = line[:-1] if line.endswith(b"\r") and end < size else line
            if re.search(query, line.decode()):
                records[i + 1] = line.decode()
    return sorted(records.items())


@pytest.fixture(scope="module")
def big_tree(tmp_path_factory):
    """Files larger than a search window: one past 4 GiB, lines and a character across window
    ends, one larger than the child's address space, one whose only invalid byte lies far after
    its matches; and one line longer than that address space."""
    root = tmp_path_factory.mktemp("big")
    os.makedirs(root / "big")
    os.makedirs(root / "long")
    window = 32 * MiB
    write_sparse(root / "big/huge.txt", 5 * 1024 * MiB + 12345, {
        window - 9: b"\nneedle \xe2\x82\xac across\n", 2 * window: b"\nxneedlex\r\n",
        (4096 * MiB) - 3: b"\nneedle around 4 GiB\n", 4200 * MiB + 7: b"\nneedle far\r\n",
        -18: b"\nneedle at the end"})
    write_sparse(root / "big/mid.txt", 1536 * MiB, {
        3 * window + 5: b"\nneedle 1\n", 1000 * MiB: b"\nneedle 2\n"})
    write_sparse(root / "big/bad.txt", 100 * MiB, {5: b"\nneedle\n", 90 * MiB: b"\xff"})
    write_sparse(root / "long/line.txt", 1536 * MiB, {-7: b"needle\n"}, line=None)
    return root


@pytest.fixture(scope="module")
def big_grep(big_tree):
    """grep over the big files in a child whose address space is limited to 1 GiB, with four
    workers; sanitized, without the limit and so without the long line."""
    env = dict(os.environ, MALLOC_ARENA_MAX="2", RAYON_NUM_THREADS="4")
    child = run_python(BIG_GREP, str(big_tree), "free" if SANITIZED else "limited", env=env,
                       timeout=600)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


def test_files_of_any_size_are_searched_whole_in_bounded_memory(big_tree, big_grep):
    found = {}
    for file, line_number, content in big_grep["big/*"]:
        found.setdefault(file, []).append((line_number, content))
    expected = {f"big/{name}": model_records(big_tree / "big" / name, "needle")
                for name in ["huge.txt", "mid.txt", "bad.txt"]}
    assert found == {file: records for file, records in expected.items() if records}
    assert len(expected["big/huge.txt"]) == 5 and expected["big/bad.txt"] == []


@pytest.mark.skipif(SANITIZED, reason="a sanitizer's shadow memory needs more address space")
def test_a_line_larger_than_memory_allows_is_an_error(big_grep):
    assert big_grep["long/*"] == "out of memory"


# ---- the memory a grep of many results, and of a long line, takes ----

MANY_GREP = """
import json, resource, sys, time
import tolvane
fs = tolvane.FileSystem(sys.argv[1], auto_watch=False)
while not fs.is_ready():
    time.sleep(0.01)
fs.grep("x", "**/*", True, 1)  # the pool's threads started
if sys.argv[2] != "free":  # this many MiB above what the process maps now
    mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + (int(sys.argv[2]) << 20),
                                            resource.RLIM_INFINITY))
try:
    found = fs.grep("x", "**/*", True, 10**12)
except BaseException as error:
    print(json.dumps([type(error).__name__, str(error)]))
else:
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)
    expected = [(f, n, "x") for f in fs.list() for n in range(1, int(sys.argv[3]) + 1)]
    print(json.dumps(["exact" if expected == [(r.file, r.line_number, r.content)
                                             for r in found] else "wrong"]))
"""


# A million results (ten files of 100,000): under limits that leave from less to more than twice
# what they take, the records come exact and in order, or the call fails with OSError, never with
# a fault; without a limit they come exact.
@pytest.mark.skipif(SANITIZED, reason="a sanitizer's shadow memory needs more address space")
@pytest.mark.parametrize("budget", ["128", "176", "224", "free"])
def test_many_results_are_gathered_or_out_of_memory(tmp_path, budget):
    lines = 100000
    make_tree(tmp_path, {f"f{i}": "x\n" * lines for i in range(10)})
    env = dict(os.environ, MALLOC_ARENA_MAX="2", RAYON_NUM_THREADS="4")
    child = run_python(MANY_GREP, str(tmp_path), budget, str(lines), env=env)
    assert child.returncode == 0, child.stderr
    outcome = json.loads(child.stdout)
    assert outcome == ["exact"] or budget != "free" and outcome == ["OSError", "out of memory"]


LONG_LINE_GREP = """
import hashlib, json, re, sys, time
import tolvane
fs = tolvane.FileSystem(sys.argv[1], auto_watch=False)
while not fs.is_ready():
    time.sleep(0.01)
# The peak of this process's own memory: ru_maxrss would count the parent's, taken at the exec.
peak = lambda: int(re.search(r"VmHWM:\\s*(\\d+)", open("/proc/self/status").read())[1]) << 10
before = peak()
found = fs.grep(sys.argv[2], "line.txt")
after = peak()  # before any content becomes a str
found = [[r.line_number, hashlib.sha256(r.content.encode()).hexdigest()] for r in found]
print(json.dumps({"found": found, "before": before, "peak": after}))
"""


def long_line_grep(path, query):
    """grep's records of `path` (named line.txt) as [line number, digest of the line], and the
    peak resident memory the call added, in a child."""
    child = run_python(LONG_LINE_GREP, str(path.parent), query,
                       env=dict(os.environ, RAYON_NUM_THREADS="4"))
    assert child.returncode == 0, child.stderr
    report = json.loads(child.stdout)
    return report["found"], report["peak"] - report["before"]


def digests(records):
    return [[number, hashlib.sha256(line.encode()).hexdigest()] for number, line in records]


@pytest.mark.skipif(SANITIZED, reason="a sanitizer's allocator keeps memory of its own")
def test_a_long_line_takes_its_size_and_a_few_windows(tmp_path):
    line, window = 272 * MiB, 32 * MiB
    write_sparse(tmp_path / "line.txt", line + 4096, {
        -40: b"\nneedle 1\nno\nneedle 2\r\n\xc3\xa9 needle 3\n"}, line=None)
    found, peak = long_line_grep(tmp_path / "line.txt", "needle")
    expected = model_records(tmp_path / "line.txt", "needle")
    assert found == digests(expected) and len(expected) == 3
    assert peak < line + 4 * window


# A matching line that a Unicode word boundary's confirmation steps over from its start to its
# end: the read buffer and the record's copy, never a decoded copy of four bytes a character.
@pytest.mark.skipif(SANITIZED, reason="a sanitizer's allocator keeps memory of its own")
def test_a_long_line_confirmed_whole_takes_twice_its_size(tmp_path):
    size, window, head = 80 * MiB, 32 * MiB, 660  # write_sparse's 30 lines of text
    first, last = "needles \u03a9".encode(), "\u03a9 needle\n".encode()
    write_sparse(tmp_path / "line.txt", size, {head: first, -len(last): last}, line=None)
    found, peak = long_line_grep(tmp_path / "line.txt", r"\bneedle\b")
    line = first + bytes(size - head - len(first) - len(last)) + last[:-1]
    assert found == digests([(31, line.decode())])
    assert peak < 2 * size + window
