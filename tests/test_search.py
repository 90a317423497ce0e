import os
import re

import pytest

import tolvane
from conftest import make_tree

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
