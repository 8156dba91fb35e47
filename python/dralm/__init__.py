"""dralm: an embedded vector database.

`Database` opens or creates a database directory; `SearchResult` is one search hit.
Both come from the compiled extension module `_dralm`.
"""

from importlib.metadata import PackageNotFoundError, version

from _dralm import Database, SearchResult

try:
    __version__ = version("dralm")
except PackageNotFoundError:  # running from a source tree without installing
    __version__ = "0+unknown"

__all__ = ["Database", "SearchResult", "__version__"]
