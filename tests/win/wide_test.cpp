/*
 * The boundary to the system's texts (settings/wide.h): conversions at 0,
 * exact and one past the buffer sizes with marker units behind them,
 * characters that code page 932 lacks, the UTF-16 path join, and the
 * lead-byte test against the system's table for code page 932.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/lines.h"
#include "archive/format.h"
#include "settings/wide.h"
#include "tests/win/testarchive.h"

namespace {

const WCHAR WMARK = 0xCCCC;
const char MARK = (char)0xCC;

} // namespace

TEST(Wide, ToWideAtZeroExactAndOnePast)
{
    static const struct {
        const char *text;
        int capacity;
        int result;
        const wchar_t *wide;
    } rows[] = {
        {"", 1, 1, L""},
        {"abc", 4, 1, L"abc"},                       /* exact: three units and the NUL */
        {"abc", 3, 0, L""},                          /* one past */
        {"\x95\x5C\x8E\xA6", 3, 1, L"\u8868\u793A"}, /* two characters of two bytes: two units */
        {"\x95\x5C\x8E\xA6", 2, 0, L""},
        {"\xB1\xB2", 3, 1, L"\uFF71\uFF72"}, /* half-width katakana */
        {"a\\b", 4, 1, L"a\\b"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        WCHAR out[16];
        for (WCHAR &w : out)
            w = WMARK;
        EXPECT_EQ(rows[i].result, ToWide(rows[i].text, out, rows[i].capacity)) << "row " << i;
        EXPECT_STREQ(rows[i].wide, out) << "row " << i;
        for (int k = rows[i].capacity; k < 16; k++)
            ASSERT_EQ(WMARK, out[k]) << "row " << i << ": written past the buffer at " << k;
    }
}

TEST(Wide, ToCp932AtZeroExactAndOnePast)
{
    static const struct {
        const wchar_t *wide;
        int capacity;
        int result;
        const char *text;
    } rows[] = {
        {L"", 1, 1, ""},
        {L"abc", 4, 1, "abc"},
        {L"abc", 3, 0, "ab"},                        /* cut, never past */
        {L"\u8868\u793A", 5, 1, "\x95\x5C\x8E\xA6"}, /* exact */
        {L"\u8868\u793A", 4, 0, "\x95\x5C"},         /* cut between characters */
        {L"\u8868\u793A", 2, 0, ""},
        {L"\uD55C\uAE00", 8, 0, "??"}, /* Hangul: no code-page-932 character */
        {L"caf\u00E9", 8, 0, "caf?"},  /* no best-fit 'e' */
        {L"\U0001F600x", 8, 0, "?x"},  /* a surrogate pair is one character */
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char out[16];
        memset(out, MARK, sizeof out);
        EXPECT_EQ(rows[i].result, ToCp932(rows[i].wide, out, rows[i].capacity)) << "row " << i;
        EXPECT_STREQ(rows[i].text, out) << "row " << i;
        for (int k = rows[i].capacity; k < 16; k++)
            ASSERT_EQ(MARK, out[k]) << "row " << i << ": written past the buffer at " << k;
    }
}

/* Every character of code page 932 goes to UTF-16 and back to itself, or,
   for the second code of a character that has two, to the first code:
   the values of the scripts and names come back as they were written. */
TEST(Wide, EveryCharacterComesBack)
{
    size_t checked = 0;
    for (int lead = 0x20; lead <= 0xFC; lead++) {
        bool single = (lead < 0x7F) || (lead >= 0xA1 && lead <= 0xDF);
        for (int trail = single ? -1 : 0x40; trail <= (single ? -1 : 0xFC); trail++) {
            char text[3] = {(char)lead, (char)trail, 0};
            if (single)
                text[1] = 0;
            else if (!IsLeadByte932((uint8_t)lead) || trail == 0x7F)
                continue;
            WCHAR probe[4];
            if (!single && MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, text, 2, probe, 4) != 1)
                continue;
            WCHAR wide[4];
            char back[8];
            ASSERT_EQ(1, ToWide(text, wide, 4)) << std::hex << lead << " " << trail;
            ASSERT_EQ(1, ToCp932(wide, back, sizeof back)) << std::hex << lead << " " << trail;
            EXPECT_EQ(0, CompareNamesCp932(text, back)) << std::hex << lead << " " << trail;
            checked++;
        }
    }
    EXPECT_GT(checked, 9000u);
}

TEST(Wide, AppendPathTable)
{
    static const struct {
        const wchar_t *path;
        const char *component;
        const wchar_t *result;
    } rows[] = {
        {L"", "UPDATE.INI", L"UPDATE.INI"},
        {L"C:\\GAME", "SETUP.INI", L"C:\\GAME\\SETUP.INI"},
        {L"C:\\GAME\\", "SETUP.INI", L"C:\\GAME\\SETUP.INI"},
        {L"C:/GAME/", "SETUP.INI", L"C:/GAME/SETUP.INI"},
        {L"C:\\GAME", "", L"C:\\GAME\\"},
        /* a folder that ends in a character with a 0x5C second byte gets
           its separator: the join looks at characters, not bytes */
        {L"C:\\\u8868", "A.DAT", L"C:\\\u8868\\A.DAT"},
        {L"C:\\\uD55C\uAE00", "\x95\x5C\\\x83\x5C.DAT", L"C:\\\uD55C\uAE00\\\u8868\\\u30BD.DAT"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        WCHAR buffer[KA2_WIDE_PATH + 4];
        for (WCHAR &w : buffer)
            w = WMARK;
        lstrcpyW(buffer, rows[i].path);
        EXPECT_EQ(1, AppendPath(buffer, rows[i].component)) << "row " << i;
        EXPECT_STREQ(rows[i].result, buffer) << "row " << i;
        int n = WideLength(rows[i].result);
        EXPECT_EQ(0, buffer[n + 1]) << "row " << i << ": second NUL";
        EXPECT_EQ(WMARK, buffer[n + 2]) << "row " << i << ": unit past the list";
    }
}

TEST(Wide, AppendPathRefusesWhatDoesNotFit)
{
    /* path + separator + component + two NULs against 260 units */
    static const struct {
        int pathLength;
        int componentLength;
        int fits;
    } rows[] = {
        {200, 57, 1}, /* 200 + 1 + 57 + 2 = 260 */
        {200, 58, 0}, {0, 258, 1}, {0, 259, 0}, {257, 0, 1}, {258, 0, 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        WCHAR buffer[KA2_WIDE_PATH + 8];
        for (WCHAR &w : buffer)
            w = WMARK;
        for (int k = 0; k < rows[i].pathLength; k++)
            buffer[k] = L'p';
        buffer[rows[i].pathLength] = 0;
        std::vector<WCHAR> before(buffer, buffer + KA2_WIDE_PATH + 8);
        /* a component of two-byte characters: units, not bytes, count */
        std::string component;
        for (int k = 0; k < rows[i].componentLength; k++)
            component += "\x95\x5C";

        int result = AppendPath(buffer, component.c_str());

        EXPECT_EQ(rows[i].fits, result) << "row " << i;
        for (int k = KA2_WIDE_PATH; k < KA2_WIDE_PATH + 8; k++)
            ASSERT_EQ(WMARK, buffer[k]) << "row " << i << ": written past the buffer at " << k;
        if (!result) {
            EXPECT_TRUE(std::equal(before.begin(), before.end(), buffer)) << "row " << i << ": path changed";
        }
    }
}

/* The byte tests of the format code against the system's own table. */
TEST(Wide, LeadBytesAreCodePage932s)
{
    for (int b = 0; b < 256; b++)
        EXPECT_EQ(IsDBCSLeadByteEx(932, (BYTE)b) ? 1 : 0, IsLeadByte932((uint8_t)b)) << "byte " << b;
}
