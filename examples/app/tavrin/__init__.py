"""The example application's package.

tavrin.firebase is installed apart from this package (pip install of the
tavrin-firebase wheel puts it at SITE-PACKAGES/tavrin/). Run from a source
checkout, this package lives elsewhere; extend_path adds every other
directory named tavrin on sys.path to the package, so that the installed
module is found as tavrin.firebase. Installed itself into the same
site-packages, the package needs nothing of the kind, and the line is
harmless.
"""

from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
