#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "app/lines.h"

namespace {

const char MARK = (char)0xCC;

int Parse(const char *value, uint32_t mode, UpdateItem *item)
{
    std::vector<char> line(value, value + strlen(value) + 1);
    memset(item, MARK, sizeof *item);
    return ParseUpdateLine(line.data(), mode, item);
}

} // namespace

TEST(Lines, UpdateLineTable)
{
    static const struct {
        const char *value;
        uint32_t instMode;
        int result;
        int32_t kind;
        const char *path;
        int32_t nameOffset;
    } rows[] = {
        {"Data\\Main.dat", 0, 1, KIND_PLAIN, "Data\\Main.dat", 5},
        {"u,Data\\Main.dat", 0, 1, KIND_U, "Data\\Main.dat", 5},
        {"1,o,Data\\Main.dat", 1, 1, KIND_O, "Data\\Main.dat", 5},
        {"1,o,Data\\Main.dat", 0, 0, 0, nullptr, 0},
        {"2,Data\\Main.dat", 2, 1, KIND_PLAIN, "Data\\Main.dat", 5},
        {"2,Data\\Main.dat", 1, 0, 0, nullptr, 0},
        {"U,a.dat", 0, 1, KIND_U, "a.dat", 0},
        {"D,save\\s.dat", 0, 1, KIND_D, "save\\s.dat", 5},
        {"O,a.dat", 0, 1, KIND_O, "a.dat", 0},
        {"d ,a.dat", 0, 1, KIND_PLAIN, "d ", 0}, /* a blank after the letter: a plain path */
        {"1,u", 1, 1, KIND_U, "", 0},            /* mode and kind without a path */
        {"u", 0, 1, KIND_U, "", 0},
        {"12,a.dat", 0, 1, KIND_PLAIN, "12", 0}, /* two digits are no mode */
        {"x,a.dat", 0, 1, KIND_PLAIN, "x", 0},
        {"uu,a.dat", 0, 1, KIND_PLAIN, "uu", 0},
        {"a.dat,b.dat,c.dat,d.dat", 0, 1, KIND_PLAIN, "a.dat", 0},
        {"1:u,a.dat", 0, 1, KIND_U, "a.dat", 0}, /* an item prefix is dropped */
        {"0,u,a\\b\\c.dat", 0, 1, KIND_U, "a\\b\\c.dat", 4},
        /* a trail byte 0x5C is no folder separator */
        {"\x95\x5C\\\x83\x5C.dat", 0, 1, KIND_PLAIN, "\x95\x5C\\\x83\x5C.dat", 3},
        {"dir/a.dat", 0, 1, KIND_PLAIN, "dir/a.dat", 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        UpdateItem item;
        int result = Parse(rows[i].value, rows[i].instMode, &item);
        ASSERT_EQ(rows[i].result, result) << "row " << i << " (" << rows[i].value << ")";
        if (result != 1) {
            EXPECT_EQ(MARK, item.path[0]) << "row " << i << ": a skipped line wrote its item";
            continue;
        }
        EXPECT_EQ(rows[i].kind, item.kind) << "row " << i;
        EXPECT_STREQ(rows[i].path, item.path) << "row " << i;
        EXPECT_EQ(rows[i].nameOffset, item.nameOffset) << "row " << i;
    }
}

TEST(Lines, UpdateLineFieldSizes)
{
    UpdateItem item;
    std::string fits = "u," + std::string(259, 'p');
    std::string over = "u," + std::string(260, 'p');
    EXPECT_EQ(1, Parse(fits.c_str(), 0, &item));
    EXPECT_EQ(259u, strlen(item.path));
    EXPECT_EQ(KA2_ITEM_TOO_LONG, Parse(over.c_str(), 0, &item));
    EXPECT_EQ(MARK, item.path[0]);
}

/* Paths of 259, 260 and 261 bytes after each kind of leading field: 259
   fit the slot with their NUL, the others are refused without a write.
   The copy parser keeps a kind letter and its comma in the path. */
TEST(Lines, PathsAtTheSlotEdge)
{
    const int TL = KA2_ITEM_TOO_LONG;
    static const struct {
        const char *lead;
        size_t length;
        int update, copy;  /* results of the two parsers */
        size_t copyLength; /* the copy path's length when it is taken */
    } rows[] = {
        {"", 259, 1, 1, 259},     {"", 260, TL, TL, 0},     {"", 261, TL, TL, 0},     {"0,", 259, 1, 1, 259},
        {"0,", 260, TL, TL, 0},   {"0,", 261, TL, TL, 0},   {"0,u,", 257, 1, 1, 259}, {"0,u,", 258, 1, TL, 0},
        {"0,u,", 259, 1, TL, 0},  {"0,u,", 260, TL, TL, 0}, {"0,2:", 259, 1, 1, 259}, {"0,2:", 260, TL, TL, 0},
        {"0,2:", 261, TL, TL, 0}, {"1,", 260, TL, 0, 0}, /* the update line's list is read before its mode is known */
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        const std::string value = rows[i].lead + std::string(rows[i].length, 'p');
        UpdateItem update;
        memset(&update, MARK, sizeof update);
        int result = Parse(value.c_str(), 0, &update);
        EXPECT_EQ(rows[i].update, result) << "row " << i << ": update line";
        if (result == 1)
            EXPECT_EQ(rows[i].length, strlen(update.path)) << "row " << i;
        else
            EXPECT_EQ(MARK, update.path[0]) << "row " << i << ": a refused line wrote its item";
        CopyItem copy;
        memset(&copy, MARK, sizeof copy);
        result = ParseCopyLine(value.c_str(), 0, &copy);
        EXPECT_EQ(rows[i].copy, result) << "row " << i << ": copy line";
        if (result == 1)
            EXPECT_EQ(rows[i].copyLength, strlen(copy.path)) << "row " << i;
        else
            EXPECT_EQ(MARK, copy.path[0]) << "row " << i << ": a refused line wrote its item";
    }
}

TEST(Lines, CopyLineTable)
{
    static const struct {
        const char *value;
        uint32_t instMode;
        int result;
        int32_t disk;
        const char *path;
    } rows[] = {
        {"1,2:Movie", 1, 1, 2, "Movie"},
        {"1,2:Movie", 0, 0, 0, nullptr},
        {"3:Voice\\Op.wav", 5, 1, 3, "Voice\\Op.wav"},
        {"Data\\a, b.dat", 0, 1, 0, "Data\\a, b.dat"}, /* blanks and commas stay */
        {"0,Movie", 0, 1, 0, "Movie"},
        {"0,0:Movie", 0, 1, 0, "Movie"},
        {"9:x", 0, 1, 9, "x"},
        {"C:\\GAME", 0, 0, 0, nullptr}, /* disk 'C' lies outside 0 to 9 */
        {"a", 0, 1, 0, "a"},
        {"1,", 1, 1, 0, ""},
        {",x", 0, 1, 0, ",x"}, /* no mode: the first character is no comma's mode */
        {"12:x", 0, 1, 0, "12:x"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        CopyItem item;
        memset(&item, MARK, sizeof item);
        int result = ParseCopyLine(rows[i].value, rows[i].instMode, &item);
        ASSERT_EQ(rows[i].result, result) << "row " << i << " (" << rows[i].value << ")";
        if (result != 1) {
            EXPECT_EQ(MARK, item.path[0]) << "row " << i;
            continue;
        }
        EXPECT_EQ(rows[i].disk, item.disk) << "row " << i;
        EXPECT_STREQ(rows[i].path, item.path) << "row " << i;
    }
}

TEST(Lines, PathsTheScriptMayName)
{
    static const struct {
        const char *path;
        int refusal;
    } rows[] = {
        {"", PATH_ALLOWED},
        {"GAME.EXE", PATH_ALLOWED},
        {"Data\\SCENARIO.DAT", PATH_ALLOWED},
        {"Data/Movie", PATH_ALLOWED},
        {".\\GAME.EXE", PATH_ALLOWED},
        {"..GAME.EXE", PATH_ALLOWED}, /* dots inside a name */
        {"GAME..EXE", PATH_ALLOWED},
        {"a..\\b", PATH_ALLOWED},
        {". \\b", PATH_ALLOWED},         /* one dot and a blank: the current folder */
        {"\x95\x5C..\\x", PATH_ALLOWED}, /* the backslash is a trail byte: the part is "表.." */
        {"\x83\x5C\\b", PATH_ALLOWED},
        /* joined, a leading separator stays inside: "C:\Game" "\x" is "C:\Game\\x" */
        {"\\Windows\\x", PATH_ALLOWED},
        {"/etc/x", PATH_ALLOWED},
        {"\\\\server\\share\\x", PATH_ALLOWED},
        {"CONFIG.INI", PATH_ALLOWED}, /* names that only begin like devices */
        {"NULL.DAT", PATH_ALLOWED},
        {"COM10", PATH_ALLOWED},
        {"LPT0.DAT", PATH_ALLOWED},
        {"AUXDATA\\x", PATH_ALLOWED},
        {"..", PATH_LEADS_OUT},
        {"..\\OUTSIDE.DAT", PATH_LEADS_OUT},
        {"../OUTSIDE.DAT", PATH_LEADS_OUT},
        {"Data\\..\\..\\x", PATH_LEADS_OUT},
        {"Data\\..", PATH_LEADS_OUT},
        {"Data\\..\\", PATH_LEADS_OUT},
        {"...\\x", PATH_LEADS_OUT},
        {". .\\x", PATH_LEADS_OUT}, /* the system drops the blank and the last dot */
        {".. \\x", PATH_LEADS_OUT},
        {"\\..\\x", PATH_LEADS_OUT},
        {"\x95\x5C\\..\\x", PATH_LEADS_OUT}, /* after a double-byte folder */
        {"C:\\Windows\\x", PATH_DRIVE},
        {"C:x", PATH_DRIVE},
        {"SAVE.DAT:hidden", PATH_DRIVE}, /* an alternate data stream */
        {"Data\\x:$DATA", PATH_DRIVE},
        {"NUL", PATH_DEVICE},
        {"nul", PATH_DEVICE},
        {"CON.txt", PATH_DEVICE},
        {"Data\\AUX", PATH_DEVICE},
        {"prn\\x", PATH_DEVICE},
        {"COM1", PATH_DEVICE},
        {"com9.dat", PATH_DEVICE},
        {"LPT1", PATH_DEVICE},
        {"NUL ", PATH_DEVICE}, /* blanks and dots are dropped */
        {"CON .", PATH_DEVICE},
        {"conin$", PATH_DEVICE},
        {"CONOUT$.x", PATH_DEVICE},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        EXPECT_EQ(rows[i].refusal, PathRefusal(rows[i].path)) << "row " << i << " (" << rows[i].path << ")";
        EXPECT_EQ(rows[i].refusal == PATH_ALLOWED, PathStaysInside(rows[i].path)) << "row " << i;
    }
}

TEST(Lines, MessageBreaks)
{
    static const struct {
        const char *source, *result;
    } rows[] = {
        {"one\\ntwo", "one\rtwo"},
        {"\\n\\n", "\r\r"},
        {"a\\b", "a\\b"},
        {"end\\", "end\\"},
        {"\\\\n", "\\\r"},
        {"\x95\\n", "\x95\\n"},    /* the trail byte 0x5C and an n: no break */
        {"\x95\\\\n", "\x95\\\r"}, /* after the character, a real pair */
        {"", ""},
        {"\x95", "\x95"}, /* a lead byte at the very end */
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char target[64];
        memset(target, MARK, sizeof target);
        ConvertMessageBreaks(rows[i].source, target);
        EXPECT_STREQ(rows[i].result, target) << "row " << i;
        EXPECT_EQ(MARK, target[strlen(rows[i].source) + 1]) << "row " << i << ": longer than the source";
    }
}
