import os
import re

import pytest

import tolvane
from conftest import make_tree, wait_until

LIMIT = 10485760  # grep's max_file_size: the walk road skips larger files


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """Probes under probe/, beside ten thousand small files whose sniffing keeps the first index
    build running long enough to call grep meanwhile (the walk road)."""
    root = tmp_path_factory.mktemp("search")
    for d in range(100):
        make_tree(root, {f"slow/d{d}/f{i}.txt": "z\n" for i in range(100)})
    make_tree(root, {f"probe/cap/f{i:02}.txt": "match\n" * 50 for i in range(60)})
    filler = lambda size: b"needle\n" + b"x" * (size - 8) + b"\n"
    make_tree(root, {"probe/limits/exact.txt": filler(LIMIT),
                     "probe/limits/over.txt": filler(LIMIT + 1),
                     "probe/limits/nul511.txt": b"needle\n".ljust(511, b"x") + b"\0",
                     "probe/limits/nul512.txt": b"needle\n".ljust(512, b"x") + b"\0",
                     "probe/fifo/a.txt": "needle\n"})
    os.mkfifo(root / "probe/fifo/pipe.txt")
    os.symlink("pipe.txt", root / "probe/fifo/link.txt")
    return root


def on_road(road, root, search):
    """`search(fs)` on a fresh object: after its first build ("index"), or while that build
    provably still runs ("walk": the index is not ready before the call nor after it)."""
    for _ in range(20):
        fs = tolvane.FileSystem(str(root), auto_watch=False)
        try:
            if road == "index":
                wait_until(fs.is_ready)
                return search(fs)
            if not fs.is_ready():
                found = search(fs)
                if not fs.is_ready():
                    return found
        finally:
            fs.close()
    pytest.fail("the first build was never seen running")


@pytest.mark.parametrize("road", ["index", "walk"])
@pytest.mark.parametrize("max_results", [0, True, 7, 2999, 3000, 4000])
def test_cap_is_exact_across_files_and_workers(tree, road, max_results):
    found = on_road(road, tree, lambda fs: fs.grep("match", "probe/cap/*", max_results=max_results))
    assert len(found) == min(max_results, 3000)
    files = [r.file for r in found]
    blocks = [f for i, f in enumerate(files) if i == 0 or files[i - 1] != f]
    assert len(blocks) == len(set(blocks))  # candidate order, then line order
    for block in blocks:  # a file's records are its first matching lines
        assert [r.line_number for r in found if r.file == block] == list(
            range(1, files.count(block) + 1))


@pytest.mark.parametrize("road", ["index", "walk"])
def test_roads_differ_in_size_limit_and_binary_test(tree, road):
    late = tree / "probe/limits/late.txt"
    late.write_bytes(b"needle\n")

    def search(fs):
        late.write_bytes(b"\0needle\n")  # binary since the index entry was made
        return fs.grep("needle", "probe/limits/*", max_results=100)

    found = sorted(r.file.split("/")[-1] for r in on_road(road, tree, search))
    assert found == {"index": ["exact.txt", "late.txt", "nul512.txt", "over.txt"],
                     "walk": ["exact.txt", "nul512.txt"]}[road]


@pytest.mark.parametrize("road", ["index", "walk"])
def test_special_files_are_never_read(tree, road):
    found = on_road(road, tree, lambda fs: fs.grep("needle", "probe/fifo/*"))
    assert [r.file for r in found] == ["probe/fifo/a.txt"]


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
