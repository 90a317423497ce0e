#include "fs/searcher/prefilter.h"

#include <hs/hs.h>
#include <re2/re2.h>

#include <algorithm>
#include <bitset>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "fs/lines/lines.h"
#include "fs/utf8/utf8.h"

namespace tolvane {
namespace {

// Longer patterns get no prefilter: Hyperscan's compile time grows with them.
constexpr size_t kMaxPattern = size_t{1} << 16;
// Counted repetitions above this count are widened to "this count or more".
constexpr int kMaxCount = 32;
// Deeper nested repetitions get no prefilter: Hyperscan's compile time
// doubles with each level of (?:(?:a*)*)*, to seconds past 25 levels.
constexpr int kMaxRepeatDepth = 10;
// Any one well-formed non-ASCII character, as bytes (and some ill-formed runs).
constexpr char kNonAscii[] = "[\\xc2-\\xf4][\\x80-\\xbf]{1,3}";
// Stands where the query tests a position (anchors, word boundaries).
constexpr char kEmpty[] = "(?:)";

// Translates a query, which RE2 has accepted, left to right. Each character
// test (a literal under case folding, ".", a class, a Perl or Unicode class)
// becomes the byte class of its ASCII members, which RE2 itself decides, and
// any non-ASCII character when RE2 says the test may match one. Groups,
// alternations and repetitions carry over unchanged; what the translation
// doesn't know ends it without a pattern.
class Translator {
 public:
  // With `ascii_lines`, the pattern need only find the matches within lines
  // made of ASCII bytes alone: each test keeps its ASCII members only, and a
  // test or literal that needs a non-ASCII character ends the translation.
  Translator(std::string_view query, bool case_sensitive, bool ascii_lines)
      : query_(query), ascii_lines_(ascii_lines) {
    flags_.push_back(Flags{!case_sensitive, false});
  }

  bool has_literal() const { return literals_ > 0; }

  std::optional<std::string> Run() {
    while (pos_ < query_.size()) {
      if (!Step() || out_.size() > kMaxPattern) return std::nullopt;
    }
    if (flags_.size() != 1) return std::nullopt;
    return std::move(out_);
  }

 private:
  // The flags that change what a character test matches, per open group.
  struct Flags {
    bool fold;    // (?i)
    bool dot_nl;  // (?s)
  };

  bool Step() {
    const char c = query_[pos_];
    switch (c) {
      case '(': {
        const size_t open = flags_.size();
        if (!OpenGroup()) return false;
        if (flags_.size() > open) depths_.push_back(0);
        return true;
      }
      case ')':
        if (flags_.size() == 1) return false;
        flags_.pop_back();
        atom_depth_ = depths_.back();
        depths_.pop_back();
        return Emit(")", 1);
      case '|':
        return Emit("|", 1);
      case '*':
      case '+':
      case '?':
        return Repeat(1);
      case '{':
        if (size_t length = RepeatLength()) return CountedRepeat(length);
        return Literal(1);
      case '^':
      case '$':
        return Emit(kEmpty, 1);
      case '.':
        return Test(1);
      case '[':
        return Class();
      case '\\':
        return Escape();
      default:
        return Literal(CharWidthAt(query_, pos_));
    }
  }

  bool Emit(std::string_view text, size_t consumed) {
    out_ += text;
    pos_ += consumed;
    return true;
  }

  // A repetition operator of `length` bytes, written as `text`, and its lazy
  // mark, which changes nothing about where the query matches.
  bool Repeat(size_t length, std::string_view text) {
    if (++atom_depth_ > kMaxRepeatDepth) return false;
    depths_.back() = std::max(depths_.back(), atom_depth_);
    Emit(text, length);
    if (pos_ < query_.size() && query_[pos_] == '?') ++pos_;
    return true;
  }
  bool Repeat(size_t length) {
    return Repeat(length, query_.substr(pos_, length));
  }

  // A counted repetition of `length` bytes ({n}, {n,} or {n,m}). A bound
  // above kMaxCount makes it "min(n, kMaxCount) or more", a wider pattern
  // that Hyperscan compiles in bounded time.
  bool CountedRepeat(size_t length) {
    std::string_view text = query_.substr(pos_ + 1, length - 2);
    const size_t comma = text.find(',');
    const int low = Count(text.substr(0, comma));
    const int high = comma == std::string_view::npos
                         ? low
                         : Count(text.substr(comma + 1));  // -1: none
    if (low <= kMaxCount && high >= 0 && high <= kMaxCount) {
      return Repeat(length);
    }
    return Repeat(length,
                  "{" + std::to_string(std::min(low, kMaxCount)) + ",}");
  }

  // The decimal count `digits` (RE2 allows at most 1000), saturated just above
  // kMaxCount; -1 when empty.
  static int Count(std::string_view digits) {
    if (digits.empty()) return -1;
    int value = 0;
    for (char d : digits)
      value = std::min(value * 10 + (d - '0'), kMaxCount + 1);
    return value;
  }

  // The length of the counted repetition at pos_ ({n}, {n,} or {n,m}); 0 when
  // the "{" is a literal, as RE2 reads it.
  size_t RepeatLength() const {
    size_t i = pos_ + 1;
    // RE2 takes no leading zero.
    auto digits = [&] {
      size_t start = i;
      while (i < query_.size() && query_[i] >= '0' && query_[i] <= '9') ++i;
      return i > start && (query_[start] != '0' || i == start + 1);
    };
    if (!digits()) return 0;
    if (i < query_.size() && query_[i] == ',') {
      ++i;
      if (i < query_.size() && query_[i] != '}' && !digits()) return 0;
    }
    return i < query_.size() && query_[i] == '}' ? i + 1 - pos_ : 0;
  }

  bool OpenGroup() {
    Flags flags = flags_.back();
    if (query_.substr(pos_).starts_with("(?P<") ||
        query_.substr(pos_).starts_with("(?<")) {
      size_t end = query_.find('>', pos_);
      if (end == std::string_view::npos) return false;
      flags_.push_back(flags);
      return Emit("(?:", end + 1 - pos_);
    }
    if (!query_.substr(pos_).starts_with("(?")) {
      flags_.push_back(flags);
      return Emit("(?:", 1);
    }
    bool negated = false;
    for (size_t i = pos_ + 2; i < query_.size(); ++i) {
      switch (query_[i]) {
        case '-':
          negated = true;
          break;
        case 'i':
          flags.fold = !negated;
          break;
        case 's':
          flags.dot_nl = !negated;
          break;
        case 'm':  // only moves the anchors, which don't count here
        case 'U':  // only changes which match is found, not where one is
          break;
        case ')':
          flags_.back() = flags;
          pos_ = i + 1;
          return true;
        case ':':
          flags_.push_back(flags);
          return Emit("(?:", i + 1 - pos_);
        default:
          return false;
      }
    }
    return false;
  }

  bool Class() {
    size_t i = pos_ + 1;
    if (i < query_.size() && query_[i] == '^') ++i;
    for (bool first = true; i < query_.size(); first = false) {
      if (query_[i] == ']' && !first) return Test(i + 1 - pos_);
      if (query_.substr(i).starts_with("[:")) {
        size_t end = query_.find(":]", i + 2);
        if (end == std::string_view::npos) return false;
        i = end + 2;
      } else if (query_[i] == '\\') {
        i += 2;
      } else {
        i += CharWidthAt(query_, i);
      }
    }
    return false;
  }

  bool Escape() {
    if (pos_ + 1 >= query_.size()) return false;
    const char e = query_[pos_ + 1];
    switch (e) {
      case 'A':
      case 'z':
      case 'b':
      case 'B':
        return Emit(kEmpty, 2);
      case 'd':
      case 'D':
      case 's':
      case 'S':
      case 'w':
      case 'W':
      case 'n':
      case 't':
      case 'r':
      case 'f':
      case 'v':
      case 'a':
        return Test(2);
      case 'p':
      case 'P':
      case 'x': {
        if (pos_ + 2 >= query_.size()) return false;
        if (query_[pos_ + 2] != '{') return Test(e == 'x' ? 4 : 3);
        size_t end = query_.find('}', pos_ + 3);
        return end != std::string_view::npos && Test(end + 1 - pos_);
      }
      default:
        // Escaped punctuation stands for itself; other escapes (octal, \C,
        // \Q...\E) get no prefilter.
        if (static_cast<unsigned char>(e) < 0x80 &&
            std::ispunct(static_cast<unsigned char>(e))) {
          return Literal(2);
        }
        return false;
    }
  }

  // The literal character of `length` query bytes at pos_: its own bytes
  // unless case folding makes it a test of several characters.
  bool Literal(size_t length) {
    atom_depth_ = 0;
    if (flags_.back().fold) return Test(length);
    std::string_view bytes = query_.substr(pos_, length);
    if (bytes.size() == 2 && bytes[0] == '\\') bytes.remove_prefix(1);
    if (ascii_lines_ && static_cast<unsigned char>(bytes[0]) >= 0x80) {
      return false;
    }
    ++literals_;
    std::string text = bytes.size() > 1 ? "(?:" : "";
    for (unsigned char b : bytes) text += Hex(b);
    if (bytes.size() > 1) text += ")";
    return Emit(text, length);
  }

  // The character test of `length` query bytes at pos_, widened: its ASCII
  // members but "\n" (no line holds one), then any non-ASCII character unless
  // RE2 shows that the test matches none.
  bool Test(size_t length) {
    atom_depth_ = 0;
    const Flags flags = flags_.back();
    std::string atom = std::string("(?") + (flags.fold ? "i" : "") +
                       (flags.dot_nl ? "s" : "") + ":" +
                       std::string(query_.substr(pos_, length)) + ")";
    auto cached = widened_.find(atom);
    if (cached == widened_.end()) {
      cached = widened_.emplace(atom, Widen(atom, ascii_lines_)).first;
    }
    const auto& [pattern, members] = cached->second;
    if (pattern.empty()) return false;
    if (members <= 2) ++literals_;  // a letter under case folding
    return Emit(pattern, length);
  }

  static std::string Hex(unsigned char byte) {
    char text[5];
    std::snprintf(text, sizeof text, "\\x%02x", byte);
    return text;
  }

  // The byte pattern of one character test; empty when it matches nothing the
  // prefilter can use.
  static std::pair<std::string, int> Widen(const std::string& atom,
                                           bool ascii_lines) {
    RE2::Options options;
    options.set_log_errors(false);
    RE2 re(atom, options);
    if (!re.ok()) return {};
    std::bitset<128> members;
    for (int b = 0; b < 128; ++b) {
      const char c = static_cast<char>(b);
      members[b] = c != '\n' && RE2::FullMatch(re2::StringPiece(&c, 1), re);
    }
    std::string min, max;
    const bool non_ascii = !re.PossibleMatchRange(&min, &max, 4) ||
                           max.empty() ||
                           static_cast<unsigned char>(max[0]) >= 0x80;
    std::string set;
    for (int b = 0; b < 128;) {
      if (!members[b]) {
        ++b;
        continue;
      }
      int last = b;
      while (last + 1 < 128 && members[last + 1]) ++last;
      set += Hex(static_cast<unsigned char>(b));
      if (last > b) set += "-" + Hex(static_cast<unsigned char>(last));
      b = last + 1;
    }
    const int count = static_cast<int>(members.count());
    if (set.empty()) {
      if (!non_ascii || ascii_lines) return {};
      return {"(?:" + std::string(kNonAscii) + ")", count};
    }
    if (!non_ascii || ascii_lines) return {"[" + set + "]", count};
    return {"(?:[" + set + "]|" + kNonAscii + ")", count};
  }

  const std::string_view query_;
  const bool ascii_lines_;
  size_t pos_ = 0;
  std::string out_;
  std::vector<Flags> flags_;
  // Per open group, the deepest nesting of repetitions inside it; and that of
  // the last atom, which a repetition operator nests one level deeper.
  std::vector<int> depths_{0};
  int atom_depth_ = 0;
  std::unordered_map<std::string, std::pair<std::string, int>> widened_;
  // Literal bytes and tests of at most two ASCII members emitted: the factors
  // that Hyperscan's literal engines find fast.
  int literals_ = 0;
};

// Collects the lines on which the scan reports a match end.
struct Scan {
  std::string_view text;
  std::vector<size_t>* lines;
  size_t line_start = std::string_view::npos;  // the last line collected
  size_t line_next = 0;
  bool ascending = true;
};

int OnMatch(unsigned int, unsigned long long, unsigned long long to,
            unsigned int, void* context) {
  Scan& scan = *static_cast<Scan*>(context);
  // The database refuses patterns that match the empty string, so a match
  // ends past its first byte; an end at 0 would still name the first line.
  const size_t last = to == 0 ? 0 : static_cast<size_t>(to) - 1;
  if (last >= scan.line_start && last < scan.line_next) return 0;
  const size_t start = LineStartOf(scan.text, last);
  if (!scan.lines->empty() && start < scan.lines->back())
    scan.ascending = false;
  scan.lines->push_back(start);
  scan.line_start = start;
  scan.line_next = LineFrom(scan.text, start).next;
  return 0;
}

// The database of `pattern`: exactly where Hyperscan can (its scan is then
// faster), else in its prefilter mode, which widens what it can't build (large
// counted repetitions) further. Without HS_FLAG_ALLOWEMPTY a pattern that
// matches the empty string is refused: such a query may match every line, so
// there is nothing to skip. nullptr when Hyperscan refuses.
hs_database_t* CompileDatabase(const std::string& pattern) {
  for (unsigned flags : {0u, unsigned{HS_FLAG_PREFILTER}}) {
    hs_database_t* database = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile(pattern.c_str(), flags, HS_MODE_BLOCK, nullptr, &database,
                   &error) == HS_SUCCESS) {
      return database;
    }
    hs_free_compile_error(error);
  }
  return nullptr;
}

// Adds the start of every line of `text` that holds a byte above 0x7F,
// looking at eight bytes at a time.
void AddNonAsciiLines(std::string_view text, std::vector<size_t>* lines) {
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  size_t i = 0;
  while (i < text.size()) {
    if (i + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & kHigh) == 0) {
        i += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t start = LineStartOf(text, i);
    lines->push_back(start);
    i = LineFrom(text, start).next;
  }
}

}  // namespace

std::shared_ptr<const Prefilter> Prefilter::Compile(std::string_view query,
                                                    bool case_sensitive) {
  Translator full(query, case_sensitive, /*ascii_lines=*/false);
  auto pattern = full.Run();
  if (!pattern) return nullptr;
  // Widened for non-ASCII text, a pattern without a literal factor keeps
  // Hyperscan on its slow engines. Such a query's lines are found in two
  // parts instead, which together hold every line it can match: its matches
  // within ASCII text, and every line that holds a non-ASCII byte (few in
  // source trees), which RE2 then decides.
  hs_database_t* database = nullptr;
  bool non_ascii_lines = false;
  if (!full.has_literal() && pattern->find(kNonAscii) != std::string::npos) {
    if (auto ascii =
            Translator(query, case_sensitive, /*ascii_lines=*/true).Run()) {
      database = CompileDatabase(*ascii);
      non_ascii_lines = database != nullptr;
    }
  }
  if (database == nullptr) database = CompileDatabase(*pattern);
  if (database == nullptr) return nullptr;
  hs_scratch_t* prototype = nullptr;
  if (hs_alloc_scratch(database, &prototype) != HS_SUCCESS) {
    hs_free_database(database);
    return nullptr;
  }
  return std::shared_ptr<const Prefilter>(
      new Prefilter(database, prototype, non_ascii_lines));
}

Prefilter::~Prefilter() {
  hs_free_scratch(prototype_);
  hs_free_database(database_);
}

Prefilter::Scratch::~Scratch() { hs_free_scratch(scratch_); }

std::unique_ptr<Prefilter::Scratch> Prefilter::NewScratch() const {
  hs_scratch_t* scratch = nullptr;
  if (hs_clone_scratch(prototype_, &scratch) != HS_SUCCESS) return nullptr;
  return std::unique_ptr<Scratch>(new Scratch(scratch));
}

bool Prefilter::CandidateLines(std::string_view text, Scratch* scratch,
                               std::vector<size_t>* lines) const {
  lines->clear();
  if (text.size() > UINT_MAX) return false;
  Scan scan{text, lines};
  if (hs_scan(database_, text.data(), static_cast<unsigned int>(text.size()), 0,
              scratch->scratch_, OnMatch, &scan) != HS_SUCCESS) {
    return false;
  }
  if (non_ascii_lines_) {
    const size_t found = lines->size();
    AddNonAsciiLines(text, lines);
    if (found > 0 && lines->size() > found) scan.ascending = false;
  }
  if (!scan.ascending) {
    std::sort(lines->begin(), lines->end());
    lines->erase(std::unique(lines->begin(), lines->end()), lines->end());
  }
  return true;
}

}  // namespace tolvane
