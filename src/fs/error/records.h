// The plain records that several components share and the binding layer hands
// to Python: FileMetadata (an index entry), SearchOptions (the search engine's
// parameters) and SearchResult (one match). Value types, copied freely.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane {

struct FileMetadata {
  uint64_t size = 0;
  double mtime =
      0.0;  // seconds since the epoch; 0.0 before it or when unrepresentable
  bool is_dir = false;
  bool is_binary = false;
};

struct SearchOptions {
  uint64_t max_results = 1000;
  uint64_t max_file_size = 10485760;
  uint64_t context_lines = 0;
  bool case_sensitive = false;
};

struct SearchResult {
  std::string file;
  std::string content;
  std::vector<std::string> context_before;
  std::vector<std::string> context_after;
  uint64_t line_number = 0;  // 1-based
};

}  // namespace tolvane
