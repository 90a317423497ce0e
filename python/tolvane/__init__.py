"""Stateful, concurrent file operations over one directory tree with an in-memory index."""

from tolvane._quill_core import (
    FileMetadata,
    FileSystem,
    SearchOptions,
    SearchResult,
    __version__,
)

__all__ = ["FileSystem", "SearchResult", "SearchOptions", "FileMetadata", "__version__"]
