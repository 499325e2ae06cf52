"""The notes application's package. The wheel installs tavrin.firebase into
SITE-PACKAGES/tavrin/; run from this folder, extend_path adds that directory
to the package."""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
