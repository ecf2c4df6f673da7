"""What the interpreter sees of the extension: names, types, signatures, docstrings."""

import gc
import importlib.util
import inspect
import weakref

import pytest

from storefile import encode_store
from tarndb import _tarndb

W, R = _tarndb._TarnWriter, _tarndb._TarnReader
NAMES = ["_TarnWriter", "_TarnReader", "__version__"]

WRITER_DOC = (
    "Low-level writer — accepts pre-serialised msgpack bytes per object.\n"
    "**Use `tarndb.TarnWriter` (Python wrapper) instead of this directly.**"
)
READER_DOC = (
    "Low-level reader — returns raw msgpack bytes.\n"
    "**Use `tarndb.TarnReader` (Python wrapper) instead of this directly.**\n\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads."
)

# (class, method, text signature, docstring or None for an empty body)
METHODS = [
    (W, "add_object_raw", "($self, raw_bytes)",
     "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    (W, "add_key", "($self, key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    (W, "build", "($self, path)", "Atomically write the `.trnd` file: tmp → fsync → rename."),
    (R, "get_raw", "($self, key)", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    (R, "exists", "($self, key)", "Key presence check — no I/O beyond the in-memory hash index."),
    (R, "prefix_raw", "($self, prefix)", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    (R, "keys", "($self)", "All keys in sorted order."),
    (R, "items_raw", "($self)", "All `(key, raw_bytes)` pairs in sorted key order."),
    (R, "objects_raw", "($self)", "Unique objects only (deduplicated by file offset)."),
    (R, "stats", "($self)", "Return file metadata as a `dict`."),
    (R, "verify", "($self)", "Deep CRC32 integrity check (whole-file + per-object)."),
    (R, "close", "($self)", None),
    (R, "__enter__", "($self)", None),
    (R, "__exit__", "($self, _exc_type, _exc_val, _exc_tb)", None),
]


@pytest.fixture
def instances(tmp_path):
    path = tmp_path / "m.trnd"
    path.write_bytes(encode_store([], {}))
    return W(), R(str(path))


class TestModuleSurface:
    def test_all_version_and_doc(self):
        assert type(_tarndb.__all__) is list
        assert _tarndb.__all__ == NAMES
        assert type(_tarndb.__version__) is str and _tarndb.__version__ == "0.2.0"
        assert _tarndb.__doc__ == "tarndb._tarndb — native extension module entry-point"

    def test_no_functions_and_no_exception_classes(self):
        public = {n for n in vars(_tarndb) if not (n.startswith("__") and n.endswith("__"))}
        assert public == {"_TarnWriter", "_TarnReader"}
        for value in vars(_tarndb).values():
            assert not (isinstance(value, type) and issubclass(value, BaseException))
        assert not hasattr(_tarndb, "TarnError")
        assert not hasattr(_tarndb, "PanicException")

    def test_fresh_module_instance_reuses_the_classes(self):
        # Executing the module again (a new module object) reuses the classes
        # cached for the process instead of creating a second, foreign pair.
        spec = importlib.util.find_spec("tarndb._tarndb")
        fresh = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(fresh)
        assert fresh is not _tarndb
        assert fresh._TarnWriter is W and fresh._TarnReader is R
        assert fresh.__all__ == NAMES and fresh.__all__ is not _tarndb.__all__
        assert [n for n in vars(fresh) if n in NAMES] == NAMES
        assert repr(fresh._TarnWriter()) == "_TarnWriter(objects=0, keys=0)"


class TestClassProperties:
    @pytest.mark.parametrize("cls, name", [(W, "_TarnWriter"), (R, "_TarnReader")])
    def test_names_and_base(self, cls, name):
        assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("cls", [W, R])
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})

    def test_instances_have_no_attributes_weakrefs_or_gc(self, instances):
        for obj in instances:
            assert not hasattr(obj, "__dict__")
            with pytest.raises(AttributeError):
                obj.anything = 1
            with pytest.raises(AttributeError):
                obj.build = None
            with pytest.raises(TypeError, match="cannot create weak reference"):
                weakref.ref(obj)
            assert not gc.is_tracked(obj)

    @pytest.mark.parametrize("cls, methods", [
        (W, {"add_object_raw", "add_key", "build"}),
        (R, {"get_raw", "exists", "prefix_raw", "keys", "items_raw", "objects_raw",
             "stats", "verify", "close", "__enter__", "__exit__"}),
    ])
    def test_method_table_is_exactly_the_documented_one(self, cls, methods):
        # Nothing beyond the documented methods, the constructor and repr: no
        # hashing, comparison, iteration or __init__ slots of its own.
        slots = {"__doc__", "__module__", "__new__", "__repr__"}
        assert set(vars(cls)) == methods | slots


class TestSignaturesAndDocs:
    @pytest.mark.parametrize("cls, text_sig, sig, doc", [
        (W, "()", "()", WRITER_DOC),
        (R, "(path, verify=True)", "(path, verify=True)", READER_DOC),
    ])
    def test_class(self, cls, text_sig, sig, doc):
        assert cls.__text_signature__ == text_sig
        assert str(inspect.signature(cls)) == sig
        assert cls.__doc__ == doc

    @pytest.mark.parametrize("cls, name, text_sig, doc", METHODS,
                             ids=[f"{c.__name__}.{m}" for c, m, _, _ in METHODS])
    def test_method(self, cls, name, text_sig, doc, instances):
        method = vars(cls)[name]
        assert method.__text_signature__ == text_sig
        assert method.__doc__ == doc
        expected = [p.strip() for p in text_sig.strip("()").split(",")]
        expected[0] = "self"
        assert list(inspect.signature(method).parameters) == expected
        bound = getattr(instances[0 if cls is W else 1], name)
        assert str(inspect.signature(bound)) == "(" + ", ".join(expected[1:]) + ")"
