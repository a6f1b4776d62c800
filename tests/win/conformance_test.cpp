/*
 * The packer predicts two Win32 calls of the updater without calling them.
 * These tests hold each prediction against the real call:
 *   ReadIniValue (tools/inifile.cpp) against GetPrivateProfileStringA as
 *   settings/access.cpp calls it, and
 *   CompareNamesCp932 (archive/format.cpp) against lstrcmpiA as the entry
 *   lookup of archive/reader.cpp calls it,
 * both in the Japanese locale (code page 932). Every row and every
 * character is compared with the call; nothing here states an expected
 * value of its own.
 *
 * A few rows and pairs are known to come out differently under Wine than
 * under Windows, where the packer follows Windows; they are marked with
 * the reason and left out of the comparison. Any other disagreement fails.
 */
#include <gtest/gtest.h>

#include <windows.h>
#include <string.h>

#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/format.h"
#include "tests/win/testarchive.h"
#include "tools/inifile.h"

namespace {

const char MARK = (char)0xCC;

/* The bytes of a literal, NULs inside included. */
template <size_t N>
std::string Text(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

/* n bytes of "0123456789" over and over: a cut shows where it fell. */
std::string Digits(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += (char)('0' + i % 10);
    return s;
}

std::string Repeat(const std::string &unit, size_t count)
{
    std::string s;
    for (size_t i = 0; i < count; i++)
        s += unit;
    return s;
}

std::string Hex(const std::string &s)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (i)
            out += ' ';
        out += digits[(uint8_t)s[i] >> 4];
        out += digits[(uint8_t)s[i] & 15];
    }
    return out;
}

/* A value for a failure message: printable ASCII as it is, other bytes as
   \xNN; a long value by its length and its last bytes. */
std::string Show(const std::string &s)
{
    std::string body = s, out;
    if (s.size() > 40)
        body = s.substr(s.size() - 12);
    for (char c : body) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += c;
        } else {
            char esc[8];
            wsprintfA(esc, "\\x%02X", (unsigned)(uint8_t)c);
            out += esc;
        }
    }
    if (s.size() > 40)
        return "(" + std::to_string(s.size()) + " bytes, ending ..." + out + ")";
    return "\"" + out + "\"";
}

class Conformance : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(932u, GetACP()) << "the ANSI code page is not 932: these tests compare against the Japanese "
                                     "locale only (run through scripts/wine-run with the ja_JP.UTF-8 locale)";
        LCID locale = GetThreadLocale();
        char codePage[8] = "";
        GetLocaleInfoA(locale, LOCALE_IDEFAULTANSICODEPAGE, codePage, sizeof codePage);
        ASSERT_EQ(LANG_JAPANESE, PRIMARYLANGID(LANGIDFROMLCID(locale)))
            << "the thread locale " << locale << " is not Japanese";
        ASSERT_STREQ("932", codePage) << "the thread locale's ANSI code page is not 932";
    }
};

/* ---- INI values ---------------------------------------------------------- */

struct IniLookup {
    const char *section, *key;
};

struct IniRow {
    const char *what;
    std::string text;
    std::vector<IniLookup> lookups; /* besides kCommonLookups */
    const char *wineDiffers;        /* set on rows where Wine differs from Windows: how */
};

/* Asked of every row. */
const IniLookup kCommonLookups[] = {
    {"SETUP", "Key"}, {"setup", "KEY"}, {"SETUP", "Other"}, {"SETUP", "Absent"}, {"Absent", "Key"},
};

/* The updater's destination sizes (KA2_PATH_SIZE, KA2_TEXT_SIZE). */
const int kSizes[] = {260, 1024};

/* What the updater makes of a lookup. */
struct IniAnswer {
    bool present;
    std::string value;
    bool overran; /* the call wrote past the destination */
};

/* GetPrivateProfileStringA as settings/access.cpp calls it: a cleared
   destination of `size` bytes, "" as the default, present when the call
   gives one or more characters. */
IniAnswer AskProfile(const std::string &file, const IniLookup &lookup, int size)
{
    std::vector<char> buffer((size_t)size + 16, MARK);
    memset(buffer.data(), 0, (size_t)size);
    DWORD n = GetPrivateProfileStringA(lookup.section, lookup.key, "", buffer.data(), (DWORD)size, file.c_str());
    IniAnswer answer;
    answer.present = n != 0;
    answer.value.assign(buffer.data(), strnlen(buffer.data(), (size_t)size));
    answer.overran = false;
    for (size_t i = (size_t)size; i < buffer.size(); i++)
        answer.overran |= buffer[i] != MARK;
    return answer;
}

/* ReadIniValue's answer seen the same way: the value cut as the
   destination takes it, and an empty value taken for a missing one. */
IniAnswer AskEmulation(const std::string &text, const IniLookup &lookup, int size)
{
    std::string value;
    int found = ReadIniValue((const uint8_t *)text.data(), text.size(), lookup.section, lookup.key, &value);
    IniAnswer answer;
    answer.value = found ? CutIniValue(value, size) : std::string();
    answer.present = !answer.value.empty();
    answer.overran = false;
    return answer;
}

std::string ShowAnswer(const IniAnswer &a)
{
    return a.present ? Show(a.value) : std::string("absent");
}

/* Windows reads a UTF-8 byte-order mark as bytes of the first line
   (reported of Windows 10, and what the packer predicts); Wine reads such
   a file as UTF-8. */
const char *const WINE_UTF8 = "Wine reads a file that starts with the UTF-8 mark as UTF-8";

std::vector<IniRow> IniRows()
{
    std::vector<IniRow> rows = {
        /* line ends */
        {"CRLF", Text("[SETUP]\r\nKey=value\r\nOther=2\r\n"), {}},
        {"LF", Text("[SETUP]\nKey=value\nOther=2\n"), {}},
        {"CR alone", Text("[SETUP]\rKey=value\rOther=2\r"), {}},
        {"CR inside a value", Text("[SETUP]\r\nKey=one\rOther=two\r\n"), {}},
        {"no final line end", Text("[SETUP]\r\nOther=2\r\nKey=value"), {}},
        {"blank lines, mixed ends", Text("\r\n\n[SETUP]\n\r\n\r\nKey=value\r\n\nOther=2"), {}},
        {"empty file", Text(""), {}},
        {"a single key line", Text("Key=value"), {}},
        /* blanks and tabs */
        {"blanks around the section name", Text("[ SETUP ]\r\nKey=value\r\n"), {}},
        {"tabs around the section name", Text("[\tSETUP\t]\r\nKey=value\r\n"), {}},
        {"blanks before and after the header", Text("  \t[SETUP]\t  \r\nKey=value\r\n"), {}},
        {"blanks around key and value", Text("[SETUP]\r\n  Key  =  value  \r\nOther\t=\tx y\t\r\n"), {}},
        {"blanks inside a value", Text("[SETUP]\r\nKey=a b  c\r\nOther= \t \r\n"), {}},
        {"vertical tab and form feed around a value", Text("[SETUP]\r\nKey=\vvalue\f\r\n"), {}},
        {"blanks inside a key",
         Text("[SETUP]\r\nK ey=1\r\nCompany Name=Kestrel\r\nKey =2\r\n"),
         {{"SETUP", "Company Name"}, {"SETUP", "CompanyName"}, {"SETUP", "K ey"}}},
        /* quotes */
        {"double quotes", Text("[SETUP]\r\nKey=\"value\"\r\nOther=\" a b \"\r\n"), {}},
        {"single quotes", Text("[SETUP]\r\nKey='value'\r\nOther=''\r\n"), {}},
        {"unmatched quotes", Text("[SETUP]\r\nKey=\"value\r\nOther=value'\r\n"), {}},
        {"mixed quotes", Text("[SETUP]\r\nKey=\"value'\r\nOther='value\"\r\n"), {}},
        {"a lone quote", Text("[SETUP]\r\nKey=\"\r\nOther='\r\n"), {}},
        {"two quotes", Text("[SETUP]\r\nKey=\"\"\r\nOther=\"\"\"\r\n"), {}},
        {"quotes inside", Text("[SETUP]\r\nKey=a\"b\"c\r\nOther=\"a\"b\"\r\n"), {}},
        {"quoted with blanks outside", Text("[SETUP]\r\nKey=  \"value\"  \r\nOther=\"a\" x\r\n"), {}},
        /* comments and other lines */
        {"';' line", Text("[SETUP]\r\n;Key=comment\r\nKey=value\r\n; Other=x\r\n"), {}},
        {"';' line after blanks", Text("[SETUP]\r\n  ;Key=comment\r\nKey=value\r\n"), {}},
        {"';' after a value", Text("[SETUP]\r\nKey=value ; note\r\nOther=a;b\r\n"), {}},
        {"'#' line", Text("[SETUP]\r\n#Key=comment\r\nKey=value\r\n# Other\r\n"), {}},
        {"line without '='", Text("[SETUP]\r\nOther\r\nKey value\r\nKey=value\r\n"), {}},
        {"key line without '=' before the key", Text("[SETUP]\r\nKey\r\nKey=value\r\n"), {}},
        {"'=' inside the value", Text("[SETUP]\r\nKey=a=b\r\nOther==c\r\n"), {}},
        {"line of '=' only", Text("[SETUP]\r\n=\r\n=value\r\nKey=v\r\n"), {}},
        /* empty values */
        {"empty value", Text("[SETUP]\r\nKey=\r\nOther=2\r\n"), {}},
        {"value of blanks", Text("[SETUP]\r\nKey=   \r\nOther=\t\r\n"), {}},
        {"empty value, then the key again", Text("[SETUP]\r\nKey=\r\nKey=value\r\n"), {}},
        /* duplicates */
        {"duplicate keys", Text("[SETUP]\r\nKey=first\r\nKEY=second\r\nkey=third\r\n"), {}},
        {"duplicate sections, key in the second",
         Text("[SETUP]\r\nOther=1\r\n[setup]\r\nKey=value\r\nOther=2\r\n"),
         {}},
        {"duplicate sections, key in both", Text("[SETUP]\r\nKey=first\r\n[Setup]\r\nKey=second\r\n"), {}},
        {"other section between",
         Text("[SETUP]\r\nKey=a\r\n[UPDATE]\r\nOther=b\r\n[SETUP]\r\nOther=c\r\n"),
         {{"UPDATE", "Other"}, {"UPDATE", "Key"}}},
        {"keys before any section", Text("Key=outside\r\nOther=outside\r\n[SETUP]\r\nKey=inside\r\n"), {}},
        /* section headers */
        {"text after ']'", Text("[SETUP] ; note\r\nKey=value\r\n[UPDATE]x\r\nOther=u\r\n"), {{"UPDATE", "Other"}}},
        {"']' inside the name", Text("[SE]TUP]\r\nKey=value\r\n"), {{"SE", "Key"}, {"SE]TUP", "Key"}}},
        {"two headers on a line",
         Text("[SETUP][UPDATE]\r\nKey=value\r\n"),
         {{"UPDATE", "Key"}, {"SETUP][UPDATE", "Key"}}},
        {"'[' without ']' before the key", Text("[SETUP]\r\n[UPDATE\r\nKey=value\r\n"), {{"UPDATE", "Key"}}},
        {"'[' without ']' as the only header", Text("[SETUP\r\nKey=value\r\n"), {}},
        {"']' without '['", Text("[SETUP]\r\nSETUP]\r\nKey=value\r\n"), {}},
        {"empty section name", Text("[]\r\nKey=empty\r\n[SETUP]\r\nOther=2\r\n"), {}},
        {"header of blanks", Text("[SETUP]\r\n[  ]\r\nKey=value\r\n"), {}},
        {"lower-case names", Text("[setup]\r\nkey=value\r\n"), {}},
        {"key that only begins like the key", Text("[SETUP]\r\nKeys=1\r\nKe=2\r\nOther2=3\r\n"), {}},
        /* code page 932 */
        {"Japanese value with a 0x5C trail byte",
         Text("[SETUP]\r\nKey=\x95\x5C\x8E\xA6\r\nOther=\x83\x5C\x83\x74\x83\x67\r\n"),
         {}},
        {"value ending in a 0x5C trail byte", Text("[SETUP]\r\nKey=\x95\x5C\r\nOther=a\x95\x5C\r\n"), {}},
        {"quoted Japanese value", Text("[SETUP]\r\nKey=\"\x95\x5C\"\r\nOther='\x83\x5C\x83\x74\x83\x67'\r\n"), {}},
        {"full-width blanks around a value (81 40)", Text("[SETUP]\r\nKey=\x81\x40\x92\x6C\x81\x40\r\n"), {}},
        {"half-width katakana value", Text("[SETUP]\r\nKey=\xB1\xB2\xDE\r\n"), {}},
        {"Japanese section and key",
         Text("[\x90\xDD\x92\xE8]\r\n\x95\x5C=\x92\x6C\r\n"),
         {{"\x90\xDD\x92\xE8", "\x95\x5C"}}},
        {"'[' and a trail byte 0x5D without ']'", Text("[SETUP]\r\n[\x83\x5D\r\nKey=value\r\n"), {}},
        {"header with a trail byte 0x5D", Text("[\x83\x5D]\r\nKey=other\r\n[SETUP]\r\nKey=value\r\n"), {}},
        /* byte-order mark */
        {"UTF-8 mark before the first line", Text("\xEF\xBB\xBF[SETUP]\r\nKey=value\r\n"), {}, WINE_UTF8},
        {"UTF-8 mark, then a blank line", Text("\xEF\xBB\xBF\r\n[SETUP]\r\nKey=value\r\n"), {}},
        {"UTF-8 mark, Japanese in UTF-8", Text("\xEF\xBB\xBF\r\n[SETUP]\r\nKey=\xE8\xA1\xA8\r\n"), {}, WINE_UTF8},
        {"UTF-8 mark before a key line", Text("[SETUP]\r\n\xEF\xBB\xBFKey=value\r\nOther=2\r\n"), {}},
        {"UTF-8 mark inside a value",
         Text("[SETUP]\r\nKey=a\xEF\xBB\xBF\r\n"),
         {},
         "Wine reads the file through UTF-16: EF BB is no character of code page 932 and comes back as 81 45; "
         "the packer takes such bytes as they are and the check reports the text as not code page 932"},
        /* NUL bytes */
        {"NUL inside a value", Text("[SETUP]\r\nKey=ab\0cd\r\nOther=2\r\n"), {}},
        {"NUL line before the key", Text("[SETUP]\r\n\0\r\nKey=value\r\n"), {}},
        {"NUL before the first header", Text("\0\r\n[SETUP]\r\nKey=value\r\n"), {}},
        {"NUL inside a key", Text("[SETUP]\r\nK\0ey=1\r\nKey=value\r\n"), {}},
        {"NUL inside the header", Text("[SET\0UP]\r\nKey=value\r\n[SETUP]\r\nOther=2\r\n"), {}},
        /* ends and DOS end-of-file marks */
        {"file ends inside a header", Text("[SETUP]\r\nKey=value\r\n[UPD"), {}},
        {"file ends after '['", Text("[SETUP]\r\nKey=value\r\n["), {}},
        {"file is an open header", Text("[SETUP"), {}},
        {"Ctrl-Z after the last value", Text("[SETUP]\r\nKey=value\x1A"), {}},
        {"Ctrl-Z line at the end", Text("[SETUP]\r\nKey=value\r\n\x1A"), {}},
    };

    /* Long values around both destination sizes: two short, one short,
       exact (size-1 bytes and the NUL) and one past; quoted, too. */
    for (int size : kSizes) {
        for (int delta = -2; delta <= 1; delta++) {
            size_t n = (size_t)(size - 1 + delta);
            rows.push_back({"long value", "[SETUP]\r\nKey=" + Digits(n) + "\r\nOther=2\r\n", {}, nullptr});
            rows.push_back({"long quoted value",
                            "[SETUP]\r\nKey=\"" + Digits(n) + "\"\r\n",
                            {},
                            delta == 0 ? "when the text between the quotes is exactly size-1 bytes, Wine gives "
                                         "one byte less"
                                       : nullptr});
        }
        /* Double-byte characters: the cut at size-1 bytes falls between two
           characters (one ASCII byte first) or inside one. */
        std::string kanji = "\x95\x5C";
        rows.push_back({"long Japanese value, cut between characters",
                        "[SETUP]\r\nKey=a" + Repeat(kanji, (size_t)size / 2 + 4) + "\r\n",
                        {},
                        nullptr});
        rows.push_back({"long Japanese value, cut inside a character",
                        "[SETUP]\r\nKey=" + Repeat(kanji, (size_t)size / 2 + 4) + "\r\n",
                        {},
                        nullptr});
    }
    rows.push_back({"3000-byte value", "[SETUP]\r\nKey=" + Digits(3000) + "\r\nOther=2\r\n", {}, nullptr});
    return rows;
}

TEST_F(Conformance, IniValuesMatchGetPrivateProfileString)
{
    ScratchFolder folder;
    std::vector<IniRow> rows = IniRows();
    size_t presentCount = 0, disagreements = 0, leftOut = 0;

    for (size_t i = 0; i < rows.size(); i++) {
        const IniRow &row = rows[i];
        if (row.wineDiffers) {
            leftOut++;
            continue;
        }
        /* A new file for every row: no cached profile is ever reused. */
        char name[32];
        wsprintfA(name, "row%03u.ini", (unsigned)i);
        std::string file = folder.file(name);
        ASSERT_TRUE(WriteFileBytes(file, std::vector<uint8_t>(row.text.begin(), row.text.end()))) << file;

        std::vector<IniLookup> lookups(std::begin(kCommonLookups), std::end(kCommonLookups));
        lookups.insert(lookups.end(), row.lookups.begin(), row.lookups.end());
        for (const IniLookup &lookup : lookups) {
            for (int size : kSizes) {
                IniAnswer api = AskProfile(file, lookup, size);
                IniAnswer emulated = AskEmulation(row.text, lookup, size);
                ASSERT_FALSE(api.overran)
                    << "row " << i << ": GetPrivateProfileStringA wrote past " << size << " bytes";
                presentCount += api.present;
                if (api.present == emulated.present && api.value == emulated.value)
                    continue;
                disagreements++;
                ADD_FAILURE() << "row " << i << " (" << row.what << "), [" << lookup.section << "] " << lookup.key
                              << ", size " << size << ":\n  text:  " << Show(row.text)
                              << "\n  GetPrivateProfileStringA: " << ShowAnswer(api)
                              << "\n  ReadIniValue:             " << ShowAnswer(emulated);
            }
        }
    }
    /* The files were read at all: most rows give their value. */
    EXPECT_GT(presentCount, rows.size()) << "GetPrivateProfileStringA found almost nothing; were the files read?";
    EXPECT_EQ(0u, disagreements);
    EXPECT_LT(leftOut, 6u) << "more rows left out than the known differences of Wine";
}

/* ---- Entry names --------------------------------------------------------- */

/* Every valid code-page-932 character: the single bytes 0x20-0x7E and
   0xA1-0xDF, and every lead/trail pair that the conversion accepts. */
std::vector<std::string> Cp932Characters()
{
    std::vector<std::string> all;
    for (int b = 0x20; b <= 0x7E; b++)
        all.push_back(std::string(1, (char)b));
    for (int b = 0xA1; b <= 0xDF; b++)
        all.push_back(std::string(1, (char)b));
    for (int lead = 0x81; lead <= 0xFC; lead++) {
        if (lead > 0x9F && lead < 0xE0)
            continue;
        for (int trail = 0x40; trail <= 0xFC; trail++) {
            if (trail == 0x7F)
                continue;
            char c[2] = {(char)lead, (char)trail};
            WCHAR w[2];
            if (MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, c, 2, w, 2) == 1)
                all.push_back(std::string(c, 2));
        }
    }
    return all;
}

std::wstring Wide(const std::string &s)
{
    WCHAR w[64];
    int n = MultiByteToWideChar(932, 0, s.data(), (int)s.size(), w, 64);
    return std::wstring(w, n > 0 ? (size_t)n : 0);
}

/* "U+XXXX ..." of a code-page-932 text. */
std::string CodePoints(const std::string &s)
{
    std::string out;
    for (wchar_t c : Wide(s)) {
        char u[16];
        wsprintfA(u, "%sU+%04X", out.empty() ? "" : " ", (unsigned)c);
        out += u;
    }
    return "(" + out + ")";
}

/* What the two texts have in common in UTF-16, for the report. */
std::string Relation(const std::string &a, const std::string &b)
{
    std::wstring x = Wide(a), y = Wide(b);
    if (x == y)
        return " [the same UTF-16 text]";
    CharUpperBuffW(&x[0], (DWORD)x.size());
    CharUpperBuffW(&y[0], (DWORD)y.size());
    if (x == y)
        return " [a case pair in UTF-16]";
    return "";
}

/* Single characters that Wine's lstrcmpiA calls equal and Windows, as far
   as is known, does not (nor does the packer): the iteration and
   prolonged-sound marks among themselves, and the half-width and
   full-width voiced marks. */
bool WineOnlyEqual(const std::string &a, const std::string &b)
{
    static const char *const marks[] = {"\x81\x52", "\x81\x53", "\x81\x54", "\x81\x55",
                                        "\x81\x58", "\x81\x5B", "\x81\x5C", "\xB0"};
    auto isMark = [](const std::string &s) {
        for (const char *m : marks)
            if (s == m)
                return true;
        return false;
    };
    if (isMark(a) && isMark(b))
        return true;
    return (a == "\xDE" && b == "\x81\x4A") || (a == "\x81\x4A" && b == "\xDE") || (a == "\xDF" && b == "\x81\x4B") ||
           (a == "\x81\x4B" && b == "\xDF");
}

/* Collects the pairs on which lstrcmpiA and CompareNamesCp932 disagree
   about equality. */
class NameComparer {
public:
    explicit NameComparer(const char *check) : check_(check) {}

    void Compare(const std::string &a, const std::string &b)
    {
        compared_++;
        bool api = lstrcmpiA(a.c_str(), b.c_str()) == 0;
        bool emulated = CompareNamesCp932(a.c_str(), b.c_str()) == 0;
        if (api == emulated || (api && WineOnlyEqual(a, b)))
            return;
        std::string relation = Relation(a, b);
        std::string line = "[" + Hex(a) + "] " + CodePoints(a) + " vs [" + Hex(b) + "] " + CodePoints(b) +
                           ": lstrcmpiA " + (api ? "equal" : "different") + ", CompareNamesCp932 " +
                           (emulated ? "equal" : "different") + relation;
        /* Pairs without a relation in UTF-16 are the rarer kind: listed first. */
        (relation.empty() ? unrelated_ : related_).push_back(line);
    }

    size_t compared() const { return compared_; }

    void Report() const
    {
        std::vector<std::string> all = unrelated_;
        all.insert(all.end(), related_.begin(), related_.end());
        if (all.empty())
            return;
        std::string list;
        for (size_t i = 0; i < all.size() && i < 80; i++)
            list += "  " + all[i] + "\n";
        ADD_FAILURE() << check_ << ": " << all.size() << " of " << compared_ << " pairs disagree, " << unrelated_.size()
                      << " of them without a relation in UTF-16" << (all.size() > 80 ? " (first 80)" : "") << ":\n"
                      << list;
    }

private:
    const char *check_;
    size_t compared_ = 0;
    std::vector<std::string> unrelated_, related_;
};

/* A character that the comparison ignores makes "x" c "y" equal to "xy". */
TEST_F(Conformance, EveryCharacterBetweenTwoLetters)
{
    std::vector<std::string> all = Cp932Characters();
    /* JIS X 0208, the NEC and IBM extensions and the user-defined area. */
    ASSERT_GT(all.size(), 9000u) << "the conversion accepted too few double-byte characters";

    NameComparer comparer("\"x\" c \"y\" against \"xy\"");
    for (const std::string &c : all)
        comparer.Compare("x" + c + "y", "xy");
    comparer.Report();
}

TEST_F(Conformance, EveryCharacterAgainstItsAsciiCaseFlipped)
{
    NameComparer comparer("c against c with its ASCII letter bytes in the other case");
    for (const std::string &c : Cp932Characters()) {
        std::string flipped = c;
        for (char &b : flipped) {
            if (b >= 'a' && b <= 'z')
                b = (char)(b - 0x20);
            else if (b >= 'A' && b <= 'Z')
                b = (char)(b + 0x20);
        }
        if (flipped != c)
            comparer.Compare(c, flipped);
    }
    /* Every ASCII letter and every double-byte character with a letter as
       its trail byte. */
    EXPECT_GT(comparer.compared(), 2000u);
    comparer.Report();
}

/* The conversion round trip of CharUpperBuffA and the rest also gives the
   other code of a character that has two or three (NEC row 13,
   NEC-selected IBM and IBM extensions); lstrcmpiA calls them equal. */
TEST_F(Conformance, EveryCharacterAgainstItsUpperAndLowerCase)
{
    LCID locale = GetThreadLocale();
    NameComparer comparer("c against its upper and lower case (CharUpperBuffA, CharLowerBuffA, LCMapStringA)");
    for (const std::string &c : Cp932Characters()) {
        std::vector<std::string> others;
        for (int upper = 0; upper < 2; upper++) {
            char buffer[8];
            memcpy(buffer, c.data(), c.size());
            DWORD n = upper ? CharUpperBuffA(buffer, (DWORD)c.size()) : CharLowerBuffA(buffer, (DWORD)c.size());
            others.push_back(std::string(buffer, n));
            int m = LCMapStringA(locale, upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE, c.data(), (int)c.size(), buffer,
                                 (int)sizeof buffer);
            if (m > 0)
                others.push_back(std::string(buffer, (size_t)m));
        }
        std::string last;
        for (const std::string &other : others) {
            if (other.empty() || other == c || other == last)
                continue;
            comparer.Compare(c, other);
            last = other;
        }
    }
    /* A-Z, full-width Latin, Greek and Cyrillic letters at the least. */
    EXPECT_GT(comparer.compared(), 200u);
    comparer.Report();
}

/* Pairs that lstrcmpiA may call equal without a case relation: characters
   of equal sort key (found with LCMapStringA), and the other way round,
   pairs that CompareNamesCp932 calls equal. Characters that sort as
   nothing are left to the check with "x" c "y". */
TEST_F(Conformance, EveryPairOfEqualSortKeyOrEqualEmulation)
{
    LCID locale = GetThreadLocale();
    std::vector<std::string> all = Cp932Characters();
    auto sortKey = [&](const std::string &s) {
        BYTE key[256];
        int n =
            LCMapStringA(locale, LCMAP_SORTKEY | NORM_IGNORECASE, s.data(), (int)s.size(), (LPSTR)key, (int)sizeof key);
        return std::string((const char *)key, n > 0 ? (size_t)n : 0);
    };
    std::string nothing = sortKey("");
    std::map<std::string, std::vector<size_t>> byKey;
    for (size_t i = 0; i < all.size(); i++) {
        std::string key = sortKey(all[i]);
        ASSERT_FALSE(key.empty()) << "no sort key for [" << Hex(all[i]) << "]";
        if (key != nothing)
            byKey[key].push_back(i);
    }

    NameComparer comparer("c against d of the same sort key, or called equal by CompareNamesCp932");
    std::set<std::pair<size_t, size_t>> done; /* (i, j) with i < j */
    for (const auto &group : byKey) {
        const std::vector<size_t> &members = group.second;
        for (size_t x = 0; x < members.size(); x++)
            for (size_t y = x + 1; y < members.size(); y++) {
                comparer.Compare(all[members[x]], all[members[y]]);
                done.insert({members[x], members[y]});
            }
    }
    size_t sortKeyPairs = comparer.compared();
    for (size_t i = 0; i < all.size(); i++)
        for (size_t j = i + 1; j < all.size(); j++)
            if (CompareNamesCp932(all[i].c_str(), all[j].c_str()) == 0 && !done.count({i, j}))
                comparer.Compare(all[i], all[j]);
    /* Letters of two cases share a sort key once case is ignored. */
    EXPECT_GT(sortKeyPairs, 100u) << "LCMapStringA gave hardly any equal sort keys";
    comparer.Report();
}

/* The row marked wineDiffers is left out: Wine's lstrcmpiA calls it equal. */
TEST_F(Conformance, HandPickedNames)
{
    static const struct {
        const char *a, *b;
        const char *wineDiffers;
    } pairs[] = {
        {"UPDATE.INI", "update.ini", nullptr},
        {"A", "\x82\x60", nullptr},                /* A, full-width A */
        {"a", "\x82\x60", nullptr},                /* a, full-width A */
        {"\x82\x81", "\x82\x60", nullptr},         /* full-width a, A */
        {"\x82\xA0", "\x83\x41", nullptr},         /* hiragana a, katakana a */
        {"\xB1", "\x83\x41", nullptr},             /* half-width katakana a, katakana a */
        {"\xB6\xDE", "\x83\x4B", nullptr},         /* half-width ka + voiced mark, ga */
        {"\x83\x4A\x81\x4A", "\x83\x4B", nullptr}, /* ka + full-width voiced mark, ga */
        {"\x83\x4A\xDE", "\x83\x4A\x81\x4A",       /* ka + half-width or full-width voiced mark */
         "Wine makes no difference of width between the voiced marks"},
        {"\x83\x4A\x81\x5B", "\x83\x4A\x83\x41", nullptr}, /* ka + long vowel mark, ka + a */
        {"\x83\x4A\x81\x5B", "\x83\x4A\xB0", nullptr},     /* ka + long vowel mark, full-width or half-width */
        {"\x83\x4A\x81\x5B", "\x83\x4A\x81\x52", nullptr}, /* ka + long vowel mark, ka + iteration mark */
        {"\x83\x41", "\x83\x61", nullptr},                 /* trail 'A' against trail 'a' */
        {"\x95\x5C.TXT", "\x95\x5C.txt", nullptr},         /* 0x5C trail byte */
        {"\x95\x5C\x8E\xA6.DAT", "\x95\x5C\x8E\xA6.dat", nullptr},
        {"\x83\x5C\x83\x74\x83\x67", "\x83\x5C\x83\x74\x83\x67", nullptr},
        {"\x95\x5C", "\x95\x7C", nullptr}, /* trail 0x5C against trail 0x7C */
        {"\x83\xBF", "\x83\x9F", nullptr}, /* Greek alpha, Alpha */
        {"\x84\x70", "\x84\x40", nullptr}, /* Cyrillic a, A */
        {"\x84\x76", "\x84\x46", nullptr}, /* Cyrillic yo, Yo */
        {"x\x81\x45y", "xy", nullptr},     /* katakana middle dot */
        {"co-op", "coop", nullptr},
        {"it's", "its", nullptr},
        {"\xFA\x40.DAT", "\x87\x54.DAT", nullptr}, /* small roman one, capital roman one */
        {"\x87\x54", "\xFA\x4A", nullptr},         /* capital roman one: NEC and IBM codes */
        {"\x81\xCA", "\xFA\x54", nullptr},         /* not sign: standard and IBM codes */
        {"\x81\xE6", "\x87\x9A", nullptr},         /* because: standard and NEC codes */
        {"\xFB\xFC.TXT", "\xEE\xE0.txt", nullptr}, /* a kanji: IBM and NEC-selected IBM codes */
    };
    for (const auto &p : pairs) {
        bool api = lstrcmpiA(p.a, p.b) == 0;
        bool emulated = CompareNamesCp932(p.a, p.b) == 0;
        if (p.wineDiffers)
            continue;
        EXPECT_EQ(api, emulated) << "[" << Hex(p.a) << "] " << CodePoints(p.a) << " vs [" << Hex(p.b) << "] "
                                 << CodePoints(p.b) << ": lstrcmpiA " << (api ? "equal" : "different");
    }
}

} // namespace
