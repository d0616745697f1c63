"""The shift comparator's mismatch map asked to take one route, through the
QLO_CV_MISMATCH_ROUTE environment variable that only tests set: "loop",
"windows" (the windows' kernel without the sparse sweeps) or "native" (a
RuntimeError where the native route would leave the mask to the loop)."""
import contextlib
import os

VARIABLE = "QLO_CV_MISMATCH_ROUTE"
STEPPED_ASIDE = "the native mismatch route stepped aside"
ROUTES = ("any", "windows")   # the native routes; "any": the sparse sweep first, as in use


@contextlib.contextmanager
def mismatch_route(name):
    previous = os.environ.pop(VARIABLE, None)
    if name != "any":
        os.environ[VARIABLE] = name
    try:
        yield
    finally:
        os.environ.pop(VARIABLE, None)
        if previous is not None:
            os.environ[VARIABLE] = previous


def run_natively(action):
    """(action(), True) with the native route required; where it steps aside
    to the loop, (action() run again as usual, False)."""
    try:
        with mismatch_route("native"):
            return action(), True
    except RuntimeError as error:
        if str(error) != STEPPED_ASIDE:
            raise
    return action(), False


def same_masks(native, looped):
    """Whether two masks are equal; when not, both and their XOR are written as
    PNG pictures into the folder QLO_TEST_PICTURES names (default: the system's
    temporary folder), and the message says where."""
    import tempfile

    import cv2
    import numpy as np
    if native.shape == looped.shape and np.array_equal(native, looped):
        return True
    folder = os.environ.get("QLO_TEST_PICTURES") or tempfile.mkdtemp(prefix="qlo-masks-")
    os.makedirs(folder, exist_ok=True)
    if native.shape == looped.shape:
        cv2.imwrite(os.path.join(folder, "xor.png"), np.uint8(native != looped) * 255)
    for name, mask in (("native", native), ("loop", looped)):
        cv2.imwrite(os.path.join(folder, name + ".png"), np.uint8(mask != 0) * 255)
    print("masks differ: native.png, loop.png and xor.png in", folder)
    return False
