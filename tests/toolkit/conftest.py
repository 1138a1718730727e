import os
import signal
import sys

import pytest

os.environ.setdefault("MPLBACKEND", "Agg")

# A suite started in the background of a script inherits SIGINT and SIGHUP
# ignored, and children inherit that across exec: the tests of Ctrl-C and of
# a parent killed by SIGHUP need the default dispositions.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
if signal.getsignal(signal.SIGHUP) == signal.SIG_IGN:
    signal.signal(signal.SIGHUP, signal.SIG_DFL)

vorn = pytest.importorskip("vorn", reason="the vorn extension module is not built")

GROWTH_RULE = "{{x,y},{x,z}} -> {{x,z},{x,w},{y,w},{z,w}}"


@pytest.fixture
def engine():
    return vorn.Engine()


@pytest.fixture(scope="session")
def subprocess_env():
    """Environment in which a child Python finds the same vorn and vornkit."""
    import vornkit

    # vornkit's folder first: when vorn is installed, the installed vornkit next
    # to it would otherwise hide the one under test.
    paths = [os.path.dirname(os.path.dirname(os.path.abspath(vornkit.__file__))),
             os.path.dirname(os.path.abspath(vorn.__file__))]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(paths + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    env["MPLBACKEND"] = "Agg"
    env.pop("COLUMNS", None)
    return env


@pytest.fixture(scope="session")
def python():
    return sys.executable
