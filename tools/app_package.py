"""A temporary application package `tavrin` for a run of the built module: a
copy of an application's own modules with the module, the codec built beside
it and the connection pool linked in, its folder first on sys.path. The
tests, the demo session and the benchmark load the module this way."""
import shutil
import sys
import sysconfig
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def make_app_package(source, extension, app_dir):
    """Copies the package folder `source` to app_dir/tavrin, links in the
    module `extension`, firestore_values beside it and firebase_pool.py, and
    puts app_dir first on sys.path. Returns the package folder."""
    package = Path(app_dir) / "tavrin"
    shutil.copytree(source, package, ignore=shutil.ignore_patterns("__pycache__"))
    for built in (extension, extension.with_name("firestore_values" + EXT_SUFFIX)):
        (package / built.name).symlink_to(built.resolve())
    (package / "firebase_pool.py").symlink_to(REPO / "pool" / "firebase_pool.py")
    sys.path.insert(0, str(app_dir))
    return package
