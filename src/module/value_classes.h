// The value classes FileMetadata, SearchResult and SearchOptions as Python
// types: each instance holds one core record by value plus a borrow counter.
// Interpreter lock held throughout.
#pragma once

#include "fs/error/records.h"
#include "module/python.h"

namespace tolvane::py {

// The type objects, created on first use and kept for the life of the process.
// nullptr with the Python error set when creation fails.
PyTypeObject* FileMetadataType();
PyTypeObject* SearchResultType();
PyTypeObject* SearchOptionsType();

// New instances made by the system; nullptr with an exception set on failure.
PyObject* NewFileMetadata(const FileMetadata& record);
PyObject* NewSearchResult(SearchResult&& record);

}  // namespace tolvane::py
