"""The module surface: module entry and registration, the one-interpreter rule, FileSystem
construction, close and the context-manager protocol, the value classes, and the argument
matching and conversion rules of the calling frame."""

import importlib
import inspect
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

import tolvane
from tolvane import _quill_core as core
from tolvane import FileMetadata, FileSystem, SearchOptions, SearchResult

CLASS_NAMES = ["FileSystem", "SearchResult", "SearchOptions", "FileMetadata"]
SUBINTERPRETER_REFUSAL = (
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576"
)


def run_python(script, *args, cwd=None):
    """Runs `script` in a fresh interpreter; returns the JSON it prints last."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def not_str(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'"


def not_bool(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to 'PyBool'"


def not_int(name, type_name):
    return f"argument '{name}': '{type_name}' object cannot be interpreted as an integer"


@pytest.fixture
def root(tmp_path):
    return str(tmp_path)


@pytest.fixture
def fs(root):
    fs = FileSystem(root, auto_watch=False)
    yield fs
    fs.close()


# ---- module entry and registration ----


def test_module_registers_classes_then_version_in_order():
    assert core.__all__ == CLASS_NAMES + ["__version__"]
    added = [name for name in vars(core) if name in core.__all__ or name == "__all__"]
    assert added == ["__all__"] + CLASS_NAMES + ["__version__"]
    assert core.__version__ == "0.1.3"
    assert core.__doc__ == "Tolvane Python module"


def test_module_defines_no_functions_of_its_own():
    callables = {name for name, value in vars(core).items() if callable(value)}
    assert callables == set(CLASS_NAMES)
    assert all(isinstance(getattr(core, name), type) for name in CLASS_NAMES)


def test_package_reexports_the_same_classes():
    for name in CLASS_NAMES + ["__version__"]:
        assert getattr(tolvane, name) is getattr(core, name)


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


# The import in a legacy (non-isolated) sub-interpreter, in a fresh process each time. run_string
# reports an exception raised inside the sub-interpreter differently per version: 3.12 raises
# _xxsubinterpreters.RunFailedError whose text is "<class 'ImportError'>: <message>"; 3.13
# returns a snapshot whose type.__name__ and msg describe it (None on success).
SUBINTERPRETER_SCRIPT = """
    import json, sys

    def import_in_main():
        try:
            import tolvane._quill_core
        except ImportError as error:
            return {"type": type(error).__name__, "msg": str(error)}
        return None

    def import_in_subinterpreter():
        code = "import tolvane._quill_core"
        if sys.version_info >= (3, 13):
            import _interpreters
            failure = _interpreters.run_string(_interpreters.create("legacy"), code)
            if failure is None:
                return None
            return {"type": failure.type.__name__, "msg": failure.msg}
        import _xxsubinterpreters
        try:
            _xxsubinterpreters.run_string(_xxsubinterpreters.create(isolated=False), code)
        except _xxsubinterpreters.RunFailedError as error:
            prefix = "<class 'ImportError'>: "
            assert str(error).startswith(prefix), str(error)
            return {"type": "ImportError", "msg": str(error)[len(prefix):]}
        return None

    report = {}
    if sys.argv[1] == "main-first":
        report["main"] = import_in_main()
        report["sub"] = import_in_subinterpreter()
    else:
        report["sub"] = import_in_subinterpreter()
        report["main"] = import_in_main()
    print(json.dumps(report))
"""

REFUSED = {"type": "ImportError", "msg": SUBINTERPRETER_REFUSAL}


def test_subinterpreter_is_refused_after_the_main_interpreter(tmp_path):
    report = run_python(SUBINTERPRETER_SCRIPT, "main-first", cwd=tmp_path)
    assert report == {"main": None, "sub": REFUSED}


def test_subinterpreter_first_binds_the_module_to_one_interpreter(tmp_path):
    report = run_python(SUBINTERPRETER_SCRIPT, "sub-first", cwd=tmp_path)
    if sys.version_info >= (3, 13):
        # 3.13 runs a single-phase init function with the main interpreter active first, so
        # the main interpreter is recorded and the sub-interpreter's own call is refused.
        assert report == {"sub": REFUSED, "main": None}
    else:
        assert report == {"sub": None, "main": REFUSED}


# ---- class objects ----


@pytest.mark.parametrize("cls", [FileSystem, SearchResult, SearchOptions, FileMetadata])
def test_classes_have_no_module_name(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__name__ in CLASS_NAMES


@pytest.mark.parametrize(
    "cls, doc, signature",
    [
        (
            FileSystem,
            "High-performance file system interface\n\n"
            "Provides stateful, concurrent file operations with in-memory indexing.",
            "(root, auto_watch=True)",
        ),
        (
            SearchOptions,
            "Search options",
            "(case_sensitive=False, max_results=1000, max_file_size=10485760, context_lines=0)",
        ),
        (FileMetadata, "File metadata stored in the index", None),
        (SearchResult, "A single search result", None),
    ],
)
def test_class_docstrings_and_text_signatures(cls, doc, signature):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    if signature is not None:
        assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("close", "($self)", "Close the filesystem and release resources"),
        ("__enter__", "($self)", None),
        ("__exit__", "($self, _exc_type=None, _exc_value=None, _traceback=None)", None),
    ],
)
def test_method_signatures_and_docstrings(fs, method, signature, doc):
    bound = getattr(fs, method)
    assert bound.__text_signature__ == signature
    assert bound.__doc__ == doc


ATTRIBUTE_DOCS = {
    FileMetadata: [
        ("size", "File size in bytes"),
        ("mtime", "Modification time as Unix timestamp"),
        ("is_dir", "Whether this is a directory"),
        ("is_binary", "Whether this appears to be a binary file"),
    ],
    SearchResult: [
        ("file", "File path where match was found"),
        ("line_number", "Line number (1-indexed)"),
        ("content", "The matching line content"),
        ("context_before", "Context lines before the match"),
        ("context_after", "Context lines after the match"),
    ],
    SearchOptions: [
        ("case_sensitive", "Case sensitive search"),
        ("max_results", "Maximum number of results"),
        ("max_file_size", "Maximum file size to search (bytes)"),
        ("context_lines", "Number of context lines before/after match"),
    ],
}


@pytest.mark.parametrize("cls", list(ATTRIBUTE_DOCS), ids=lambda c: c.__name__)
def test_attributes_in_declaration_order_with_docs(cls):
    descriptors = [
        (name, value.__doc__)
        for name, value in vars(cls).items()
        if inspect.isgetsetdescriptor(value)
    ]
    assert descriptors == ATTRIBUTE_DOCS[cls]


@pytest.mark.parametrize(
    "cls, args, kwargs",
    [
        (FileMetadata, (), {}),
        (FileMetadata, (1, 2.0, False, False), {}),
        (SearchResult, ("a", 1), {}),
        (SearchResult, (), {"file": "a"}),
    ],
)
def test_records_made_by_the_system_have_no_constructor(cls, args, kwargs):
    with pytest.raises(TypeError) as raised:
        cls(*args, **kwargs)
    assert str(raised.value) == "No constructor defined for " + cls.__name__


def test_panic_exception_derives_from_base_exception_only():
    # Faults are not reachable from Python; the class is found among BaseException's subclasses.
    found = [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]
    assert len(found) == 1
    panic = found[0]
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)


# ---- FileSystem construction ----


def test_constructor_accepts_positional_and_keyword_forms(root):
    for made in [
        FileSystem(root),
        FileSystem(root, False),
        FileSystem(root=root),
        FileSystem(root, auto_watch=False),
        FileSystem(auto_watch=True, root=root),
    ]:
        assert type(made) is FileSystem
        made.close()


def test_file_system_has_default_repr_and_no_attributes(fs):
    assert repr(fs).startswith("<builtins.FileSystem object at 0x")
    assert not hasattr(fs, "__dict__")
    with pytest.raises(AttributeError):
        fs.root = "/elsewhere"


def test_constructor_accepts_str_subclass_and_symlinked_directory(tmp_path):
    class Text(str):
        pass

    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    FileSystem(Text(str(tmp_path)), auto_watch=False).close()
    FileSystem(str(tmp_path / "link"), auto_watch=False).close()


def test_constructor_accepts_relative_root(tmp_path, monkeypatch):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    for relative in ["sub", "./sub/", "."]:
        FileSystem(relative, auto_watch=False).close()


MISSING_ROOT = "FileSystem.__new__() missing 1 required positional argument: 'root'"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, MISSING_ROOT),
        ((), {"auto_watch": 1}, MISSING_ROOT),
        (
            ("{root}", True, None),
            {},
            "FileSystem.__new__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            ("{root}",),
            {"auto_wach": True},
            "FileSystem.__new__() got an unexpected keyword argument 'auto_wach'",
        ),
        (
            ("{root}",),
            {"root": "{root}"},
            "FileSystem.__new__() got multiple values for argument 'root'",
        ),
        (
            ("{root}", True),
            {"auto_watch": True},
            "FileSystem.__new__() got multiple values for argument 'auto_watch'",
        ),
        ((1,), {"auto_watch": 1}, not_str("root", "int")),
        ((None,), {}, not_str("root", "NoneType")),
        ((b"/tmp",), {}, not_str("root", "bytes")),
        (("{root}", 1), {}, not_bool("auto_watch", "int")),
        (("{root}", None), {}, not_bool("auto_watch", "NoneType")),
        (("{root}",), {"auto_watch": "yes"}, not_bool("auto_watch", "str")),
    ],
)
def test_constructor_argument_errors(root, args, kwargs, message):
    def fill(value):
        return root if value == "{root}" else value

    with pytest.raises(TypeError) as raised:
        FileSystem(*map(fill, args), **{k: fill(v) for k, v in kwargs.items()})
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


def test_constructor_refuses_a_path_object(tmp_path):
    with pytest.raises(TypeError) as raised:
        FileSystem(tmp_path)
    assert str(raised.value) == (
        f"argument 'root': '{type(tmp_path).__qualname__}' object cannot be converted to 'PyString'"
    )


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file.txt").write_text("x")
    (tmp_path / "to_file").symlink_to(tmp_path / "file.txt")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    return tmp_path


@pytest.mark.parametrize(
    "relative, message",
    [
        ("missing", "Path not found: {root}/missing"),
        ("dir/missing/deeper", "Path not found: {root}/dir/missing/deeper"),
        ("file.txt/below", "Path not found: {root}/file.txt/below"),
        ("dangling", "Path not found: {root}/dangling"),
        ("loop", "Path not found: {root}/loop"),
        ("x" * 5000, "Path not found: {root}/" + "x" * 5000),
        ("dir\0tail", "Path not found: {root}/dir\0tail"),
        ("file.txt", "Path not found: {root}/file.txt is not a directory"),
        ("to_file", "Path not found: {root}/to_file is not a directory"),
    ],
)
def test_constructor_root_check(tree, relative, message):
    with pytest.raises(ValueError) as raised:
        FileSystem(f"{tree}/{relative}")
    assert type(raised.value) is ValueError
    assert str(raised.value) == message.format(root=tree)
    assert raised.value.args == (str(raised.value),)


@pytest.mark.parametrize("argument", ["", "no/such/dir", "./no/such/", "\0"])
def test_constructor_reports_the_root_as_typed(tmp_path, monkeypatch, argument):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as raised:
        FileSystem(argument)
    assert str(raised.value) == "Path not found: " + argument


# The root check runs as a non-root user, so that search permission is enforced. The
# subprocess drops to nobody itself after importing: the interpreter lives under /root, which
# nobody could not exec.
PERMISSION_SCRIPT = """
    import json, os, sys
    from tolvane import FileSystem

    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    base = sys.argv[1]
    report = {"euid": os.geteuid()}
    try:
        os.stat(base + "/locked/inner")
        report["stat"] = "ok"
    except PermissionError:
        report["stat"] = "denied"
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
        os.chmod(os.path.join(base, "locked"), 0o700)
        if os.geteuid() != 0:
            os.chmod(os.path.join(base, "locked"), 0o600)
        report = run_python(PERMISSION_SCRIPT, base, cwd=base)
    finally:
        os.chmod(os.path.join(base, "locked"), 0o700)
        shutil.rmtree(base)
    assert report["euid"] != 0
    assert report["stat"] == "denied"
    assert report["open"] == "ok"
    assert report["locked"] == "ok"  # its own metadata is readable; only the inside is not
    assert report["locked/inner"] == f"Path not found: {base}/locked/inner"
    assert report["locked/missing"] == f"Path not found: {base}/locked/missing"


# ---- close and the context-manager protocol ----


def test_close_returns_none_and_may_be_repeated(fs):
    assert fs.close() is None
    assert fs.close() is None
    assert fs.__exit__() is False


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None, None, None), {}),
        ((ValueError, ValueError("x"), None), {}),
        ((), {"_exc_type": None, "_exc_value": 1, "_traceback": "anything"}),
        ((None,), {"_traceback": None}),
    ],
)
def test_exit_returns_false(fs, args, kwargs):
    assert fs.__exit__(*args, **kwargs) is False


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (1, 2, 3, 4),
            {},
            "FileSystem.__exit__() takes from 0 to 3 positional arguments but 4 were given",
        ),
        (
            (),
            {"exc_type": None},
            "FileSystem.__exit__() got an unexpected keyword argument 'exc_type'",
        ),
        (
            (None,),
            {"_exc_type": None},
            "FileSystem.__exit__() got multiple values for argument '_exc_type'",
        ),
        (
            (None, None, None),
            {"_traceback": None},
            "FileSystem.__exit__() got multiple values for argument '_traceback'",
        ),
    ],
)
def test_exit_argument_errors(fs, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        fs.__exit__(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("method", ["close", "__enter__"])
def test_methods_without_parameters_refuse_arguments(fs, method):
    with pytest.raises(TypeError):
        getattr(fs, method)(None)
    with pytest.raises(TypeError):
        getattr(fs, method)(x=1)


@pytest.mark.parametrize("method", ["close", "__enter__", "__exit__"])
def test_methods_refuse_a_foreign_receiver(method):
    with pytest.raises(TypeError):
        getattr(FileSystem, method)(object())


def test_with_block_binds_the_object_itself(root):
    made = FileSystem(root, auto_watch=False)
    with made as bound:
        assert bound is made
    assert made.__enter__() is made


def test_with_block_propagates_the_exception_unchanged(root):
    class Marker(Exception):
        pass

    marker = Marker("inside")
    with pytest.raises(Marker) as raised:
        with FileSystem(root, auto_watch=False):
            raise marker
    assert raised.value is marker


# ---- SearchOptions ----

OPTION_DEFAULTS = {
    "case_sensitive": False,
    "max_results": 1000,
    "max_file_size": 10485760,
    "context_lines": 0,
}


def options_dict(options):
    return {name: getattr(options, name) for name in OPTION_DEFAULTS}


@pytest.mark.parametrize(
    "args, kwargs, changed",
    [
        ((), {}, {}),
        ((True, 5), {}, {"case_sensitive": True, "max_results": 5}),
        (
            (True, 1, 2, 3),
            {},
            {"case_sensitive": True, "max_results": 1, "max_file_size": 2, "context_lines": 3},
        ),
        ((), {"context_lines": 3}, {"context_lines": 3}),
        ((False,), {"max_file_size": 0}, {"max_file_size": 0}),
        ((), {"max_results": 2**64 - 1}, {"max_results": 2**64 - 1}),
        ((), {"max_results": True}, {"max_results": 1}),
    ],
)
def test_search_options_construction(args, kwargs, changed):
    options = SearchOptions(*args, **kwargs)
    assert options_dict(options) == {**OPTION_DEFAULTS, **changed}
    assert type(options.case_sensitive) is bool
    assert all(type(options_dict(options)[name]) is int for name in list(OPTION_DEFAULTS)[1:])


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (True, 1, 2, 3, 4),
            {},
            "SearchOptions.__new__() takes from 0 to 4 positional arguments but 5 were given",
        ),
        (
            (),
            {"max_result": 1},
            "SearchOptions.__new__() got an unexpected keyword argument 'max_result'",
        ),
        (
            (True,),
            {"case_sensitive": True},
            "SearchOptions.__new__() got multiple values for argument 'case_sensitive'",
        ),
        # matching errors come before any conversion
        (
            ("x", 2, 3, 4),
            {"bogus": 1},
            "SearchOptions.__new__() got an unexpected keyword argument 'bogus'",
        ),
        ((), {"case_sensitive": 1}, not_bool("case_sensitive", "int")),
        ((), {"max_results": "5"}, not_int("max_results", "str")),
        ((), {"max_file_size": 1.5}, not_int("max_file_size", "float")),
        ((), {"context_lines": None}, not_int("context_lines", "NoneType")),
        # conversion in parameter order, whatever the keyword order
        ((), {"context_lines": "x", "case_sensitive": 0}, not_bool("case_sensitive", "int")),
        ((), {"max_file_size": -1, "max_results": "x"}, not_int("max_results", "str")),
    ],
)
def test_search_options_type_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        SearchOptions(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("case_sensitive", 1, TypeError, not_bool("case_sensitive", "int")),
        ("case_sensitive", None, TypeError, not_bool("case_sensitive", "NoneType")),
        ("max_results", "5", TypeError, not_int("max_results", "str")),
        ("max_file_size", 2.0, TypeError, not_int("max_file_size", "float")),
        ("max_results", -1, OverflowError, None),
        ("context_lines", 2**64, OverflowError, None),
    ],
)
def test_search_options_setter_errors_keep_the_value(name, value, error, message):
    options = SearchOptions(True, 7, 8, 9)
    before = options_dict(options)
    with pytest.raises(error) as raised:
        setattr(options, name, value)
    assert type(raised.value) is error
    if message is None:
        assert not str(raised.value).startswith("argument")
    else:
        assert str(raised.value) == message
    assert options_dict(options) == before


@pytest.mark.parametrize(
    "name, value",
    [
        ("case_sensitive", True),
        ("case_sensitive", False),
        ("max_results", 0),
        ("max_results", 2**64 - 1),
        ("max_file_size", 123),
        ("context_lines", 5),
    ],
)
def test_search_options_setters(name, value):
    options = SearchOptions()
    other = SearchOptions()
    setattr(options, name, value)
    assert options_dict(options) == {**OPTION_DEFAULTS, name: value}
    assert options_dict(other) == OPTION_DEFAULTS


@pytest.mark.parametrize("name", list(OPTION_DEFAULTS))
def test_search_options_attributes_cannot_be_deleted(name):
    options = SearchOptions(True, 7, 8, 9)
    before = options_dict(options)
    with pytest.raises(AttributeError) as raised:
        delattr(options, name)
    assert str(raised.value) == "can't delete attribute"
    assert options_dict(options) == before


def test_search_options_have_no_other_attributes_and_default_repr():
    options = SearchOptions()
    with pytest.raises(AttributeError):
        options.extra = 1
    assert not hasattr(options, "__dict__")
    assert repr(options).startswith("<builtins.SearchOptions object at 0x")


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


@pytest.mark.parametrize(
    "value, expected",
    [(IntSubclass(9), 9), (Index(7), 7), (Index(2**64 - 1), 2**64 - 1), (False, 0)],
)
def test_integer_conversion_accepts_ints_and_index(value, expected):
    assert SearchOptions(max_results=value).max_results == expected
    options = SearchOptions()
    options.context_lines = value
    assert options.context_lines == expected


def test_index_raising_a_non_type_error_passes_unchanged():
    error = ValueError("from __index__")
    with pytest.raises(ValueError) as raised:
        SearchOptions(max_results=Index(error))
    assert raised.value is error


def test_index_raising_type_error_is_prefixed_and_keeps_its_cause():
    cause = KeyError("cause")
    error = TypeError("from __index__")
    error.__cause__ = cause
    with pytest.raises(TypeError) as raised:
        SearchOptions(max_file_size=Index(error))
    assert raised.value is not error
    assert str(raised.value) == "argument 'max_file_size': from __index__"
    assert raised.value.__cause__ is cause


def test_type_error_subclass_from_index_is_not_prefixed():
    class Special(TypeError):
        pass

    error = Special("special")
    with pytest.raises(Special) as raised:
        SearchOptions(max_results=Index(error))
    assert raised.value is error


@pytest.mark.parametrize(
    "value, message",
    [
        (-1, "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
        (Index(-3), "can't convert negative int to unsigned"),
        (Index(2**70), "int too big to convert"),
    ],
)
def test_out_of_range_integers_raise_overflow_unchanged(value, message):
    with pytest.raises(OverflowError) as raised:
        SearchOptions(max_results=value)
    assert type(raised.value) is OverflowError
    assert str(raised.value) == message


def test_index_returning_a_non_int_is_a_prefixed_type_error():
    with pytest.raises(TypeError) as raised:
        SearchOptions(max_results=Index("7"))
    assert str(raised.value).startswith("argument 'max_results': __index__ returned non-int")


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

    for value in [Truthy(), 1, 0, "True", 1.0]:
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


@pytest.mark.parametrize("name", ["bool_", "bool"])
@pytest.mark.parametrize("result", [True, False])
def test_bool_conversion_calls_dunder_bool_of_numpy_bools(name, result):
    options = SearchOptions(case_sensitive=numpy_like_bool("numpy", name, result))
    assert options.case_sensitive is result


@pytest.mark.parametrize(
    "module, name, result, error, message",
    [
        ("numpy", "bool_", 1, TypeError, not_bool("case_sensitive", "int")),
        ("numpy", "bool_", ValueError("inside"), ValueError, "inside"),
        ("numpy", "bool_", TypeError("inside"), TypeError, "argument 'case_sensitive': inside"),
        ("numpy", "int8", True, TypeError, not_bool("case_sensitive", "int8")),
        ("numpyx", "bool_", True, TypeError, not_bool("case_sensitive", "bool_")),
    ],
)
def test_bool_conversion_refusals_through_dunder_bool(module, name, result, error, message):
    with pytest.raises(error) as raised:
        SearchOptions(case_sensitive=numpy_like_bool(module, name, result))
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_numpy_bools_are_accepted(root):
    numpy = pytest.importorskip("numpy")
    assert SearchOptions(case_sensitive=numpy.True_).case_sensitive is True
    assert SearchOptions(numpy.bool_(False)).case_sensitive is False
    FileSystem(root, auto_watch=numpy.False_).close()


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
        lambda: SearchOptions(max_results="x"),
        lambda: SearchOptions(1, 2, 3, 4, 5),
        lambda: SearchOptions(max_result=1),
        lambda: SearchOptions(True, case_sensitive=True),
        lambda: SearchOptions(max_results=-1),
        lambda: SearchOptions(context_lines=2**64),
        lambda: SearchOptions(max_file_size=BadIndex()),
        lambda: SearchOptions(case_sensitive=1),
        lambda: SearchOptions(case_sensitive=bool_()),
        lambda: FileSystem(),
        lambda: FileSystem("\\udc80"),
        lambda: FileSystem(root=1),
        lambda: FileSystem(root, auto_watch=None),
        lambda: FileSystem(root + "/missing"),
        lambda: fs.__exit__(1, 2, 3, 4),
        lambda: fs.__exit__(bogus=1),
        lambda: setattr(options, "max_results", "x"),
        lambda: setattr(options, "context_lines", -1),
        lambda: delattr(options, "max_results"),
        lambda: FileMetadata(),
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
    rounds = 100_000  # two million failing calls
    report = run_python(LEAK_SCRIPT, str(rounds), cwd=tmp_path)
    # A leak of a single small object per call would add several megabytes.
    assert report["after"] - report["before"] < 1 << 20


# ---- argument matching of methods with several required parameters ----
# These messages need a method with two or three required parameters; the tests run once
# the methods exist.


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("glob", (), "FileSystem.glob() missing 1 required positional argument: 'pattern'"),
        (
            "read_file_range",
            ("a.txt",),
            "FileSystem.read_file_range() missing 2 required positional arguments: "
            "'offset' and 'limit'",
        ),
        (
            "read_file_range",
            (),
            "FileSystem.read_file_range() missing 3 required positional arguments: "
            "'path', 'offset', and 'limit'",
        ),
        (
            "edit_replace",
            (),
            "FileSystem.edit_replace() missing 3 required positional arguments: "
            "'path', 'old_text', and 'new_text'",
        ),
        (
            "edit_replace",
            ("a.txt", "old"),
            "FileSystem.edit_replace() missing 1 required positional argument: 'new_text'",
        ),
        ("glob", ("a", "b"), "FileSystem.glob() takes 1 positional arguments but 2 were given"),
        (
            "read_file_range",
            ("a", 0, 1, 2),
            "FileSystem.read_file_range() takes 3 positional arguments but 4 were given",
        ),
    ],
)
def test_matching_errors_of_methods_with_required_parameters(fs, method, args, message):
    if not hasattr(FileSystem, method):
        pytest.skip(f"FileSystem.{method} does not exist yet")
    with pytest.raises(TypeError) as raised:
        getattr(fs, method)(*args)
    assert str(raised.value) == message
