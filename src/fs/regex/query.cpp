#include "fs/regex/query.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "fs/regex/regex_ast.h"
#include "fs/regex/regex_hir.h"
#include "fs/regex/size_estimate.h"

namespace tolvane {
namespace {

using regex::Hir;
using regex::kUnbounded;
using regex::Look;

// RE2 refuses counted repetitions whose nested counts multiply past 1000.
constexpr uint32_t kRe2RepeatBudget = 1000;
// Room for the largest program the size limit admits (RE2 gives two thirds
// of this to the forward program, at 16 bytes an instruction with a 4x margin).
constexpr int64_t kRe2MaxMem = int64_t{256} << 20;

std::string SizeLimitText() {
  return "Compiled regex exceeds size limit of " +
         std::to_string(regex::kSizeLimit) + " bytes.";
}

void AppendChar(std::string& out, char32_t c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
      (c >= 'a' && c <= 'z')) {
    out += static_cast<char>(c);
    return;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(c));
  out += buf;
}

// 1: one ASCII character that has no other case; 2: an ASCII letter with
// all its case variants; 0: anything else.
int AsciiFoldKind(const CharSet& set) {
  const auto& r = set.ranges();
  if (r.empty() || r[0].lo >= 0x80 || r[0].lo == '\n') return 0;
  char32_t first = r[0].lo;
  bool letter = (first | 0x20) >= 'a' && (first | 0x20) <= 'z';
  if (set.Single()) return letter ? 0 : 1;
  if (!letter) return 0;
  CharSet orbit = CharSet::Of(first, first);
  orbit.CaseFold();
  return orbit == set ? 2 : 0;
}

// Turns the meaning of a query into RE2 syntax (see TranslatedQuery).
class Emitter {
 public:
  std::string out;
  bool inexact = false;
  bool line_end = false;

  enum class Context { kAny, kConcat, kAtom };

  void Emit(const Hir& h, uint32_t budget, Context ctx) {
    switch (h.kind) {
      case Hir::Kind::kEmpty:
        out += "(?:)";
        return;
      case Hir::Kind::kClass:
        EmitClass(h.set);
        return;
      case Hir::Kind::kLook:
        EmitLook(h.look);
        return;
      case Hir::Kind::kConcat: {
        if (h.subs.empty()) {
          out += "(?:)";
          return;
        }
        // Flag groups leave empty pieces behind; they add nothing.
        std::vector<const Hir*> parts;
        for (const Hir& sub : h.subs) {
          if (sub.kind != Hir::Kind::kEmpty) parts.push_back(&sub);
        }
        if (parts.empty()) {
          out += "(?:)";
          return;
        }
        bool wrap = ctx == Context::kAtom && parts.size() > 1;
        if (wrap) out += "(?:";
        for (size_t i = 0; i < parts.size();) {
          // A run of ASCII letters folded to their case variants and other
          // ASCII characters goes to RE2 as one case-insensitive literal, so
          // that RE2 accelerates it. RE2 folds ASCII letters as the query
          // language does (K with the Kelvin sign, S with the long s).
          size_t end = i;
          bool folded = false;
          while (end < parts.size()) {
            int kind = parts[end]->kind == Hir::Kind::kClass
                           ? AsciiFoldKind(parts[end]->set)
                           : 0;
            if (kind == 0) break;
            folded = folded || kind == 2;
            ++end;
          }
          if (folded && end - i > 1) {
            out += "(?i:";
            for (; i < end; ++i) {
              AppendChar(out, parts[i]->set.ranges().front().lo);
            }
            out += ')';
            continue;
          }
          Emit(*parts[i], budget, parts.size() > 1 ? Context::kConcat : ctx);
          ++i;
        }
        if (wrap) out += ')';
        return;
      }
      case Hir::Kind::kAlt: {
        bool wrap = ctx != Context::kAny;
        if (wrap) out += "(?:";
        for (size_t i = 0; i < h.subs.size(); ++i) {
          if (i > 0) out += '|';
          Emit(h.subs[i], budget, Context::kAny);
        }
        if (wrap) out += ')';
        return;
      }
      case Hir::Kind::kRepeat:
        EmitRepeat(h, budget, ctx);
        return;
    }
  }

 private:
  void EmitLook(Look look) {
    switch (look) {
      case Look::kStart:
      case Look::kStartLF:
        out += "(?m:^)";
        return;
      case Look::kEnd:
      case Look::kEndLF:
        out += "(?m:$)";
        line_end = true;
        return;
      case Look::kWordAscii:
        out += "\\b";
        return;
      default:
        // No exact RE2 form: relaxed to nothing (a superset of the lines);
        // the exact matcher decides.
        inexact = true;
        out += "(?:)";
        return;
    }
  }

  void EmitClass(const CharSet& original) {
    // Lines hold no "\n", so leaving it out changes nothing on a line and
    // keeps matches inside lines on a whole buffer.
    CharSet set = original;
    set.Difference(CharSet::Of('\n', '\n'));
    const auto& r = set.ranges();
    if (r.empty()) {
      out += "[^\\x00-\\x{10FFFF}]";
      return;
    }
    if (std::optional<char32_t> c = set.Single()) {
      AppendChar(out, *c);
      return;
    }
    if (AsciiFoldKind(original) == 2) {
      out += "(?i:";
      out += static_cast<char>(r[0].lo);
      out += ')';
      return;
    }
    if (r.size() == 2 && r[0].lo == 0 && r[0].hi == '\n' - 1 &&
        r[1].lo == '\n' + 1 && r[1].hi == kMaxCodePoint) {
      out += '.';
      return;
    }
    out += '[';
    for (const auto& range : r) {
      AppendChar(out, range.lo);
      if (range.hi != range.lo) {
        if (range.hi != range.lo + 1) out += '-';
        AppendChar(out, range.hi);
      }
    }
    out += ']';
  }

  void Counted(const Hir& sub, uint32_t lo, uint32_t hi, uint32_t budget) {
    if (hi == 0) {
      out += "(?:)";
      return;
    }
    Emit(sub, budget / hi, Context::kAtom);
    if (lo == hi) {
      if (lo != 1) out += "{" + std::to_string(lo) + "}";
    } else if (lo == 0 && hi == 1) {
      out += '?';
    } else {
      out += "{" + std::to_string(lo) + "," + std::to_string(hi) + "}";
    }
  }

  void EmitRepeat(const Hir& h, uint32_t budget, Context ctx) {
    const Hir& sub = h.subs[0];
    if (regex::IsZeroWidth(sub)) {
      // A zero-width piece repeated is itself, or nothing when it may be
      // skipped.
      if (h.min == 0) {
        out += "(?:)";
      } else {
        Emit(sub, budget, ctx);
      }
      return;
    }
    if (h.max == 0) {
      out += "(?:)";
      return;
    }
    bool wrap = ctx == Context::kAtom;
    if (wrap) out += "(?:";
    uint32_t lo = h.min, hi = h.max;
    if (hi == kUnbounded && lo <= 1) {
      Emit(sub, budget, Context::kAtom);
      out += lo == 0 ? '*' : '+';
    } else if (lo == 0 && hi == 1) {
      Emit(sub, budget, Context::kAtom);
      out += '?';
    } else {
      uint32_t m = hi == kUnbounded ? lo : hi;
      if (m <= budget) {
        Emit(sub, budget / m, Context::kAtom);
        out += "{" + std::to_string(lo) + ",";
        if (hi != kUnbounded) out += std::to_string(hi);
        out += "}";
      } else {
        // Past RE2's limit: chunks of at most `budget`, concatenated. x{a}x{b}
        // is x{a+b}, and x{0,a}x{0,b} is x{0,a+b}.
        uint32_t k = budget;
        for (uint32_t left = lo; left > 0;) {
          uint32_t n = std::min(left, k);
          Counted(sub, n, n, budget);
          left -= n;
        }
        if (hi == kUnbounded) {
          Emit(sub, budget, Context::kAtom);
          out += '*';
        } else {
          // Each optional chunk sits in a group of its own: RE2 merges
          // adjacent x{0,a}x{0,b} of one character or class back into one
          // x{0,a+b}, whose nested expansion takes it time quadratic in a+b
          // to compile (seconds for x{0,100000}). `?` costs no repetition
          // budget.
          for (uint32_t left = hi - lo; left > 0;) {
            uint32_t n = std::min(left, k);
            out += "(?:";
            Counted(sub, 0, n, budget);
            out += ")?";
            left -= n;
          }
        }
      }
    }
    if (wrap) out += ')';
  }
};

}  // namespace

RE2::Options QueryRe2Options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_case_sensitive(true);
  options.set_never_capture(true);
  options.set_log_errors(false);
  options.set_max_mem(kRe2MaxMem);
  return options;
}

Result<TranslatedQuery> TranslateQuery(std::string_view query,
                                       bool case_insensitive) {
  std::expected<regex::Ast, regex::SyntaxError> ast = regex::ParseQuery(query);
  if (!ast) {
    return Fail(FsError::Regex(regex::FormatSyntaxError(query, ast.error())));
  }
  std::expected<Hir, regex::SyntaxError> hir =
      regex::TranslateAst(*ast, case_insensitive);
  if (!hir) {
    return Fail(FsError::Regex(regex::FormatSyntaxError(query, hir.error())));
  }
  if (regex::EstimateCompiledSize(*hir) > regex::kSizeLimit) {
    return Fail(FsError::Regex(SizeLimitText()));
  }
  Emitter emitter;
  emitter.Emit(*hir, kRe2RepeatBudget, Emitter::Context::kAny);
  TranslatedQuery out;
  out.pattern = std::move(emitter.out);
  out.asserts_line_end = emitter.line_end;
  if (emitter.inexact) {
    out.confirm = std::make_shared<const regex::LineMatcher>(
        std::make_shared<const Hir>(*std::move(hir)));
  }
  return out;
}

Result<CompiledQuery> CompiledQuery::Compile(std::string_view query,
                                             bool case_insensitive) {
  Result<TranslatedQuery> translated = TranslateQuery(query, case_insensitive);
  if (!translated) return Fail(translated.error());
  auto re2 =
      std::make_shared<const RE2>(translated->pattern, QueryRe2Options());
  if (!re2->ok()) {
    // Only a program beyond RE2's own memory bound gets here.
    return Fail(FsError::Regex(SizeLimitText()));
  }
  CompiledQuery compiled;
  compiled.pattern_ = std::move(translated->pattern);
  compiled.re2_ = std::move(re2);
  compiled.confirm_ = std::move(translated->confirm);
  compiled.asserts_line_end_ = translated->asserts_line_end;
  return compiled;
}

bool CompiledQuery::Matches(std::string_view line) const {
  if (exact()) return RE2::PartialMatch(line, *re2_);
  // The relaxed pattern matches wherever the query does, so no match of the
  // query begins before its leftmost match: the exact matcher starts there,
  // and a long line costs it only what lies after.
  re2::StringPiece found;
  return re2_->Match(line, 0, line.size(), RE2::UNANCHORED, &found, 1) &&
         confirm_->Matches(line,
                           static_cast<size_t>(found.data() - line.data()));
}

}  // namespace tolvane
