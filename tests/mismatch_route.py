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
