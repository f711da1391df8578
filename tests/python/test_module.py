"""The module surface and argument binding, as a caller sees them."""

import contextlib
import ctypes
import importlib.metadata
import json
import subprocess
import sys

import pytest

import quillforge
from quillforge import _native

from support import BIND, GENERATE, RENDER, UNDER_ASAN, needs_native_machine


def test_surface():
    assert _native.__doc__ == ""
    # The module's version comes from the header CMake generates, the package's from its metadata.
    assert _native.version() == importlib.metadata.version("quillforge")
    assert quillforge.__version__ == _native.version()
    names = [
        "create_block_json",
        "generate_candidate_json",
        "render_lore_summary_json",
        "schema_bundle_json",
        "version",
    ]
    assert type(_native.__all__) is list and _native.__all__ == names
    for name in _native.__all__:
        function = getattr(_native, name)
        assert function.__doc__ is None
        assert function.__module__ == "quillforge._native"
        assert function.__self__ is _native
    assert quillforge.__all__ == names


def test_initialising_again_returns_the_same_module():
    init = ctypes.PyDLL(_native.__file__).PyInit__native
    init.restype = ctypes.py_object
    again = init()
    assert again is _native
    assert again.create_block_json is _native.create_block_json
    assert _native.__all__.count("version") == 1


class Str(str):
    pass


@pytest.mark.parametrize(
    ("block_id", "content", "expected"),
    [
        ("b1", "Hello", '{"id":"b1","content":"Hello"}'),
        (Str("x"), Str("y"), '{"id":"x","content":"y"}'),
        (" b1 ", 'a"b\nc\x0bd/é😀', '{"id":" b1 ","content":"a\\"b\\nc\\u000bd/é😀"}'),
        ("\xa0", "\u3000", '{"id":"\xa0","content":"\u3000"}'),
        ("b1", "\x00\x1f\x7f\u2028", '{"id":"b1","content":"\\u0000\\u001f\x7f\u2028"}'),
    ],
)
def test_create_block_json(block_id, content, expected):
    assert _native.create_block_json(block_id, content) == expected
    assert _native.create_block_json(content=content, id=block_id) == expected
    assert _native.create_block_json(block_id, content=content) == expected
    assert json.loads(expected) == {"id": block_id, "content": content}


def _call(function, *args, **kwargs):
    with pytest.raises(BaseException) as raised:
        function(*args, **kwargs)
    return raised.value


# The binder and the str conversion, over the three signatures: every message of
# its own (the binder's begin with the function's name), with nothing chained;
# keywords are examined before missing arguments, surplus positionals before
# keywords, and the first argument before the second.
# fmt: off
BINDING_ERRORS = [
    (BIND, (), {}, "missing 2 required positional arguments: 'id' and 'content'"),
    (BIND, ("b1",), {}, "missing 1 required positional argument: 'content'"),
    (BIND, (), {"id": "b1"}, "missing 1 required positional argument: 'content'"),
    (BIND, (), {"content": "x"}, "missing 1 required positional argument: 'id'"),
    (BIND, ("a", "b", "c"), {"x": 1}, "takes 2 positional arguments but 3 were given"),
    (BIND, ("a",), {"id": "b"}, "got multiple values for argument 'id'"),
    (BIND, (), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    (BIND, (), {"\ud800": 1}, "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (BIND, (), {"Id": "x", "content": "y"}, "got an unexpected keyword argument 'Id'"),
    (BIND, (1, None), {}, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    (BIND, ("b1", b"x"), {}, "argument 'content': 'bytes' object cannot be converted to 'PyString'"),
    (BIND, ("b1", ["x"]), {}, "argument 'content': 'list' object cannot be converted to 'PyString'"),
    (BIND, ("", ""), {}, "validation failed: NarrativeBlock.id must not be empty"),
    (BIND, ("b1", "\t\n  "), {}, "validation failed: NarrativeBlock.content must not be empty"),
    (BIND, (" \f\r", "x"), {}, "validation failed: NarrativeBlock.id must not be empty"),
    (GENERATE, (), {}, "missing 2 required positional arguments: 'lore_json' and 'config_json'"),
    (GENERATE, ("a",), {"extra": "b"}, "got an unexpected keyword argument 'extra'"),
    (GENERATE, ("a", "b"), {"lore_json": "a"}, "got multiple values for argument 'lore_json'"),
    (GENERATE, ("a", None), {}, "argument 'config_json': 'NoneType' object cannot be converted to 'PyString'"),
    (RENDER, (), {}, "missing 1 required positional argument: 'lore_json'"),
    (RENDER, ("a", "b"), {}, "takes 1 positional arguments but 2 were given"),
    (RENDER, (), {"lore": "a"}, "got an unexpected keyword argument 'lore'"),
]
# fmt: on


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(function, args, kwargs, message):
    raised = _call(function, *args, **kwargs)
    if not message.startswith(("argument ", "validation failed")):
        message = f"{function.__name__}() {message}"
    assert type(raised) is (ValueError if message.startswith("validation") else TypeError)
    assert str(raised) == message
    assert raised.args == (message,)
    assert raised.__cause__ is None


def test_conversion_error_of_a_nested_class_uses_its_qualified_name():
    class Inner:
        pass

    raised = _call(BIND, Inner(), "x")
    assert str(raised) == (
        "argument 'id': 'test_conversion_error_of_a_nested_class_uses_its_qualified_name.<locals>.Inner' "
        "object cannot be converted to 'PyString'"
    )


@pytest.mark.parametrize("call", [lambda: BIND("b1", "x\ud800"), lambda: GENERATE("\ud800", 1)])
def test_lone_surrogate_raises_the_interpreters_unicode_error_unchanged(call):
    raised = _call(call)
    assert type(raised) is UnicodeEncodeError
    assert "argument" not in str(raised)
    assert raised.reason == "surrogates not allowed"


def test_no_argument_functions_reject_arguments_themselves():
    with pytest.raises(TypeError, match="takes no arguments"):
        _native.version(1)  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        _native.version(x=1)  # type: ignore[call-arg]


def _mixed_calls(id_text, content, rounds):
    for _ in range(rounds):
        BIND(id_text, content)
        for bad in ((id_text, 1), (id_text,), (id_text, content, content)):
            with contextlib.suppress(TypeError):
                BIND(*bad)
        with contextlib.suppress(ValueError):
            BIND(id_text, " ")


def test_module_stays_usable_and_arguments_are_not_leaked():
    id_text, content = "leak-check-id" * 3, "leak-check-content" * 3
    before = sys.getrefcount(id_text), sys.getrefcount(content)
    _mixed_calls(id_text, content, 1000)
    assert (sys.getrefcount(id_text), sys.getrefcount(content)) == before
    assert BIND("b1", "Hello") == '{"id":"b1","content":"Hello"}'


def test_subinterpreter_import_is_refused_and_the_main_module_keeps_working():
    _interpreters = pytest.importorskip("_interpreters")
    # A legacy interpreter lets single-phase modules run their own init, so
    # the refusal is the module's own.
    interpreter = _interpreters.create("legacy")
    try:
        failure = _interpreters.exec(interpreter, "import quillforge._native")
    finally:
        _interpreters.destroy(interpreter)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "subinterpreters" in failure.msg and "not yet support" in failure.msg
    assert _native.create_block_json("b1", "Hello") == '{"id":"b1","content":"Hello"}'


OUT_OF_MEMORY = r"""
import json, resource, sys
from quillforge import _native
size = 20_000_000
def arguments(name):  # only the arguments of the function under test are built
    if name == "generate":
        return _native.generate_candidate_json, (json.dumps({"id": "l", "title": "t", "blocks": [["b", "w" * size]]}),
                                                 "[0.7,3,42]")
    if name == "summary":
        return _native.render_lore_summary_json, (json.dumps({"id": "l", "title": "t" * size, "blocks": [["b", "x"]]}),)
    return _native.create_block_json, ("b", "w" * size)
function, arguments = arguments(sys.argv[1])
with open("/proc/self/status") as status:
    virtual = int(next(line for line in status if line.startswith("VmSize:")).split()[1]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (virtual + int(float(sys.argv[2]) * size),) * 2)
try:
    result = function(*arguments)
except Exception as error:
    print(type(error).__name__)
else:
    print("ok", len(result) > size)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux") or UNDER_ASAN, reason="limits the address space")
@needs_native_machine
@pytest.mark.parametrize("function", ["generate", "summary", "block"])
def test_running_out_of_memory_for_a_result_raises_memory_error_quietly(function):
    # Whichever allocation fails, the caller sees an ordinary MemoryError and nothing is printed.
    outcomes = set()
    for headroom in (0.3, 0.9, 1.2, 1.5, 1.8, 3.5):
        done = subprocess.run(
            [sys.executable, "-c", OUT_OF_MEMORY, function, str(headroom)], capture_output=True, text=True, timeout=120
        )
        assert (done.returncode, done.stderr) == (0, ""), (headroom, done.stderr)
        outcomes.add(done.stdout.strip())
    assert outcomes <= {"MemoryError", "ok True"} and "MemoryError" in outcomes, outcomes
