"""The call frame: argument binding, argument conversion and the access counter."""

import array
import ctypes
import operator
import pathlib

import numpy
import pytest

from helpers import built, exact
from storefile import encode_store
from tarndb import _tarndb

W, R = _tarndb._TarnWriter, _tarndb._TarnReader
KEY_ERROR = "^key must be str or bytes$"
UNTOUCHED = "_TarnWriter(objects=2, keys=0)"


def interpreter_error(func, value):
    """The text the interpreter itself raises for func(value)."""
    with pytest.raises(Exception) as info:
        func(value)
    return str(info.value)


_as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_u64.argtypes, _as_u64.restype = [ctypes.py_object], ctypes.c_ulonglong


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Seq:
    """A sequence of one item that runs a hook when the item is fetched."""

    def __init__(self, hook=lambda: None, length=lambda: 1):
        self.hook, self.length = hook, length

    def __len__(self):
        return self.length()

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        self.hook()
        return 107  # b"k"


def ident(value):
    """A stable test id: the repr, or the type name where the repr holds an address."""
    text = repr(value)
    return type(value).__name__ if " at 0x" in text else text


def fail(exc):
    def hook():
        raise exc
    return hook


@pytest.fixture
def store(tmp_path):
    path = tmp_path / "s.trnd"
    path.write_bytes(encode_store([b"abc", b"empty", b"e-acute"], {b"k": 0, b"": 1, "é".encode(): 2}))
    return str(path)


@pytest.fixture
def reader(store):
    return R(store)


@pytest.fixture
def writer():
    w = W()
    w.add_object_raw(b"abc")
    w.add_object_raw(b"def")
    return w


class TestArgumentBinding:
    @pytest.mark.parametrize("call, text", [
        ("W(1)", "_TarnWriter.__new__() takes 0 positional arguments but 1 was given"),
        ("W(1, 2)", "_TarnWriter.__new__() takes 0 positional arguments but 2 were given"),
        ("W(x=1)", "_TarnWriter.__new__() got an unexpected keyword argument 'x'"),
        ("R(p, True, 3)", "_TarnReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("R(verify=True)", "_TarnReader.__new__() missing 1 required positional argument: 'path'"),
        ("R(p, path=p)", "_TarnReader.__new__() got multiple values for argument 'path'"),
        ("R(p, True, verify=True)", "_TarnReader.__new__() got multiple values for argument 'verify'"),
        ("R(p, verfy=True)", "_TarnReader.__new__() got an unexpected keyword argument 'verfy'"),
        ("r.get_raw()", "_TarnReader.get_raw() missing 1 required positional argument: 'key'"),
        ("r.get_raw(b'k', b'k')", "_TarnReader.get_raw() takes 1 positional arguments but 2 were given"),
        ("r.get_raw(b'k', key=b'k')", "_TarnReader.get_raw() got multiple values for argument 'key'"),
        ("r.get_raw(k=b'k')", "_TarnReader.get_raw() got an unexpected keyword argument 'k'"),
        ("r.prefix_raw(key=b'')", "_TarnReader.prefix_raw() got an unexpected keyword argument 'key'"),
        ("r.__exit__()", "_TarnReader.__exit__() missing 3 required positional arguments: "
                         "'_exc_type', '_exc_val', and '_exc_tb'"),
        ("r.__exit__(None)",
         "_TarnReader.__exit__() missing 2 required positional arguments: '_exc_val' and '_exc_tb'"),
        ("r.__exit__(None, None)", "_TarnReader.__exit__() missing 1 required positional argument: '_exc_tb'"),
        ("r.__exit__(1, 2, 3, 4)", "_TarnReader.__exit__() takes 3 positional arguments but 4 were given"),
        ("w.add_key()", "_TarnWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
        ("w.add_key(obj_id=0)", "_TarnWriter.add_key() missing 1 required positional argument: 'key'"),
        ("w.add_key('k', 0, 1)", "_TarnWriter.add_key() takes 2 positional arguments but 3 were given"),
        ("w.add_key('k', key='k')", "_TarnWriter.add_key() got multiple values for argument 'key'"),
        ("w.add_object_raw(raw=b'')", "_TarnWriter.add_object_raw() got an unexpected keyword argument 'raw'"),
        ("w.build('a', 'b')", "_TarnWriter.build() takes 1 positional arguments but 2 were given"),
    ])
    def test_texts(self, call, text, writer, reader, store):
        with pytest.raises(TypeError, match=exact(text)):
            eval(call, {"W": W, "R": R, "w": writer, "r": reader, "p": store})
        assert repr(writer) == UNTOUCHED

    def test_keywords_bind_by_name(self, writer, reader, store, tmp_path):
        assert reader.get_raw(key=b"k") == b"abc" and reader.exists(key="é") is True
        assert reader.prefix_raw(prefix="k") == [("k", b"abc")]
        assert reader.__exit__(_exc_tb=None, _exc_val=None, _exc_type=None) is False
        assert R(verify=False, path=store).get_raw(b"") == b"empty"
        assert writer.add_object_raw(raw_bytes=b"x") == 2
        writer.add_key(obj_id=1, key="k")
        writer.build(path=str(tmp_path / "kw.trnd"))
        assert (tmp_path / "kw.trnd").read_bytes() == encode_store([b"abc", b"def", b"x"], {b"k": 1})


class TestKeyRule:
    @pytest.mark.parametrize("key, expected", [
        ("k", b"k"), (b"k", b"k"), (bytearray(b"k"), b"k"), ([107], b"k"), ((107,), b"k"),
        (range(107, 108), b"k"), (memoryview(b"k"), b"k"), (array.array("B", b"k"), b"k"),
        (array.array("H", [107]), b"k"), (Seq(length=fail(RuntimeError("no length"))), b"k"),
        (type("S", (str,), {})("k"), b"k"), (type("B", (bytes,), {})(b"k"), b"k"),
        ("", b""), (b"", b""), ([], b""), ((), b""),
        ("é", "é".encode()), (b"\xc3\xa9", "é".encode()), ([0xC3, 0xA9], "é".encode()),
    ], ids=ident)
    def test_accepted(self, key, expected, reader, writer, tmp_path):
        payload = {b"k": b"abc", b"": b"empty", "é".encode(): b"e-acute"}[expected]
        assert reader.get_raw(key) == payload and reader.exists(key) is True
        writer.add_key(key, 1)
        assert built(writer, tmp_path) == encode_store([b"abc", b"def"], {expected: 1})

    def test_byte_values_0_and_255(self, writer, tmp_path):
        writer.add_key([0, 255, True], 0)
        assert built(writer, tmp_path) == encode_store([b"abc", b"def"], {b"\x00\xff\x01": 0})

    @pytest.mark.parametrize("key", [
        [256], [-1], [2**70], ["a"], [1.0], [107, None], None, 5, 1.5, {}, {107: 1}, set(),
        iter([107]), object(), "\udcff", "k\ud800", type("S", (str,), {})("\udcff"),
        array.array("h", [-1]), Seq(fail(KeyError("inner"))),
    ], ids=ident)
    def test_rejected(self, key, reader, writer):
        for call in (reader.get_raw, reader.exists, reader.prefix_raw, lambda k: writer.add_key(k, 0)):
            with pytest.raises(ValueError, match=KEY_ERROR) as info:
                call(key)
            assert info.value.__cause__ is None
        assert repr(writer) == UNTOUCHED


class TestBytesRule:
    @pytest.mark.parametrize("value, text", [
        (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
        ("x", "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        ([120], "'list' object is not an instance of 'bytes'"),
    ])
    def test_rejected(self, value, text, writer):
        with pytest.raises(TypeError, match=exact("argument 'raw_bytes': " + text)):
            writer.add_object_raw(value)
        assert repr(writer) == UNTOUCHED

    def test_bytes_subclass(self, writer, tmp_path):
        assert writer.add_object_raw(type("B", (bytes,), {})(b"\x00sub\xff")) == 2
        assert built(writer, tmp_path) == encode_store([b"abc", b"def", b"\x00sub\xff"], {})


class TestPathAndFlagRules:
    @pytest.mark.parametrize("value, text", [
        (pathlib.Path("x.trnd"), "'PosixPath' object is not an instance of 'str'"),
        (b"x.trnd", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
    ])
    def test_path_type(self, value, text, writer, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        for call in (R, writer.build):
            with pytest.raises(TypeError, match=exact("argument 'path': " + text)):
                call(value)
        assert list(tmp_path.iterdir()) == []

    def test_path_lone_surrogate_is_unprefixed(self, writer, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        expected = interpreter_error(str.encode, "x\udcff.trnd")
        for call in (R, writer.build, lambda p: R(p, verify=1)):
            with pytest.raises(UnicodeEncodeError, match=exact(expected)):
                call("x\udcff.trnd")
        assert list(tmp_path.iterdir()) == []

    def test_path_before_verify_and_str_subclass(self, store):
        with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' "):
            R(pathlib.Path(store), verify=1)
        assert R(type("P", (str,), {})(store)).get_raw("k") == b"abc"

    @pytest.fixture
    def bad_crc(self, tmp_path):
        data = bytearray(encode_store([b"abc"], {b"k": 0}))
        data[-1] ^= 1
        (tmp_path / "bad.trnd").write_bytes(bytes(data))
        return str(tmp_path / "bad.trnd")

    @pytest.mark.parametrize("flag, checks", [
        ((), True), ((True,), True), ((False,), False), ((numpy.True_,), True), ((numpy.False_,), False),
        ((type("bool", (), {"__module__": "numpy", "__bool__": lambda s: False})(),), False),
    ], ids=ident)
    def test_verify_by_truth_value(self, flag, checks, bad_crc):
        if checks:
            with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch "):
                R(bad_crc, *flag)
        else:
            assert R(bad_crc, verify=flag[0]).keys() == ["k"]

    @pytest.mark.parametrize("flag, text", [
        (1, "'int' object is not an instance of 'bool'"),
        (0, "'int' object is not an instance of 'bool'"),
        (None, "'None' is not an instance of 'bool'"),
        (numpy.int64(1), "'int64' object is not an instance of 'bool'"),
        (type("bool_", (), {"__module__": "numpyx"})(), "'bool_' object is not an instance of 'bool'"),
        (type("bool_", (), {"__module__": "numpy"})(),
         "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    ], ids=ident)
    def test_verify_rejected(self, flag, text, store):
        with pytest.raises(TypeError, match=exact("argument 'verify': " + text)):
            R(store, verify=flag)

    def test_failing_truth_slot_passes_its_error_on(self, store):
        fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda s: 1 / 0})()
        with pytest.raises(ZeroDivisionError):
            R(store, verify=fake)


class TestUnsignedRule:
    @pytest.mark.parametrize("obj_id, target", [
        (1, 1), (True, 1), (False, 0), (Index(1), 1), (numpy.uint64(1), 1), (numpy.int8(0), 0),
    ], ids=repr)
    def test_accepted(self, obj_id, target, writer, tmp_path):
        writer.add_key("k", obj_id)
        assert built(writer, tmp_path) == encode_store([b"abc", b"def"], {b"k": target})

    @pytest.mark.parametrize("obj_id", [-1, 2**64, -(2**64), 2**100, Index(-1), Index(2**64)], ids=repr)
    def test_overflow_is_unprefixed(self, obj_id, writer):
        expected = interpreter_error(_as_u64, operator.index(obj_id))
        with pytest.raises(OverflowError, match=exact(expected)):
            writer.add_key("k", obj_id)
        assert repr(writer) == UNTOUCHED

    @pytest.mark.parametrize("obj_id", ["0", 1.5, None, b"\x00", Index("x")], ids=repr)
    def test_not_an_integer_is_prefixed(self, obj_id, writer):
        expected = "argument 'obj_id': " + interpreter_error(operator.index, obj_id)
        with pytest.raises(TypeError, match=exact(expected)):
            writer.add_key("k", obj_id)
        assert repr(writer) == UNTOUCHED

    def test_prefixed_error_keeps_the_cause(self, writer):
        class Bad:
            def __index__(self):
                raise TypeError("no index") from KeyError("root")

        with pytest.raises(TypeError, match=exact("argument 'obj_id': no index")) as info:
            writer.add_key("k", Bad())
        assert isinstance(info.value.__cause__, KeyError)

    @pytest.mark.parametrize("obj_id, key, exc, text", [
        ("0", None, TypeError, "^argument 'obj_id': "),
        (-1, "\udcff", OverflowError, "^can't convert negative int to unsigned$"),
        (99, None, ValueError, KEY_ERROR),
        (99, "\udcff", ValueError, KEY_ERROR),
        (99, "x" * 65536, ValueError, exact("TarnError: key of 65536 bytes exceeds the 65535-byte limit")),
    ])
    def test_obj_id_then_key_then_range(self, obj_id, key, exc, text, writer):
        with pytest.raises(exc, match=text):
            writer.add_key(key, obj_id)
        assert repr(writer) == UNTOUCHED


class TestAccessCounter:
    def test_shared_call_inside_exclusive_use(self, writer, tmp_path):
        # The nested repr fails, and the key rule replaces that failure by its
        # own error; were the nested call allowed, the key would be b"k".
        with pytest.raises(ValueError, match=KEY_ERROR):
            writer.add_key(Seq(lambda: repr(writer)), 0)
        assert repr(writer) == UNTOUCHED

        def nested_shared_calls():
            for call in (lambda: repr(writer), lambda: writer.build(str(tmp_path / "x.trnd"))):
                with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                    call()
            return 0

        writer.add_key("k", type("I", (), {"__index__": lambda s: nested_shared_calls()})())
        assert not (tmp_path / "x.trnd").exists()
        assert repr(writer) == "_TarnWriter(objects=2, keys=1)"

        # Outside the key rule the error propagates unchanged.
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            writer.add_key("j", type("I", (), {"__index__": lambda s: len(repr(writer))})())
        assert repr(writer) == "_TarnWriter(objects=2, keys=1)"

    def test_exclusive_call_inside_exclusive_use(self, writer, tmp_path):
        nested = type("I", (), {"__index__": lambda s: writer.add_object_raw(b"nested")})()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            writer.add_key("k", nested)
        assert repr(writer) == UNTOUCHED
        # The failing path released the writer.
        assert writer.add_object_raw(b"after") == 2
        writer.add_key("k", 2)
        assert built(writer, tmp_path) == encode_store([b"abc", b"def", b"after"], {b"k": 2})

    def test_reader_calls_nest(self, reader):
        inner = []
        key = Seq(lambda: inner.append((reader.get_raw("é"), reader.keys(), reader.prefix_raw([]))))
        assert reader.get_raw(key) == b"abc"
        assert inner == [(b"e-acute", ["", "k", "é"], [("", b"empty"), ("k", b"abc"), ("é", b"e-acute")])]
