"""dralm: an embedded vector database.

`Database` opens or creates a database directory; `SearchResult` is one search hit.
Both come from the compiled extension module `_dralm`.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    from _dralm import Database, SearchResult
except ImportError as error:  # pragma: no cover - depends on the installation
    # A build with the BLAS scan links the OpenBLAS of the scipy-openblas32 package and
    # finds it beside itself in site-packages; importing the package loads it from
    # wherever it is installed.
    if "libscipy_openblas" not in str(error):
        raise
    try:
        import scipy_openblas32  # noqa: F401
    except ImportError:
        raise ImportError(
            "dralm was built with the OpenBLAS of the scipy-openblas32 package, "
            "which is not installed: pip install scipy-openblas32"
        ) from error
    from _dralm import Database, SearchResult

try:
    __version__ = version("dralm")
except PackageNotFoundError:  # running from a source tree without installing
    __version__ = "0+unknown"

__all__ = ["Database", "SearchResult", "__version__"]
