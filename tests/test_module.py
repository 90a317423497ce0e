"""The module surface: registration, the one-interpreter rule, FileSystem construction and close,
the value classes, and the argument matching and conversion rules of the calling frame."""

import importlib
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import tolvane
from tolvane import _quill_core as core
from tolvane import FileMetadata, FileSystem, SearchOptions, SearchResult

from conftest import without_leak_check, run_python

CLASS_NAMES = ["FileSystem", "SearchResult", "SearchOptions", "FileMetadata"]
SUBINTERPRETER_REFUSAL = (
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576"
)


def run_json(script, *args, cwd=None, env=None):
    """Runs `script` in a fresh interpreter; returns the JSON it prints last."""
    done = run_python(script, *args, cwd=cwd, env=env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def not_str(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'"


def not_bool(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyBool'"


def not_int(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be interpreted as an integer"


@pytest.fixture
def fs(tmp_path):
    with FileSystem(str(tmp_path), auto_watch=False) as opened:
        yield opened


# ---- module entry and registration ----


def test_module_registers_only_classes_then_version_in_order():
    assert core.__all__ == CLASS_NAMES + ["__version__"]
    added = [name for name in vars(core) if name in core.__all__ or name == "__all__"]
    assert added == ["__all__"] + CLASS_NAMES + ["__version__"]
    assert core.__version__ == "0.1.3"
    assert core.__doc__ == "Tolvane Python module"
    callables = {name for name, value in vars(core).items() if callable(value)}
    assert callables == set(CLASS_NAMES)
    assert all(isinstance(getattr(core, name), type) for name in CLASS_NAMES)
    for name in CLASS_NAMES + ["__version__"]:
        assert getattr(tolvane, name) is getattr(core, name)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_the_shared_object_exports_only_its_init_function():
    listed = subprocess.run(["nm", "-D", "--defined-only", core.__file__], capture_output=True,
                            text=True, check=True).stdout.split("\n")
    assert [line.split()[-1] for line in listed if line] == ["PyInit__quill_core"]


def test_reimport_yields_the_same_module_and_classes():
    assert importlib.import_module("tolvane._quill_core") is core
    classes = [getattr(core, name) for name in CLASS_NAMES]
    saved = sys.modules.pop("tolvane._quill_core")
    try:
        again = importlib.import_module("tolvane._quill_core")
    finally:
        sys.modules["tolvane._quill_core"] = saved
    assert again is core
    assert all(getattr(again, n) is c for n, c in zip(CLASS_NAMES, classes))


# Imports in the main interpreter and a legacy sub-interpreter, in the order given by argv[1]. A
# failure inside the sub-interpreter surfaces per version: 3.12 raises RunFailedError with the text
# "<class 'ImportError'>: <message>"; 3.13 returns a snapshot with type and msg (None on success).
SUBINTERPRETER_SCRIPT = """
    import json, sys

    def main():
        try:
            import tolvane._quill_core
        except ImportError as error:
            return {"type": type(error).__name__, "msg": str(error)}

    def sub():
        code = "import tolvane._quill_core"
        if sys.version_info >= (3, 13):
            import _interpreters
            failure = _interpreters.run_string(_interpreters.create("legacy"), code)
            return failure and {"type": failure.type.__name__, "msg": failure.msg}
        import _xxsubinterpreters
        try:
            _xxsubinterpreters.run_string(_xxsubinterpreters.create(isolated=False), code)
        except _xxsubinterpreters.RunFailedError as error:
            prefix = "<class 'ImportError'>: "
            assert str(error).startswith(prefix), str(error)
            return {"type": "ImportError", "msg": str(error)[len(prefix):]}

    steps = [("main", main), ("sub", sub)]
    if sys.argv[1] == "sub-first":
        steps.reverse()
    print(json.dumps({name: step() for name, step in steps}))
"""


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_only_the_first_interpreter_may_import(tmp_path, order):
    report = run_json(SUBINTERPRETER_SCRIPT, order, cwd=tmp_path)
    refused = {"type": "ImportError", "msg": SUBINTERPRETER_REFUSAL}
    # 3.13 runs a single-phase init function with the main interpreter active first, so the main
    # interpreter is recorded even when the sub-interpreter imports first.
    if order == "main-first" or sys.version_info >= (3, 13):
        assert report == {"main": None, "sub": refused}
    else:
        assert report == {"main": refused, "sub": None}


# ---- class objects ----


@pytest.mark.parametrize("cls, doc, signature", [
    (FileSystem, "High-performance file system interface\n\n"
     "Provides stateful, concurrent file operations with in-memory indexing.",
     "(root, auto_watch=True)"),
    (SearchOptions, "Search options",
     "(case_sensitive=False, max_results=1000, max_file_size=10485760, context_lines=0)"),
    (FileMetadata, "File metadata stored in the index", None),
    (SearchResult, "A single search result", None),
])
def test_class_names_docstrings_and_text_signatures(cls, doc, signature):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    if signature is not None:
        assert str(inspect.signature(cls)) == signature


METHODS = [
    ("list", '($self, pattern="**/*", only_files=True)',
     'List files matching the given pattern from memory index\n\nArgs:\n    pattern: Glob pattern '
     '(default: "**/*")\n    only_files: If true, only return files (not directories)\n\n'
     'Returns:\n    List of file paths relative to root'),
    ("glob", "($self, pattern)", "Match files using glob pattern\n\nArgs:\n    pattern: Glob "
     "pattern\n\nReturns:\n    List of matching file paths"),
    ("read_file", '($self, path, encoding="utf-8")',
     'Read a single file\n\nArgs:\n    path: File path (relative to root or absolute)\n    '
     'encoding: Text encoding (default: "utf-8")\n\nReturns:\n    File content as string'),
    ("read_batch", "($self, paths)", "Read multiple files in parallel\n\nArgs:\n    paths: List "
     "of file paths\n\nReturns:\n    Dict mapping path to content"),
    ("read_lines", "($self, path, start_line=0, count=None)",
     "Read specific lines from a file (for large files)\n\nEfficiently reads a range of lines "
     "without loading the entire file.\nUses memory-mapped I/O for large files (> 1MB).\n\nArgs:"
     "\n    path: File path\n    start_line: Starting line number (0-indexed)\n    count: Number "
     "of lines to read (None = read to end)\n\nReturns:\n    List of line strings (without "
     "trailing newlines)"),
    ("read_file_range", "($self, path, offset, limit)",
     "Read a byte range from a file\n\nArgs:\n    path: File path\n    offset: Byte offset to "
     "start reading from\n    limit: Maximum bytes to read\n\nReturns:\n    Content as string"),
    ("write_file", "($self, path, content)", "Write content to file atomically\n\nArgs:\n    "
     "path: File path\n    content: Content to write\n\nReturns:\n    True if successful"),
    ("write_file_fast", "($self, path, content)",
     "Write content to file without atomicity guarantee (fast mode)\n\nMuch faster than "
     "write_file() but does not guarantee data integrity\non crash. Use for temporary files or "
     "when speed is critical.\n\nWarning:\n    This operation is not atomic. Also, index "
     "updates rely on the\n    asynchronous file watcher, so `list()` might not immediately\n"
     "    reflect the new file.\n\nArgs:\n    path: File path\n    content: Content to write"
     "\n\nReturns:\n    True if successful"),
    ("edit_replace", "($self, path, old_text, new_text, strict=True)",
     "Replace text in file\n\nArgs:\n    path: File path\n    old_text: Text to find\n    "
     "new_text: Replacement text\n    strict: If true, error if old_text is not unique or not "
     "found\n\nWarning:\n    This operation is NOT atomic across processes. It performs a\n    "
     "read-modify-write cycle. If multiple processes modify the file\n    concurrently, changes "
     "may be lost.\n\nReturns:\n    True if replacement was made"),
    ("grep", '($self, query, glob_pattern="**/*", case_sensitive=False, max_results=1000)',
     "Search files for content matching query\n\nArgs:\n    query: Search pattern (regex)\n"
     "    glob_pattern: File pattern to search in\n    case_sensitive: Case sensitive search\n"
     "    max_results: Maximum number of results\n\nReturns:\n    List of SearchResult objects"),
    ("get_metadata", "($self, path)", "Get file metadata\n\nArgs:\n    path: File path\n\n"
     "Returns:\n    FileMetadata object"),
    ("refresh", "($self)", "Force refresh the file index"),
    ("is_ready", "($self)", "Check if the index is ready"),
    ("close", "($self)", "Close the filesystem and release resources"),
    ("is_watching", "($self)", "Check if file watching is active"),
    ("pending_changes", "($self)", "Get the number of pending file change events"),
    ("__enter__", "($self)", None),
    ("__exit__", "($self, _exc_type=None, _exc_value=None, _traceback=None)", None),
]


@pytest.mark.parametrize("method, signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signatures_and_docstrings(fs, method, signature, doc):
    bound = getattr(fs, method)
    assert bound.__text_signature__ == signature
    assert bound.__doc__ == doc


def test_methods_in_table_order():
    defined = [name for name in FileSystem.__dict__ if not name.startswith("__")
               or name in ("__enter__", "__exit__")]
    assert defined == [m[0] for m in METHODS]


ATTRIBUTE_DOCS = {
    FileMetadata: [("size", "File size in bytes"), ("mtime", "Modification time as Unix timestamp"),
                   ("is_dir", "Whether this is a directory"),
                   ("is_binary", "Whether this appears to be a binary file")],
    SearchResult: [("file", "File path where match was found"),
                   ("line_number", "Line number (1-indexed)"),
                   ("content", "The matching line content"),
                   ("context_before", "Context lines before the match"),
                   ("context_after", "Context lines after the match")],
    SearchOptions: [("case_sensitive", "Case sensitive search"),
                    ("max_results", "Maximum number of results"),
                    ("max_file_size", "Maximum file size to search (bytes)"),
                    ("context_lines", "Number of context lines before/after match")],
}


@pytest.mark.parametrize("cls", list(ATTRIBUTE_DOCS), ids=lambda c: c.__name__)
def test_attributes_in_declaration_order_with_docs(cls):
    descriptors = [(name, value.__doc__) for name, value in vars(cls).items()
                   if inspect.isgetsetdescriptor(value)]
    assert descriptors == ATTRIBUTE_DOCS[cls]


@pytest.mark.parametrize("cls, args, kwargs", [
    (FileMetadata, (), {}), (SearchResult, ("a", 1), {}), (SearchResult, (), {"file": "a"})])
def test_records_made_by_the_system_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as raised:
        cls(*args, **kwargs)
    assert str(raised.value) == "No constructor defined for " + cls.__name__


def test_panic_exception_derives_from_base_exception_only():
    # Faults are not reachable from Python; the class is found among BaseException's subclasses.
    found = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
    assert len(found) == 1
    assert (found[0].__module__, found[0].__qualname__) == ("pyo3_runtime", "PanicException")
    assert found[0].__bases__ == (BaseException,)


def test_objects_have_default_repr_and_no_other_attributes(fs):
    for obj in [fs, SearchOptions()]:
        assert repr(obj).startswith(f"<builtins.{type(obj).__name__} object at 0x")
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.root = "/elsewhere"


# ---- FileSystem construction ----


def test_constructor_accepted_forms_and_roots(tmp_path, monkeypatch):
    root = str(tmp_path)
    for made in [FileSystem(root), FileSystem(root, False), FileSystem(root=root),
                 FileSystem(root, auto_watch=False), FileSystem(auto_watch=True, root=root)]:
        assert type(made) is FileSystem
        made.close()
    (tmp_path / "sub").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "sub")
    monkeypatch.chdir(tmp_path)
    text = type("Text", (str,), {})
    for argument in [text(root), str(tmp_path / "link"), "sub", "./sub/", "."]:
        FileSystem(argument, auto_watch=False).close()


MISSING_ROOT = "FileSystem.__new__() missing 1 required positional argument: 'root'"
ROOT = "/no/such/root"  # argument errors come before the root check


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, MISSING_ROOT),
    ((), {"auto_watch": 1}, MISSING_ROOT),
    ((ROOT, True, None), {},
     "FileSystem.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ((ROOT,), {"auto_wach": True},
     "FileSystem.__new__() got an unexpected keyword argument 'auto_wach'"),
    ((ROOT,), {"root": ROOT}, "FileSystem.__new__() got multiple values for argument 'root'"),
    ((1,), {"auto_watch": 1}, not_str("root", "int")),
    ((b"/tmp",), {}, not_str("root", "bytes")),
    ((pathlib.Path("/tmp"),), {}, not_str("root", "PosixPath")),
    ((ROOT, 1), {}, not_bool("auto_watch", "int")),
    ((ROOT,), {"auto_watch": "yes"}, not_bool("auto_watch", "str")),
])
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        FileSystem(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


@pytest.mark.parametrize("relative, suffix", [
    ("missing", ""), ("file.txt/below", ""), ("dangling", ""), ("loop", ""), ("x" * 5000, ""),
    ("dir\0tail", ""), ("file.txt", " is not a directory"), ("to_file", " is not a directory"),
])
def test_constructor_root_check(tmp_path, relative, suffix):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file.txt").write_text("x")
    (tmp_path / "to_file").symlink_to(tmp_path / "file.txt")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    with pytest.raises(ValueError) as raised:
        FileSystem(f"{tmp_path}/{relative}")
    assert type(raised.value) is ValueError
    assert str(raised.value) == f"Path not found: {tmp_path}/{relative}{suffix}"
    assert raised.value.args == (str(raised.value),)


@pytest.mark.parametrize("argument", ["", "no/such/dir", "./no/such/", "\0"])
def test_constructor_reports_the_root_as_typed(tmp_path, monkeypatch, argument):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as raised:
        FileSystem(argument)
    assert str(raised.value) == "Path not found: " + argument


# Search permission is enforced only for a non-root user. The child drops to nobody after its
# imports: the interpreter lives under /root, which nobody could not exec.
PERMISSION_SCRIPT = """
    import json, os, sys
    from tolvane import FileSystem

    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    base = sys.argv[1]
    report = {"euid": os.geteuid(), "visible": os.path.exists(base + "/locked/inner")}
    for name in ["open", "locked", "locked/inner", "locked/missing"]:
        try:
            FileSystem(base + "/" + name, auto_watch=False).close()
            report[name] = "ok"
        except ValueError as error:
            report[name] = str(error)
    print(json.dumps(report))
"""


def test_root_below_a_directory_without_search_permission():
    base = tempfile.mkdtemp(prefix="tolvane-perm-")
    try:
        os.chmod(base, 0o755)
        os.mkdir(os.path.join(base, "open"), 0o755)
        os.makedirs(os.path.join(base, "locked", "inner"))
        os.chmod(os.path.join(base, "locked"), 0o700 if os.geteuid() == 0 else 0o600)
        report = run_json(PERMISSION_SCRIPT, base, cwd=base, env=without_leak_check())
    finally:
        os.chmod(os.path.join(base, "locked"), 0o700)
        shutil.rmtree(base)
    assert report == {
        "euid": 65534 if os.geteuid() == 0 else os.geteuid(),
        "visible": False,
        "open": "ok",
        "locked": "ok",  # its own metadata is readable; only the inside is not
        "locked/inner": f"Path not found: {base}/locked/inner",
        "locked/missing": f"Path not found: {base}/locked/missing",
    }


# ---- close and the context-manager protocol ----


def test_close_and_exit_may_be_repeated(fs):
    assert fs.close() is None
    assert fs.close() is None
    for args, kwargs in [((), {}), ((None, None, None), {}), ((KeyError, KeyError(), None), {}),
                         ((None,), {"_exc_value": 1, "_traceback": "anything"})]:
        assert fs.__exit__(*args, **kwargs) is False


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4), {},
     "FileSystem.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
    ((), {"exc_type": None}, "FileSystem.__exit__() got an unexpected keyword argument 'exc_type'"),
    ((None,), {"_exc_type": None},
     "FileSystem.__exit__() got multiple values for argument '_exc_type'"),
])
def test_exit_argument_errors(fs, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        fs.__exit__(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("method", ["close", "__enter__", "__exit__"])
def test_methods_refuse_foreign_receivers_and_stray_arguments(fs, method):
    stray = (None,) * (4 if method == "__exit__" else 1)
    for call in [lambda: getattr(FileSystem, method)(object()),
                 lambda: getattr(fs, method)(*stray), lambda: getattr(fs, method)(x=1)]:
        with pytest.raises(TypeError):
            call()


def test_with_block_binds_the_object_and_propagates_the_exception(fs):
    marker = KeyError("inside")
    with pytest.raises(KeyError) as raised:
        with fs as bound:
            assert bound is fs
            raise marker
    assert raised.value is marker
    assert fs.__enter__() is fs


# ---- SearchOptions ----

OPTION_DEFAULTS = {"case_sensitive": False, "max_results": 1000, "max_file_size": 10485760,
                   "context_lines": 0}
DELETE = object()


def options_dict(options):
    return {name: getattr(options, name) for name in OPTION_DEFAULTS}


@pytest.mark.parametrize("args, kwargs, changed", [
    ((), {}, {}),
    ((True, 5), {}, {"case_sensitive": True, "max_results": 5}),
    ((True, 1, 2, 3), {},
     {"case_sensitive": True, "max_results": 1, "max_file_size": 2, "context_lines": 3}),
    ((False,), {"max_file_size": 0}, {"max_file_size": 0}),
    ((), {"max_results": 2**64 - 1}, {"max_results": 2**64 - 1}),
    ((), {"max_results": True}, {"max_results": 1}),
])
def test_search_options_construction(args, kwargs, changed):
    options = SearchOptions(*args, **kwargs)
    assert options_dict(options) == {**OPTION_DEFAULTS, **changed}
    assert type(options.case_sensitive) is bool
    assert all(type(options_dict(options)[name]) is int for name in list(OPTION_DEFAULTS)[1:])


@pytest.mark.parametrize("args, kwargs, message", [
    ((True, 1, 2, 3, 4), {},
     "SearchOptions.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    ((True,), {"case_sensitive": True},
     "SearchOptions.__new__() got multiple values for argument 'case_sensitive'"),
    # matching errors come before any conversion
    (("x", 2, 3, 4), {"bogus": 1},
     "SearchOptions.__new__() got an unexpected keyword argument 'bogus'"),
    ((), {"max_file_size": 1.5}, not_int("max_file_size", "float")),
    ((), {"context_lines": None}, not_int("context_lines", "NoneType")),
    # conversion in parameter order, whatever the keyword order
    ((), {"context_lines": "x", "case_sensitive": 0}, not_bool("case_sensitive", "int")),
    ((), {"max_file_size": -1, "max_results": "x"}, not_int("max_results", "str")),
])
def test_search_options_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        SearchOptions(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


@pytest.mark.parametrize("name, value, error, message", [
    ("case_sensitive", False, None, None), ("max_results", 0, None, None),
    ("max_results", 2**64 - 1, None, None), ("max_file_size", 123, None, None),
    ("context_lines", 5, None, None),
    ("case_sensitive", 1, TypeError, not_bool("case_sensitive", "int")),
    ("max_results", "5", TypeError, not_int("max_results", "str")),
    ("max_file_size", 2.0, TypeError, not_int("max_file_size", "float")),
    *[(name, DELETE, AttributeError, "can't delete attribute") for name in OPTION_DEFAULTS],
])
def test_search_options_setters(name, value, error, message):
    options, other = SearchOptions(True, 7, 8, 9), SearchOptions(True, 7, 8, 9)
    before = options_dict(options)
    if error is None:
        setattr(options, name, value)
        assert options_dict(options) == {**before, name: value}
        assert options_dict(other) == before
        return
    with pytest.raises(error) as raised:
        delattr(options, name) if value is DELETE else setattr(options, name, value)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert options_dict(options) == before


# ---- conversion rules ----


class IntSubclass(int):
    def __index__(self):
        raise AssertionError("an int subclass is converted directly")


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class SpecialTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(IntSubclass(9), 9), (Index(7), 7), (Index(2**64 - 1), 2**64 - 1), (False, 0)],
)
def test_integer_conversion_accepts_ints_and_index(value, expected):
    assert SearchOptions(max_results=value).max_results == expected
    options = SearchOptions()
    options.context_lines = value
    assert options.context_lines == expected


@pytest.mark.parametrize("error", [ValueError("from __index__"), SpecialTypeError("special")])
def test_index_errors_other_than_plain_type_error_pass_unchanged(error):
    with pytest.raises(type(error)) as raised:
        SearchOptions(max_results=Index(error))
    assert raised.value is error


def test_type_error_from_index_is_prefixed_and_keeps_its_cause():
    cause = KeyError("cause")
    error = TypeError("from __index__")
    error.__cause__ = cause
    with pytest.raises(TypeError) as raised:
        SearchOptions(max_file_size=Index(error))
    assert raised.value is not error
    assert str(raised.value) == "argument 'max_file_size': from __index__"
    assert raised.value.__cause__ is cause
    with pytest.raises(TypeError) as raised:  # the interpreter's refusal of a non-int result
        SearchOptions(max_results=Index("7"))
    assert str(raised.value).startswith("argument 'max_results': __index__ returned non-int")


@pytest.mark.parametrize("value, message", [
    (-1, "can't convert negative int to unsigned"),
    (2**64, "int too big to convert"),
    (Index(-3), "can't convert negative int to unsigned"),
    (Index(2**70), "int too big to convert"),
])
def test_out_of_range_integers_raise_overflow_unchanged(value, message):
    options = SearchOptions(True, 7, 8, 9)
    for call in [lambda: SearchOptions(max_results=value),
                 lambda: setattr(options, "context_lines", value)]:
        with pytest.raises(OverflowError) as raised:
            call()
        assert type(raised.value) is OverflowError
        assert str(raised.value) == message
    assert options.context_lines == 9


def test_lone_surrogate_raises_unicode_encode_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as raised:
        FileSystem("/tmp/\udc80")
    assert str(raised.value) == (
        "'utf-8' codec can't encode character '\\udc80' in position 5: surrogates not allowed"
    )


def test_bool_conversion_never_calls_dunder_bool_of_other_objects():
    calls = []

    class Truthy:
        def __bool__(self):
            calls.append(1)
            return True

    for value in [Truthy(), 0, "True", 1.0]:
        with pytest.raises(TypeError) as raised:
            SearchOptions(case_sensitive=value)
        assert str(raised.value) == not_bool("case_sensitive", type(value).__qualname__)
    assert calls == []


def numpy_like_bool(module, name, result):
    """A type that the bool rule takes for numpy's bool scalar when module is "numpy"."""

    def __bool__(self):
        if isinstance(result, BaseException):
            raise result
        return result

    return type(name, (), {"__module__": module, "__bool__": __bool__})()


@pytest.mark.parametrize("module, name, result, error, message", [
    ("numpy", "bool_", True, None, None), ("numpy", "bool_", False, None, None),
    ("numpy", "bool", True, None, None),
    ("numpy", "bool_", 1, TypeError, not_bool("case_sensitive", "int")),
    ("numpy", "bool_", ValueError("inside"), ValueError, "inside"),
    ("numpy", "bool_", TypeError("inside"), TypeError, "argument 'case_sensitive': inside"),
    ("numpy", "int8", True, TypeError, not_bool("case_sensitive", "int8")),
    ("numpyx", "bool_", True, TypeError, not_bool("case_sensitive", "bool_")),
])
def test_bool_conversion_through_dunder_bool_of_numpy_bools(module, name, result, error, message):
    value = numpy_like_bool(module, name, result)
    if error is None:
        assert SearchOptions(case_sensitive=value).case_sensitive is result
        return
    with pytest.raises(error) as raised:
        SearchOptions(case_sensitive=value)
    assert type(raised.value) is error
    assert str(raised.value) == message


# ---- memory ----

LEAK_SCRIPT = """
    import json, os, sys, tempfile
    from tolvane import FileMetadata, FileSystem, SearchOptions

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    class BadIndex:
        def __index__(self):
            raise TypeError("bad index") from KeyError("cause")

    class bool_:
        __module__ = "numpy"
        def __bool__(self):
            raise ValueError("bad bool")

    root = tempfile.mkdtemp()
    fs = FileSystem(root, auto_watch=False)
    options = SearchOptions()
    failing = [
        lambda: SearchOptions(max_results="x"), lambda: SearchOptions(1, 2, 3, 4, 5),
        lambda: SearchOptions(max_result=1), lambda: SearchOptions(True, case_sensitive=True),
        lambda: SearchOptions(max_results=-1), lambda: SearchOptions(context_lines=2**64),
        lambda: SearchOptions(max_file_size=BadIndex()), lambda: SearchOptions(case_sensitive=1),
        lambda: SearchOptions(case_sensitive=bool_()), lambda: FileSystem(),
        lambda: FileSystem("\\udc80"), lambda: FileSystem(root=1),
        lambda: FileSystem(root, auto_watch=None), lambda: FileSystem(root + "/missing"),
        lambda: fs.__exit__(1, 2, 3, 4), lambda: fs.__exit__(bogus=1),
        lambda: setattr(options, "max_results", "x"), lambda: setattr(options, "context_lines", -1),
        lambda: delattr(options, "max_results"), lambda: FileMetadata(),
    ]

    def run(rounds):
        for _ in range(rounds):
            for call in failing:
                try:
                    call()
                except (TypeError, ValueError, OverflowError, AttributeError):
                    pass
                else:
                    raise SystemExit("a failing call succeeded")

    run(20000)
    before = resident()
    run(int(sys.argv[1]))
    print(json.dumps({"before": before, "after": resident()}))
"""


@pytest.mark.skipif("ASAN_OPTIONS" in os.environ,
                    reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_failing_calls_do_not_leak(tmp_path):
    report = run_json(LEAK_SCRIPT, "100000", cwd=tmp_path)  # two million failing calls
    # A leak of a single small object per call would add several megabytes.
    assert report["after"] - report["before"] < 1 << 20


# ---- argument matching of methods with several required parameters ----


@pytest.mark.parametrize("method, args, message", [
    ("glob", (), "FileSystem.glob() missing 1 required positional argument: 'pattern'"),
    ("read_file_range", ("a.txt",), "FileSystem.read_file_range() missing 2 required "
     "positional arguments: 'offset' and 'limit'"),
    ("read_file_range", (), "FileSystem.read_file_range() missing 3 required "
     "positional arguments: 'path', 'offset', and 'limit'"),
    ("edit_replace", (), "FileSystem.edit_replace() missing 3 required "
     "positional arguments: 'path', 'old_text', and 'new_text'"),
    ("edit_replace", ("a.txt", "old"),
     "FileSystem.edit_replace() missing 1 required positional argument: 'new_text'"),
    ("glob", ("a", "b"), "FileSystem.glob() takes 1 positional arguments but 2 were given"),
    ("read_file_range", ("a", 0, 1, 2),
     "FileSystem.read_file_range() takes 3 positional arguments but 4 were given"),
    ("list", ("a", True, 3),
     "FileSystem.list() takes from 0 to 2 positional arguments but 3 were given"),
    ("glob", ("*", {"pattern": "*"}),
     "FileSystem.glob() got multiple values for argument 'pattern'"),
    ("glob", ({"patern": "*"},), "FileSystem.glob() got an unexpected keyword argument 'patern'"),
    ("list", ("*", 1),
     "argument 'only_files': 'int' object cannot be converted to 'PyBool'"),
    ("read_file", ("a.txt", {"encoding": None}),
     "argument 'encoding': 'NoneType' object cannot be converted to 'PyString'"),
    ("read_lines", ("a.txt", None),
     "argument 'start_line': 'NoneType' object cannot be interpreted as an integer"),
])
def test_matching_errors_of_methods_with_required_parameters(fs, method, args, message):
    kwargs = args[-1] if args and isinstance(args[-1], dict) else {}
    positional = args[:-1] if kwargs or (args and isinstance(args[-1], dict)) else args
    with pytest.raises(TypeError) as raised:
        getattr(fs, method)(*positional, **kwargs)
    assert str(raised.value) == message
