#!/usr/bin/env python3
"""Writes src/fs/regex/unicode_tables.cpp from the machine's Unicode Character Database.

Reads Debian's unicode-data package (/usr/share/unicode, or the directory given as the first
argument) and emits, as sorted code point ranges: general categories with their groups,
scripts, script extensions, the boolean properties the query syntax knows, ages, grapheme /
word / sentence break values, the Perl word class, the simple case-folding orbits, and the
normalised alias tables for property names and values.
"""
import os
import re
import sys
from collections import defaultdict

UCD = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
OUT = os.path.join(os.path.dirname(__file__), "..", "src", "fs", "regex", "unicode_tables.cpp")

# The boolean properties \p{...} accepts (the reference library's list).
BOOL_PROPS = """ASCII_Hex_Digit Alphabetic Bidi_Control Bidi_Mirrored Cased Case_Ignorable
Changes_When_Casefolded Changes_When_Casemapped Changes_When_Lowercased Changes_When_Titlecased
Changes_When_Uppercased Dash Deprecated Default_Ignorable_Code_Point Diacritic Emoji_Modifier_Base
Emoji_Component Emoji_Modifier Emoji Emoji_Presentation Extender Extended_Pictographic Grapheme_Base
Grapheme_Extend Grapheme_Link Hex_Digit Hyphen ID_Continue Ideographic ID_Start IDS_Binary_Operator
IDS_Trinary_Operator IDS_Unary_Operator ID_Compat_Math_Continue ID_Compat_Math_Start Join_Control
Logical_Order_Exception Lowercase Math Modifier_Combining_Mark Noncharacter_Code_Point
Other_Alphabetic Other_Default_Ignorable_Code_Point Other_Grapheme_Extend Other_ID_Continue
Other_ID_Start Other_Lowercase Other_Math Other_Uppercase Pattern_Syntax Pattern_White_Space
Prepended_Concatenation_Mark Quotation_Mark Radical Regional_Indicator Soft_Dotted
Sentence_Terminal Terminal_Punctuation Unified_Ideograph Uppercase Variation_Selector White_Space
XID_Continue XID_Start""".split()

GC_GROUPS = {
    "Cased_Letter": ["Lu", "Ll", "Lt"],
    "Letter": ["Lu", "Ll", "Lt", "Lm", "Lo"],
    "Mark": ["Mn", "Mc", "Me"],
    "Number": ["Nd", "Nl", "No"],
    "Other": ["Cc", "Cf", "Cs", "Co", "Cn"],
    "Punctuation": ["Pc", "Pd", "Ps", "Pe", "Pi", "Pf", "Po"],
    "Separator": ["Zs", "Zl", "Zp"],
    "Symbol": ["Sm", "Sc", "Sk", "So"],
}


def data_lines(name):
    with open(os.path.join(UCD, name), encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [x.strip() for x in line.split(";")]


def cps(field):
    if ".." in field:
        lo, hi = field.split("..")
        return range(int(lo, 16), int(hi, 16) + 1)
    return range(int(field, 16), int(field, 16) + 1)


def ranges(points):
    out = []
    for c in sorted(points):
        if out and out[-1][1] + 1 == c:
            out[-1][1] = c
        else:
            out.append([c, c])
    return out


def property_file(name, prop_sets, wanted=None):
    for f in data_lines(name):
        if wanted is None or f[1] in wanted:
            prop_sets[f[1]].update(cps(f[0]))


def normalize(name):
    """The loose-matching rule of the query syntax (see NormalizeSymbolicName)."""
    s = name.encode("utf-8")
    start, is_prefix = 0, False
    if len(s) >= 2 and s[:2].lower() == b"is":
        start, is_prefix = 2, True
    out = bytearray()
    for b in s[start:]:
        if b in b" _-":
            continue
        if 65 <= b <= 90:
            out.append(b + 32)
        elif b <= 0x7F:
            out.append(b)
    if is_prefix and out == b"c":
        out = bytearray(b"isc")
    return out.decode()


def main():
    version = re.search(r"Version (\d+\.\d+\.\d+)", open(os.path.join(UCD, "ReadMe.txt")).read()).group(1)

    # General categories from UnicodeData.txt (ranges given as First/Last pairs).
    gc = {}
    first = None
    for f in data_lines("UnicodeData.txt"):
        c = int(f[0], 16)
        if f[1].endswith(", First>"):
            first = c
            continue
        lo = first if f[1].endswith(", Last>") else c
        first = None
        for x in range(lo, c + 1):
            gc[x] = f[2]
    by_gc = defaultdict(set)
    for c in range(0x110000):
        by_gc[gc.get(c, "Cn")].add(c)

    aliases = defaultdict(dict)  # property short name -> {normalised alias: canonical value}
    long_name = defaultdict(dict)  # property short name -> {short value: long value}
    for f in data_lines("PropertyValueAliases.txt"):
        prop = f[0]
        canon = f[1] if prop == "ccc" else f[2]
        for a in f[1:]:
            aliases[prop][normalize(a)] = canon
        long_name[prop][f[1]] = f[2]
    gc_long = long_name["gc"]

    sets = {}  # (table, canonical name) -> set of code points
    surrogates = set(range(0xD800, 0xE000))
    for short, points in by_gc.items():
        # A category with no scalar value (Cs) names no set: the syntax refuses it.
        if points - surrogates:
            sets[("gc", gc_long[short])] = points
    for long, parts in GC_GROUPS.items():
        sets[("gc", long)] = set().union(*(by_gc[p] for p in parts))

    scripts = defaultdict(set)
    property_file("Scripts.txt", scripts)
    sc_of = {}
    for s, points in scripts.items():
        for c in points:
            sc_of[c] = s
        sets[("sc", s)] = points
    short_to_script = long_name["sc"]
    scx = defaultdict(set)
    explicit = set()
    for f in data_lines("ScriptExtensions.txt"):
        for c in cps(f[0]):
            explicit.add(c)
            for s in f[1].split():
                scx[short_to_script[s]].add(c)
    for s, points in scripts.items():
        sets[("scx", s)] = (points - explicit) | scx[s]
    for s, points in scx.items():
        if ("scx", s) not in sets:
            sets[("scx", s)] = points

    bools = defaultdict(set)
    wanted = set(BOOL_PROPS)
    property_file("PropList.txt", bools, wanted)
    property_file("DerivedCoreProperties.txt", bools, wanted)
    property_file("emoji/emoji-data.txt", bools, wanted)
    property_file("DerivedNormalizationProps.txt", bools, wanted)
    property_file("extracted/DerivedBinaryProperties.txt", bools, wanted)
    for name, points in bools.items():
        sets[("bool", name)] = points

    ages = defaultdict(set)
    property_file("DerivedAge.txt", ages)
    age_canon = long_name["age"]
    age_order = sorted(ages, key=lambda v: tuple(int(x) for x in v.split(".")))
    for v in age_order:
        sets[("age", age_canon[v])] = ages[v]

    for table, file in (("gcb", "auxiliary/GraphemeBreakProperty.txt"),
                        ("wb", "auxiliary/WordBreakProperty.txt"),
                        ("sb", "auxiliary/SentenceBreakProperty.txt")):
        vals = defaultdict(set)
        property_file(file, vals)
        for name, points in vals.items():
            sets[(table, name)] = points

    perl_word = (bools["Alphabetic"] | sets[("gc", "Mark")] | by_gc["Nd"] | by_gc["Pc"]
                 | bools["Join_Control"])
    sets[("perl", "word")] = perl_word

    # Simple case folding orbits (statuses C and S), as a cycle: each member maps to the next.
    orbit = defaultdict(set)
    for f in data_lines("CaseFolding.txt"):
        if f[1] in ("C", "S"):
            a, b = int(f[0], 16), int(f[2], 16)
            orbit[b].add(a)
            orbit[b].add(b)
    fold_next = {}
    for members in orbit.values():
        m = sorted(members)
        for i, c in enumerate(m):
            fold_next[c] = m[(i + 1) % len(m)]

    prop_names = {}
    for f in data_lines("PropertyAliases.txt"):
        for a in f:
            prop_names[normalize(a)] = f[1]

    write(version, sets, [age_canon[v] for v in age_order], fold_next, prop_names, aliases)


def write(version, sets, age_names, fold_next, prop_names, aliases):
    data = []
    index = defaultdict(list)  # table -> [(name, offset, count)]
    for (table, name) in sorted(sets):
        rs = ranges(sets[(table, name)])
        index[table].append((name, len(data) // 2, len(rs)))
        for lo, hi in rs:
            data += [lo, hi]
    age_rank = {n: i for i, n in enumerate(age_names)}
    index["age"].sort(key=lambda e: age_rank[e[0]])
    out = []
    w = out.append
    w("// Generated by scripts/gen_unicode_tables.py from the Unicode Character")
    w("// Database %s (Debian unicode-data); do not edit." % version)
    w("// clang-format off")
    w('#include "fs/regex/unicode_tables.h"')
    w("")
    w("namespace tolvane::unicode {")
    w("")
    w('const char kUnicodeVersion[] = "%s";' % version)
    w("")
    w("namespace {")
    w("")
    def pairs(name, items):
        w("constexpr %s = {" % name)
        line = ""
        for a, b in items:
            item = "{%d,%d}," % (a, b)
            if len(line) + len(item) > 99:
                w(line)
                line = ""
            line += item
        w(line)
        w("};")

    pairs("Range kRanges[]", zip(data[0::2], data[1::2]))
    w("")
    for table in sorted(index):
        w("constexpr NamedSet k_%s[] = {" % table)
        for name, off, count in index[table]:
            w('    {"%s", {kRanges + %d, %d}},' % (name, off, count))
        w("};")
    w("")
    pairs("FoldPair kFold[]", ((c, fold_next[c]) for c in sorted(fold_next)))
    w("")
    w("constexpr Alias kPropertyNames[] = {")
    for a in sorted(prop_names):
        w('    {"%s", "%s"},' % (a, prop_names[a]))
    w("};")
    for prop in ("gc", "sc", "age", "GCB", "WB", "SB"):
        w("constexpr Alias k_values_%s[] = {" % prop)
        for a in sorted(aliases[prop]):
            w('    {"%s", "%s"},' % (a, aliases[prop][a]))
        w("};")
    w("")
    w("}  // namespace")
    w("")
    for table in sorted(index):
        w("std::span<const NamedSet> Table_%s() { return k_%s; }" % (table, table))
    w("std::span<const FoldPair> FoldTable() { return kFold; }")
    w("std::span<const Alias> PropertyNameAliases() { return kPropertyNames; }")
    for prop in ("gc", "sc", "age", "GCB", "WB", "SB"):
        w("std::span<const Alias> ValueAliases_%s() { return k_values_%s; }" % (prop, prop))
    w("")
    w("}  // namespace tolvane::unicode")
    with open(OUT, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    print("ranges:", len(data) // 2, "lines:", len(out))


if __name__ == "__main__":
    main()
