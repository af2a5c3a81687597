"""The module object, its five functions, and their argument rules."""

import importlib.util
import inspect
import pathlib

import pytest

import velq

SIGNATURES = {
    "dumps": ("(json_text)", "Compile a JSON string to VELQ binary bytes."),
    "loads": ("(bytes)", "Decompile VELQ binary bytes to a Python object."),
    "dump": ("(json_text, path)", "Compile JSON string and write VELQ binary to a file."),
    "load": ("(path)", "Read a VELQ file and decompile to a Python object."),
    "emit": ("(obj)", "Emit a Python value as VELQ binary (no JSON string)."),
}


def test_module_attributes():
    assert velq.__all__ == ["dumps", "loads", "dump", "load", "emit"]
    assert velq.__doc__ == ""
    assert velq.__name__ == "velq"


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_attributes(name):
    function = getattr(velq, name)
    signature, doc = SIGNATURES[name]
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__doc__ == doc
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == "velq"
    assert function.__self__ is None


def test_each_module_object_gets_its_own_functions():
    module_source = importlib.util.find_spec("velq")
    fresh = importlib.util.module_from_spec(module_source)
    module_source.loader.exec_module(fresh)
    assert fresh is not velq
    assert fresh.__all__ == velq.__all__
    assert fresh.dumps is not velq.dumps
    assert fresh.loads(fresh.dumps("[1]")) == [1]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: velq.dumps(), "dumps() missing 1 required positional argument: 'json_text'"),
        (lambda: velq.dumps("1", "2"), "dumps() takes 1 positional arguments but 2 were given"),
        (lambda: velq.dumps(text="1"), "dumps() got an unexpected keyword argument 'text'"),
        (lambda: velq.dumps("1", json_text="1"), "dumps() got multiple values for argument 'json_text'"),
        (lambda: velq.loads(b"", b""), "loads() takes 1 positional arguments but 2 were given"),
        (lambda: velq.loads(), "loads() missing 1 required positional argument: 'bytes'"),
        (lambda: velq.dump(), "dump() missing 2 required positional arguments: 'json_text' and 'path'"),
        (lambda: velq.dump("1"), "dump() missing 1 required positional argument: 'path'"),
        (lambda: velq.dump(path="p"), "dump() missing 1 required positional argument: 'json_text'"),
        (lambda: velq.dump("1", "p", "x"), "dump() takes 2 positional arguments but 3 were given"),
        (lambda: velq.dump("1", "p", json_text="1"), "dump() got multiple values for argument 'json_text'"),
        (lambda: velq.load(), "load() missing 1 required positional argument: 'path'"),
        (lambda: velq.load(file="p"), "load() got an unexpected keyword argument 'file'"),
        (lambda: velq.emit(), "emit() missing 1 required positional argument: 'obj'"),
        (lambda: velq.emit(1, 2), "emit() takes 1 positional arguments but 2 were given"),
        (lambda: velq.emit(1, obj=2), "emit() got multiple values for argument 'obj'"),
        (lambda: velq.emit(x=1), "emit() got an unexpected keyword argument 'x'"),
        # Order of the checks: positional count, then keywords in the order given, then missing ones.
        (lambda: velq.emit(1, 2, x=3), "emit() takes 1 positional arguments but 2 were given"),
        (lambda: velq.dump(x=1), "dump() got an unexpected keyword argument 'x'"),
        (lambda: velq.dump("1", json_text="a", x=1), "dump() got multiple values for argument 'json_text'"),
        (lambda: velq.dump("1", x=1, json_text="a"), "dump() got an unexpected keyword argument 'x'"),
        (lambda: velq.dump(**{"x\udc80": 1}), "dump() got an unexpected keyword argument 'x\udc80'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_all_parameters_accept_keywords(tmp_path):
    path = str(tmp_path / "doc.velq")
    data = velq.dumps(json_text="[1]")
    assert velq.loads(bytes=data) == [1]
    assert velq.dump(path=path, json_text="[2]") is None
    assert velq.load(path=path) == [2]
    assert velq.loads(velq.emit(obj=3)) == 3


class Outer:
    class Inner:
        pass


class Text(str):
    pass


class Data(bytes):
    pass


@pytest.mark.parametrize(
    "call, error, message, parameter",
    [
        (lambda: velq.dumps(None), TypeError, "'None' is not an instance of 'str'", "json_text"),
        (lambda: velq.dumps(b"1"), TypeError, "'bytes' object is not an instance of 'str'", "json_text"),
        (lambda: velq.dumps(Outer.Inner()), TypeError, "'Outer.Inner' object is not an instance of 'str'",
         "json_text"),
        (lambda: velq.dumps("\ud800"), UnicodeEncodeError, None, "json_text"),
        (lambda: velq.loads("abc"), TypeError, "'str' object is not an instance of 'bytes'", "bytes"),
        (lambda: velq.loads(bytearray(b"x")), TypeError, "'bytearray' object is not an instance of 'bytes'",
         "bytes"),
        (lambda: velq.loads(memoryview(b"x")), TypeError, "'memoryview' object is not an instance of 'bytes'",
         "bytes"),
        (lambda: velq.loads(None), TypeError, "'None' is not an instance of 'bytes'", "bytes"),
        (lambda: velq.dump(1, "p"), TypeError, "'int' object is not an instance of 'str'", "json_text"),
        (lambda: velq.dump(None, None), TypeError, "'None' is not an instance of 'str'", "json_text"),
        # The path is converted before the JSON text is compiled.
        (lambda: velq.dump("not json", 5), TypeError, "'int' object is not an instance of 'str'", "path"),
        (lambda: velq.dump("1", pathlib.Path("p")), TypeError, "'PosixPath' object is not an instance of 'str'",
         "path"),
        (lambda: velq.dump("1", "\udcff"), UnicodeEncodeError, None, "path"),
        (lambda: velq.load(b"p"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
        (lambda: velq.load(pathlib.Path("p")), TypeError, "'PosixPath' object is not an instance of 'str'", "path"),
    ],
)
def test_argument_conversion_errors(call, error, message, parameter):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_subclasses_are_accepted_as_arguments(tmp_path):
    data = velq.dumps(Text('{"a": [1, 2]}'))
    assert velq.loads(Data(data)) == {"a": [1, 2]}
    path = Text(str(tmp_path / "doc.velq"))
    velq.dump(Text("true"), path)
    assert velq.load(path) is True
