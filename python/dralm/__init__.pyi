from _dralm import Database as Database, SearchResult as SearchResult

__version__: str
__all__ = ["Database", "SearchResult", "__version__"]
