"""What the hardening tests call: every public callable of qlo_cv, found by
walking the module, and argument lists mixing hostile values with plausible
ones chosen by parameter name.

A call is described by a `CallSpec` drawn from a seeded generator per index,
so any call of a long run can be rebuilt alone in another process. Values are
made fresh for every call (callees may change arrays in place), from factories
in the tables below.
"""
import inspect
import math
import os
import random
import sys

import numpy as np

import qlo_cv

_MODULE = "qlo_cv"


# ---- the module's callables ----

def _module_classes():
    """Module classes, nested ones included, in a stable order."""
    found = []

    def visit(cls):
        found.append(cls)
        for value in vars(cls).values():
            if isinstance(value, type) and value.__module__ == _MODULE and value not in found:
                visit(value)

    for name in sorted(vars(qlo_cv)):
        value = getattr(qlo_cv, name)
        if isinstance(value, type) and value.__module__ == _MODULE and value not in found:
            visit(value)
    return found


def _module_functions():
    return [(name, value) for name, value in sorted(vars(qlo_cv).items())
            if not isinstance(value, type) and callable(value) and getattr(value, "__module__", None) == _MODULE]


def _members(cls):
    """(name, kind) of every method, property and static method that instances of
    `cls` see, inherited ones included, defined by module classes."""
    members = {}
    for klass in reversed(cls.__mro__):
        if klass.__module__ != _MODULE:
            continue
        for name, value in vars(klass).items():
            if isinstance(value, property):
                members[name] = "property"
            elif isinstance(value, (staticmethod, classmethod)):
                members[name] = "static"
            elif callable(value) and not isinstance(value, type) and name != "__new__":
                members[name] = "method"
    return sorted(members.items())


def _parameters(func, drop_self=False):
    try:
        params = list(inspect.signature(func).parameters.values())
    except (TypeError, ValueError):
        return None
    params = [p for p in params if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return params[1:] if drop_self else params


class Target:
    """One callable surface: a module function, a constructor, or a member of a class."""

    def __init__(self, kind, owner, name=None, params=None, func=None):
        self.kind, self.owner, self.name, self.func = kind, owner, name, func
        self.params = params  # None when the signature is unknown

    @property
    def label(self):
        owner = self.owner if isinstance(self.owner, str) else self.owner.__qualname__
        return f"{owner}.{self.name}" if self.name else owner


def _self_test_crash(value=None):
    """Dies of SIGSEGV when given None: the harness's own test that it names crashes."""
    if value is None:
        import ctypes
        ctypes.string_at(0)


def targets():
    """Every target of the module, in a stable order."""
    if os.environ.get("QLO_FUZZ_SELFTEST"):
        return [Target("function", "SelfTestCrash", None, _parameters(_self_test_crash), _self_test_crash)]
    found = [Target("function", name, None, _parameters(func), func) for name, func in _module_functions()]
    for cls in _module_classes():
        found.append(Target("construct", cls, None, _parameters(cls)))
        for name, kind in _members(cls):
            raw = inspect.getattr_static(cls, name)
            if kind == "property":
                found += [Target("get", cls, name), Target("set", cls, name)]
            elif kind == "static":
                found.append(Target("static", cls, name, _parameters(getattr(cls, name))))
            else:
                found.append(Target("method", cls, name, _parameters(raw, drop_self=True)))
                found.append(Target("unbound", cls, name, _parameters(raw)))
    return found


# ---- values ----

PLAUSIBLE_SHAPE = (32, 40)  # the thread test raises it so that kernels run long enough to overlap


def _image(shape=None, dtype=np.uint8):
    img = np.zeros(shape or PLAUSIBLE_SHAPE, dtype)
    img[8:20, 10:25] = 100 if np.dtype(dtype).kind != "b" else True
    img[22:26, 5:9] = 50 if np.dtype(dtype).kind != "b" else True
    return img


def _contour(points=((10, 8), (24, 8), (24, 19), (10, 19)), dtype=np.int32):
    return np.array(points, dtype).reshape(-1, 1, 2)


class _Raises:
    """Fails on every protocol a callee may try."""

    def _fail(self, *args):
        raise RuntimeError("hostile object")

    __len__ = __iter__ = __getitem__ = __index__ = __int__ = __float__ = __bool__ = _fail
    __array__ = __lt__ = __gt__ = __le__ = __ge__ = __add__ = __mul__ = _fail


class _LyingSequence:
    """Claims four items but runs out after two."""

    def __len__(self):
        return 4

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return 1


class _HugeIndex:
    def __index__(self):
        return 2**62

    __int__ = __index__


def _nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def _readonly():
    img = _image()
    img.flags.writeable = False
    return img


def _misaligned():
    raw = np.zeros(32 * 40 * 2 + 1, np.uint8)
    return raw[1:].view(np.int16).reshape(32, 40)


HOSTILE = [
    ("None", lambda: None), ("True", lambda: True), ("False", lambda: False),
    ("0", lambda: 0), ("-1", lambda: -1), ("-7", lambda: -7),
    ("2**31", lambda: 2**31), ("-2**31-1", lambda: -2**31 - 1),
    ("2**63", lambda: 2**63), ("-2**63-1", lambda: -2**63 - 1), ("2**100", lambda: 2**100),
    ("sys.maxsize", lambda: sys.maxsize), ("HugeIndex()", _HugeIndex),
    ("nan", lambda: math.nan), ("inf", lambda: math.inf), ("-inf", lambda: -math.inf), ("1e308", lambda: 1e308),
    ("-0.0", lambda: -0.0), ("0.5", lambda: 0.5),
    ("''", lambda: ""), ("'\\x00'", lambda: "\x00"), ("'\\ud800'", lambda: "\ud800"),
    ("'x'*100000", lambda: "x" * 100000),
    ("'Both'", lambda: "Both"), ("'%s%d'", lambda: "%s%d"),
    ("b''", lambda: b""), ("b'\\xff'*9", lambda: b"\xff" * 9), ("bytearray(4)", lambda: bytearray(4)),
    ("[]", lambda: []), ("()", lambda: ()), ("{}", lambda: {}), ("set()", lambda: set()),
    ("[[]]", lambda: [[]]), ("nested depth 60", lambda: _nested(60)), ("[None]*4", lambda: [None] * 4),
    ("['a']*4", lambda: ["a"] * 4), ("[nan]*4", lambda: [math.nan] * 4), ("(1, 2)", lambda: (1, 2)),
    ("(2**40,)*4", lambda: (2**40,) * 4), ("(-5, -5, 3, 3)", lambda: (-5, -5, 3, 3)), ("range(3)", lambda: range(3)),
    ("object()", object), ("Raises()", _Raises), ("LyingSequence()", _LyingSequence),
    ("lambda: 1/0", lambda: (lambda *a, **k: 1 / 0)), ("print", lambda: print),
    ("np.int8(-1)", lambda: np.int8(-1)), ("np.uint64(2**64-1)", lambda: np.uint64(2**64 - 1)),
    ("np.float32(nan)", lambda: np.float32("nan")), ("np.bool_(True)", lambda: np.bool_(True)),
    ("np.complex128(1j)", lambda: np.complex128(1j)), ("np.str_('a')", lambda: np.str_("a")),
    ("empty uint8", lambda: np.zeros(0, np.uint8)), ("empty 0x5", lambda: np.zeros((0, 5), np.uint8)),
    ("empty 5x0x3", lambda: np.zeros((5, 0, 3), np.uint8)), ("0-d", lambda: np.array(7, np.uint8)),
    ("1-d", lambda: np.arange(50, dtype=np.uint8)), ("4-d", lambda: np.zeros((3, 4, 5, 2), np.uint8)),
    ("1x1", lambda: np.full((1, 1), 255, np.uint8)), ("1x4000", lambda: _image((1, 4000))),
    ("strided", lambda: _image((64, 80))[::2, ::2]), ("negative strides", lambda: _image()[::-1, ::-1]),
    ("transposed", lambda: _image().T), ("read-only", _readonly), ("misaligned int16", _misaligned),
    ("broadcast", lambda: np.broadcast_to(np.uint8(3), (32, 40))),
    ("bool image", lambda: _image(dtype=bool)), ("complex image", lambda: _image(dtype=np.complex128)),
    ("object image", lambda: _image(dtype=object)), ("str array", lambda: np.full((4, 4), "ab")),
    ("datetime array", lambda: np.zeros((4, 4), "datetime64[s]")),
    ("structured array", lambda: np.zeros((4, 4), [("a", np.uint8), ("b", np.float32)])),
    ("nan float image", lambda: np.full((32, 40), np.nan, np.float32)),
    ("inf float64 image", lambda: np.full((32, 40), -np.inf)),
    ("bgr image", lambda: _image((32, 40, 3))), ("4-channel image", lambda: _image((32, 40, 4))),
    ("7-channel image", lambda: _image((32, 40, 7))), ("bgr float16", lambda: _image((8, 8, 3), np.float16)),
] + [(f"{np.dtype(t).name} image", lambda t=t: _image(dtype=t)) for t in (
    np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
    np.float16, np.float32, np.float64, np.longdouble)] + [
    ("contour", lambda: _contour()), ("contour float32", lambda: _contour(dtype=np.float32)),
    ("contour float64 nan", lambda: _contour(dtype=np.float64) * np.nan),
    ("contour int64", lambda: _contour(dtype=np.int64)),
    ("contour uint8", lambda: _contour(dtype=np.uint8)), ("contour Nx2", lambda: _contour().reshape(-1, 2)),
    ("contour Nx1x3", lambda: np.zeros((4, 1, 3), np.int32)), ("contour 0x1x2", lambda: np.zeros((0, 1, 2), np.int32)),
    ("contour 1 point", lambda: _contour(((3, 4),))), ("contour 2 points", lambda: _contour(((3, 4), (9, 4)))),
    ("contour huge coords", lambda: _contour(((0, 0), (2**30, 0), (2**30, 2**30)))),
    ("contour negative", lambda: _contour(((-50, -50), (-10, -50), (-10, -10)))),
    ("contour strided", lambda: np.repeat(_contour(), 2, axis=2)[:, :, ::2]),
    ("contour list", lambda: [_contour(), _contour() + 3]), ("contour tuple of odd", lambda: (_contour(), np.zeros(3))),
    ("points float Nx2", lambda: np.array([[0, 0], [10, 0], [10, 10], [0, 10]], np.float32)),
]


# Plausible values, chosen by parameter name, so that calls get past their
# first checks and the hostile values reach the deeper code.
def _node():
    maker = getattr(qlo_cv, "ImageFromNDArray", None)
    return maker(_image()) if maker else _image()


def _result():
    maker = getattr(qlo_cv, "CompareResult", None)
    return maker(_image()) if maker else []


PLAUSIBLE_BY_NAME = [
    (("max_shift", "block_size", "step", "index", "count"), lambda: 3),
    (("src_points", "dst_points"), lambda: np.array([[0, 0], [10, 0], [10, 10]], np.float32)),
    (("previous", "image_prev"), _node),
    (("result",), _result),
    (("contours", "bars"), lambda: [_contour(), _contour() + 2]),
    (("contour", "cnt", "poly", "reference", "uut"), _contour),
    (("extract_info",), lambda: [2, 2, 30, 24, "Horizontal", 0, 0]),
    (("image", "img", "src", "std", "tgt", "template", "standard", "target", "mother", "array"), _image),
    (("region", "aoi", "rect", "box", "roi"), lambda: (2, 2, 30, 24)),
    (("points",), lambda: np.array([[0, 0], [10, 0], [10, 10], [0, 10]], np.float32)),
    (("point", "center", "coordinate", "shift", "size", "wh", "position"), lambda: (3, 4)),
    (("judge",), lambda: (lambda cnt, parameter: True)),
    (("filename", "path"), lambda: PLAUSIBLE_FILE),
    (("name", "desc", "direction"), lambda: "Horizontal"),
    (("lazy", "copy", "slope", "binarize", "use_long_edge"), lambda: False),
    (("angle", "degree", "weight", "gamma", "fx", "fy", "delta"), lambda: 0.5),
    (("dtype",), lambda: np.float64),
]


PLAUSIBLE_FILE = "plausible.png"


def prepare_workdir():
    """Quiets OpenCV's log and writes the image file that plausible file names
    name, in the current directory (callers run in a scratch directory)."""
    import cv2
    cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)
    cv2.imwrite(PLAUSIBLE_FILE, _image())


def plausible(name):
    lowered = name.lower()
    for keys, factory in PLAUSIBLE_BY_NAME:
        if any(key in lowered for key in keys):
            return factory()
    return 3


# ---- call specs ----

class CallSpec:
    """One call: a target, how the receiver is made, and the arguments as
    (label, factory) pairs, positional and by keyword."""

    def __init__(self, index, target, receiver, args, kwargs):
        self.index, self.target, self.receiver = index, target, receiver
        self.args, self.kwargs = args, kwargs

    def describe(self):
        args = [label for label, _ in self.args] + [f"{k}={label}" for k, (label, _) in self.kwargs.items()]
        receiver = f" on {self.receiver[0]} instance" if self.receiver else ""
        if self.receiver and self.receiver[1]:
            receiver += f" with {self.receiver[1][0]} = {self.receiver[1][1][0]}"
        return f"#{self.index} {self.target.kind} {self.target.label}{receiver} ({', '.join(args)})"


def _hostile(rng):
    return rng.choice(HOSTILE)


def _plausible(name):
    return (f"plausible {name}", lambda: plausible(name))


def _draw_args(rng, params):
    """Positional arguments: mostly plausible ones with one or more hostile, sometimes a wrong count."""
    if params is None:
        return [_hostile(rng) for _ in range(rng.randrange(0, 5))], {}
    names = [p.name for p in params]
    required = sum(p.default is p.empty for p in params)
    count = len(names) if rng.random() < 0.6 else required
    if rng.random() < 0.15:
        count = rng.randrange(0, len(names) + 3)
    args = [_plausible(names[i]) if i < len(names) else _hostile(rng) for i in range(count)]
    if args:
        hostile_share = rng.choice((1, 1, 2, len(args)))
        for i in rng.sample(range(len(args)), min(hostile_share, len(args))):
            args[i] = _hostile(rng)
    kwargs = {}
    if rng.random() < 0.1 and names:
        key = rng.choice(names + ["bogus"])
        kwargs[key] = _hostile(rng)
    return args, kwargs


def draw(seed, index, all_targets):
    """The call of `index` in the run of `seed`; depends on nothing else."""
    rng = random.Random(f"{seed}:{index}")
    return draw_for(rng, index, rng.choice(all_targets))


def draw_for(rng, index, target):
    """A hostile call of `target`."""
    receiver = None
    if target.kind in ("method", "get", "set"):
        tamper = None
        mode = rng.choice(("bare", "made", "made", "tampered"))
        if mode == "tampered":
            tamper = (rng.random(), _hostile(rng))  # which attribute: chosen among those the instance has
        receiver = (mode, tamper)
    if target.kind == "set":
        args, kwargs = [_hostile(rng)], {}
    elif target.kind == "get":
        args, kwargs = [], {}
    else:
        args, kwargs = _draw_args(rng, target.params)
        if target.kind == "unbound":  # self itself is hostile
            args = [_hostile(rng)] + args[1:] if args else [_hostile(rng)]
    return CallSpec(index, target, receiver, args, kwargs)


def plausible_call(target):
    """The call of `target` with plausible values for its required parameters,
    on an instance made from plausible values."""
    receiver = ("made", None) if target.kind in ("method", "get", "set") else None
    params = target.params or []
    args = [_plausible(p.name) for p in params if p.default is p.empty]
    if target.kind == "set":
        args = [_plausible(target.name)]
    elif target.kind == "unbound":
        args = [("made instance", lambda: make_instance(target.owner))] + args[1:]
    return CallSpec(-1, target, receiver, args, {})


# ---- running a call ----

def make_instance(cls):
    """An instance of `cls` built from plausible values for its required
    parameters, else for all of them; None when neither works."""
    params = _parameters(cls)
    if params is None:
        return None
    for chosen in ([p for p in params if p.default is p.empty], params):
        try:
            return cls(*[plausible(p.name) for p in chosen])
        except Exception:
            pass
    return None


def _receiver(spec):
    cls = spec.target.owner
    mode, tamper = spec.receiver
    obj = make_instance(cls) if mode != "bare" else None
    if obj is None:
        obj = cls.__new__(cls)
    if tamper is not None:
        names = sorted(getattr(obj, "__dict__", {}))
        if names:
            where, (_, factory) = tamper
            setattr(obj, names[int(where * len(names))], factory())
    return obj


def materialize(spec):
    """Fresh (args, kwargs, receiver) for the call of `spec`; receiver None when there is none."""
    args = [factory() for _, factory in spec.args]
    kwargs = {key: factory() for key, (_, factory) in spec.kwargs.items()}
    return args, kwargs, (_receiver(spec) if spec.receiver else None)


def invoke(target, args, kwargs, receiver):
    """Calls `target` on these values; returns its result or raises what it raised."""
    if target.kind == "function":
        return target.func(*args, **kwargs)
    if target.kind == "construct":
        return target.owner(*args, **kwargs)
    if target.kind == "static":
        return getattr(target.owner, target.name)(*args, **kwargs)
    if target.kind == "unbound":
        return inspect.getattr_static(target.owner, target.name)(*args, **kwargs)
    if target.kind == "method":
        return getattr(receiver, target.name)(*args, **kwargs)
    if target.kind == "get":
        return getattr(receiver, target.name)
    return setattr(receiver, target.name, args[0])


def perform(spec):
    """Makes the call of `spec` on fresh values."""
    return invoke(spec.target, *materialize(spec))
