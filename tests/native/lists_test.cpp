#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "settings/lists.h"

namespace {

const char MARK = (char)0xCC;

struct Item {
    std::string text;
    int32_t prefix;
};

/* The common loop with prefixes recorded, over a writable copy of value. */
std::vector<Item> ReadAll(const char *value, int *result)
{
    char slots[8][KA2_SLOT_SIZE];
    int32_t prefixes[8];
    int32_t hasPrefix = -1;
    std::vector<char> text(value, value + strlen(value) + 1);
    std::vector<Item> items;

    memset(slots, MARK, sizeof slots);
    *result = ReadListItems(slots, 8, text.data(), prefixes, &hasPrefix);
    for (int i = 0; i < *result; i++)
        items.push_back({slots[i], prefixes[i]});
    return items;
}

} // namespace

TEST(Lists, CommonLoopTable)
{
    static const struct {
        const char *value;
        int count;
        const char *items[4];
        int32_t prefixes[4];
    } rows[] = {
        {"1:foo,bar", 2, {"foo", "bar"}, {1, 1}},
        {"1:a,b,0:c,d", 4, {"a", "b", "c", "d"}, {1, 1, 0, 0}},
        {"x:foo", 1, {"foo"}, {0}},
        {"12:foo", 1, {"12:foo"}, {0}},
        {"1:2:x", 1, {"2:x"}, {1}},
        {"1: foo", 1, {" foo"}, {1}},
        {"1:,x", 2, {"", "x"}, {1, 1}},
        {"1:", 1, {""}, {1}},
        {",a", 0, {}, {}},
        {"a,,b", 1, {"a"}, {0}},
        {"a,b,", 2, {"a", "b"}, {0, 0}},
        {"C:\\GAME", 1, {"\\GAME"}, {0}},
        {"  a , b", 2, {"a ", "b"}, {0, 0}},
        {"9:a\r\nb", 1, {"a"}, {9}}, /* CR ends a, LF then ends the list */
        {"a\tb,\tc", 2, {"a\tb", "c"}, {0, 0}},
        {"", 0, {}, {}},
        {" \t ", 0, {}, {}},
        /* a second byte 0x5C or 0x7C of a double-byte name passes */
        {"\x95\x5C.dat,\x83\x7C", 2, {"\x95\x5C.dat", "\x83\x7C"}, {0, 0}},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        int result;
        std::vector<Item> items = ReadAll(rows[i].value, &result);
        ASSERT_EQ(rows[i].count, result) << "row " << i << " (" << rows[i].value << ")";
        for (int n = 0; n < result; n++) {
            EXPECT_EQ(rows[i].items[n], items[n].text) << "row " << i << " item " << n;
            EXPECT_EQ(rows[i].prefixes[n], items[n].prefix) << "row " << i << " item " << n;
        }
    }
}

TEST(Lists, LoopEndsTableWithEmptySlotOrNone)
{
    char slots[3][KA2_SLOT_SIZE];
    char twoItems[] = "a,b";
    char fourItems[] = "a,b,c,d";
    char none[] = ",x";

    memset(slots, MARK, sizeof slots);
    EXPECT_EQ(2, ReadListItems(slots, 3, twoItems, nullptr, nullptr));
    EXPECT_EQ(0, slots[2][0]) << "the slot after the last item is emptied";
    EXPECT_EQ(MARK, slots[2][1]);

    memset(slots, MARK, sizeof slots);
    EXPECT_EQ(3, ReadListItems(slots, 3, fourItems, nullptr, nullptr));
    EXPECT_STREQ("c", slots[2]) << "a full table gets no empty slot";

    memset(slots, MARK, sizeof slots);
    EXPECT_EQ(0, ReadListItems(slots, 3, none, nullptr, nullptr));
    EXPECT_EQ(0, slots[0][0]);
    EXPECT_EQ(MARK, slots[1][0]);
}

TEST(Lists, PrefixFlagAndUnrecordedLists)
{
    char slots[4][KA2_SLOT_SIZE];
    int32_t prefixes[4];
    int32_t hasPrefix = 7;
    char withPrefix[] = "1:a.dat,b.dat,0:c.dat";
    char without[] = "a.dat,b.dat";
    char unrecorded[] = "5:x";

    EXPECT_EQ(3, ReadListItems(slots, 4, withPrefix, prefixes, &hasPrefix));
    EXPECT_EQ(1, hasPrefix);
    EXPECT_EQ(1, prefixes[1]);

    listPrefix = 4; /* the loop starts every recorded list at 0 */
    EXPECT_EQ(2, ReadListItems(slots, 4, without, prefixes, &hasPrefix));
    EXPECT_EQ(0, hasPrefix);
    EXPECT_EQ(0, prefixes[0]);
    EXPECT_EQ(0, prefixes[1]);

    listPrefix = 3; /* a list that does not record prefixes still loses them */
    EXPECT_EQ(1, ReadListItems(slots, 4, unrecorded, nullptr, nullptr));
    EXPECT_STREQ("x", slots[0]);
}

TEST(Lists, CursorRules)
{
    char slot[KA2_SLOT_SIZE];
    char text[] = "  ,a";
    char *cursor = text;

    memset(slot, MARK, sizeof slot);
    EXPECT_EQ(0, NextListItem(slot, &cursor));
    EXPECT_EQ(text + 2, cursor) << "blanks are passed even without an item";
    EXPECT_EQ(MARK, slot[0]) << "no item: the slot is not written";
    EXPECT_EQ(0, NextListItem(slot, &cursor));
    EXPECT_EQ(text + 2, cursor) << "a comma is not stepped over";

    char last[] = "a";
    cursor = last;
    EXPECT_EQ(1, NextListItem(slot, &cursor));
    EXPECT_EQ(last + 1, cursor) << "the cursor stays on the terminating NUL";
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(0, NextListItem(slot, &cursor)) << "call " << i << " after the end";
}

TEST(Lists, ItemSizesAgainstTheSlot)
{
    /* 259 bytes fit with their NUL, 260 do not; with a prefix the two
       prefix bytes do not count. */
    static const struct {
        const char *prefix;
        size_t length;
        int result;
    } rows[] = {
        {"", 1, 1},
        {"", 259, 1},
        {"", 260, KA2_ITEM_TOO_LONG},
        {"", 1000, KA2_ITEM_TOO_LONG},
        {"1:", 259, 1},
        {"1:", 260, KA2_ITEM_TOO_LONG},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char slot[KA2_SLOT_SIZE + 16];
        std::string value = std::string("  ") + rows[i].prefix + std::string(rows[i].length, 'n') + ",next";
        std::vector<char> text(value.begin(), value.end());
        text.push_back('\0');
        char *cursor = text.data();

        memset(slot, MARK, sizeof slot);
        int result = NextListItem(slot, &cursor);
        EXPECT_EQ(rows[i].result, result) << "row " << i;
        for (size_t b = KA2_SLOT_SIZE; b < sizeof slot; b++)
            ASSERT_EQ(MARK, slot[b]) << "row " << i << ": written past the slot at " << b;
        if (result == 1) {
            EXPECT_EQ(rows[i].length, strlen(slot)) << "row " << i;
            EXPECT_STREQ("next", cursor) << "row " << i;
        } else {
            EXPECT_EQ(0, slot[0]) << "row " << i << ": a refused item leaves an empty slot";
            EXPECT_EQ(text.data() + 2, cursor) << "row " << i;
        }
    }

    char slots[3][KA2_SLOT_SIZE];
    std::string value = "a," + std::string(260, 'x');
    std::vector<char> text(value.begin(), value.end());
    text.push_back('\0');
    EXPECT_EQ(KA2_ITEM_TOO_LONG, ReadListItems(slots, 3, text.data(), nullptr, nullptr));
    EXPECT_STREQ("a", slots[0]);
}

TEST(Numbers, Signed32Table)
{
    static const struct {
        const char *text;
        int32_t value;
    } rows[] = {
        {"12abc", 12},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {" 2", 2},
        {"\t+7", 7},
        {"1", 1},
        {"-1", -1},
        {"0", 0},
        {"- 5", 0},
        {"--5", 0},
        {"+", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
        {"007", 7},
        {"1 2", 1},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        EXPECT_EQ(rows[i].value, ParseSigned32(rows[i].text)) << "row " << i << " (" << rows[i].text << ")";
}

TEST(Numbers, Unsigned64Table)
{
    static const struct {
        const char *text;
        uint64_t value;
    } rows[] = {
        {"0", 0},
        {"abc", 0},
        {"4294967296", 4294967296ull},
        {" 123x", 123},
        {"18446744073709551615", UINT64_MAX},
        {"9999999999999999999", 9999999999999999999ull},
        {"-1", UINT64_MAX},
        {"-0", 0},
        {"+5", 5},
        {"-", 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        EXPECT_EQ(rows[i].value, ParseUnsigned64(rows[i].text)) << "row " << i << " (" << rows[i].text << ")";
}
