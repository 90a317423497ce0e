"""A short tour of tolvane: index a tree, list and glob from memory, search, read, write and edit,
and watch the index follow the tree."""

import pathlib
import tempfile
import time

import tolvane

REPO = pathlib.Path(__file__).resolve().parent.parent


def wait_ready(fs):
    deadline = time.monotonic() + 60
    while not fs.is_ready():
        if time.monotonic() > deadline:
            raise SystemExit("index not ready after 60 s")
        time.sleep(0.005)


def index_tour():
    print(f"tolvane {tolvane.__version__}: indexing {REPO}")
    with tolvane.FileSystem(str(REPO), auto_watch=False) as fs:
        started = time.perf_counter()
        wait_ready(fs)
        print(f"  index ready in {(time.perf_counter() - started) * 1000:.1f} ms")
        files = fs.list()
        print(f"  {len(files)} files admitted by the ignore rules (build/ and .venv/ are not)")
        headers = sorted(fs.glob("src/fs/**/*.h"))
        print(f"  {len(headers)} core headers, e.g. {headers[:3]}")
        meta = fs.get_metadata("README.md")
        print(f"  README.md: {meta!r}, modified {time.ctime(meta.mtime)}")
        try:
            fs.glob("src/[")
        except ValueError as error:
            print(f"  a bad pattern is refused: {error}")
        hits = fs.grep(r"\bParallelFor\b", "src/**/*.cpp", case_sensitive=True)
        print(f"  grep found ParallelFor on {len(hits)} lines, first: {hits[0]!r}" if hits else
              "  grep found no ParallelFor")
        try:
            fs.grep("a{,5}")
        except ValueError as error:
            print(f"  a bad query is refused: {str(error).splitlines()[0]} ...")


def io_tour():
    with tempfile.TemporaryDirectory() as root, tolvane.FileSystem(root) as fs:
        print(f"reading and writing under {root}")
        fs.write_file("notes/todo.txt", "write the tour\nrun the tests\nship it\n")
        print(f"  write_file created notes/: {fs.read_file('notes/todo.txt')!r}")
        print(f"  read_lines(start_line=1, count=1): {fs.read_lines('notes/todo.txt', 1, 1)}")
        print(f"  read_file_range(0, 5): {fs.read_file_range('notes/todo.txt', 0, 5)!r}")
        fs.edit_replace("notes/todo.txt", "ship it", "ship it on Friday")
        print(f"  after edit_replace: {fs.read_lines('notes/todo.txt')[-1]!r}")
        try:
            fs.edit_replace("notes/todo.txt", "t", "T")
        except ValueError as error:
            print(f"  strict replacement refuses ambiguity: {error}")
        fs.write_file_fast("notes/scratch.txt", "fast, not durable")
        batch = fs.read_batch(["notes/todo.txt", "notes/scratch.txt", "notes/missing.txt"])
        print(f"  read_batch read {len(batch)} of 3 paths (missing files are left out)")
        try:
            fs.read_file("notes/missing.txt")
        except ValueError as error:
            print(f"  read_file of a missing file: {error}")
        # The watcher brings files written since the build into the index.
        wait_ready(fs)
        deadline = time.monotonic() + 10
        while "notes/scratch.txt" not in fs.list() and time.monotonic() < deadline:
            time.sleep(0.01)
        print(f"  watching: {fs.is_watching()}; the index now lists {sorted(fs.list())}")


if __name__ == "__main__":
    index_tour()
    io_tour()
