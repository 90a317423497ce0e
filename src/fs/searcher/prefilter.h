// Prefilter: a Hyperscan database made from a query that finds, in a whole
// buffer, the lines on which the query may match: every line that the query
// matches on its own, and few others, which RE2 then rejects. The database is
// compiled from a translation of the query into a byte pattern that matches
// wherever the query does within a line: anchors and word boundaries dropped,
// every character test widened to its ASCII members (as RE2 decides them, "\n"
// left out) plus any non-ASCII character. It is scanned in byte mode, so bytes
// that aren't UTF-8 can't make it miss a match. Immutable after Compile and
// shared by all threads; each thread scans with a Scratch of its own. Built on
// Intel's Hyperscan: vectorscan 5.4.9, its drop-in fork, misses match ends near
// the end of a scanned buffer on machines with AVX-512.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

struct hs_database;
struct hs_scratch;

namespace tolvane {

class Prefilter {
 public:
  // nullptr when the query has no prefilter: a construct the translation
  // doesn't know, a query that can match an empty line, or a pattern that
  // Hyperscan refuses. Then every line must be tested.
  static std::shared_ptr<const Prefilter> Compile(std::string_view query,
                                                  bool case_sensitive);
  ~Prefilter();
  Prefilter(const Prefilter&) = delete;
  Prefilter& operator=(const Prefilter&) = delete;

  // One thread's scan state for this database.
  class Scratch {
   public:
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

   private:
    friend class Prefilter;
    explicit Scratch(hs_scratch* scratch) : scratch_(scratch) {}
    hs_scratch* scratch_;
  };
  // nullptr when Hyperscan can't allocate it.
  std::unique_ptr<Scratch> NewScratch() const;

  // Sets `*lines` to the start offsets of the lines of `text` where the query
  // may match, ascending. False when the scan failed: then every line must be
  // tested.
  bool CandidateLines(std::string_view text, Scratch* scratch,
                      std::vector<size_t>* lines) const;

 private:
  Prefilter(hs_database* database, hs_scratch* prototype, bool non_ascii_lines)
      : database_(database),
        prototype_(prototype),
        non_ascii_lines_(non_ascii_lines) {}

  hs_database* database_;
  hs_scratch* prototype_;
  // The database finds the query's matches within ASCII lines only; every
  // line holding a non-ASCII byte is a candidate too.
  bool non_ascii_lines_;
};

}  // namespace tolvane
