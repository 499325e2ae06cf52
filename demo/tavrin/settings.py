"""Where the demo application's configuration comes from.

Against the local stand-ins (the default) every value is the demo's own. With
TAVRIN_DEMO_REAL=1 (demo/session.py --real) the values are read from
environment variables, so that the same session can run against a real
Firebase project without its keys being written into these files.
"""

import os

REAL = os.environ.get("TAVRIN_DEMO_REAL", "") not in ("", "0")


def setting(variable, demo_value, *, required=False):
    """The demo value, or in real mode the environment variable `variable`
    (the demo value when it is unset and not `required`)."""
    if not REAL:
        return demo_value
    value = os.environ.get(variable)
    if value is None:
        if required:
            raise RuntimeError(f"TAVRIN_DEMO_REAL=1 needs the environment variable {variable}")
        return demo_value
    return value
