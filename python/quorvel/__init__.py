"""Quorvel: behavior trees for Python, run by a C++ engine."""

# The one place the version is written: the build reads it from here into the metadata.
__version__ = "0.1.0"

# A development build puts the extension module in <build>/quorvel/; with that build
# directory on sys.path this makes it part of the package.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)
