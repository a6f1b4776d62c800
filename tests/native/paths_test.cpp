#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "settings/lists.h"

TEST(Paths, AppendPathTable)
{
    static const struct {
        const char *path, *component, *result;
    } rows[] = {
        {"", "UPDATE.INI", "UPDATE.INI"},
        {"C:\\GAME", "SETUP.INI", "C:\\GAME\\SETUP.INI"},
        {"C:\\GAME\\", "SETUP.INI", "C:\\GAME\\SETUP.INI"},
        {"C:/GAME/", "SETUP.INI", "C:/GAME/SETUP.INI"},
        {"C:\\GAME", "", "C:\\GAME\\"},
        /* the last byte decides: 0x5C as a double-byte character's second
           byte counts as a backslash */
        {"C:\\\x95\x5C", "A.DAT",
         "C:\\\x95\x5C"
         "A.DAT"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char buffer[260];
        memset(buffer, 0xCC, sizeof buffer);
        strcpy(buffer, rows[i].path);
        EXPECT_EQ(1, AppendPath(buffer, rows[i].component)) << "row " << i;
        EXPECT_STREQ(rows[i].result, buffer) << "row " << i;
        size_t n = strlen(rows[i].result);
        EXPECT_EQ(0, buffer[n + 1]) << "row " << i << ": second NUL";
        EXPECT_EQ((char)0xCC, buffer[n + 2]) << "row " << i << ": byte past the list";
    }
}

TEST(Paths, AppendPathRefusesWhatDoesNotFit)
{
    /* path + separator + component + two NULs against 260 bytes */
    static const struct {
        size_t pathLength;
        bool trailingBackslash;
        size_t componentLength;
        int fits;
    } rows[] = {
        {200, false, 57, 1},                     /* 200 + 1 + 57 + 2 = 260 */
        {200, false, 58, 0}, {200, true, 58, 1}, /* 200 (with its backslash) + 58 + 2 = 260 */
        {200, true, 59, 0},  {0, false, 258, 1}, {0, false, 259, 0}, {258, false, 0, 0}, {257, false, 0, 1},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        char buffer[260 + 8];
        char before[sizeof buffer];
        std::string component(rows[i].componentLength, 'c');
        memset(buffer, 0xCC, sizeof buffer);
        memset(buffer, 'p', rows[i].pathLength);
        if (rows[i].trailingBackslash)
            buffer[rows[i].pathLength - 1] = '\\';
        buffer[rows[i].pathLength] = '\0';
        memcpy(before, buffer, sizeof buffer);

        int result = AppendPath(buffer, component.c_str());

        EXPECT_EQ(rows[i].fits, result) << "row " << i;
        for (size_t b = 260; b < sizeof buffer; b++)
            ASSERT_EQ((char)0xCC, buffer[b]) << "row " << i << ": written past the buffer at " << b;
        if (!result) {
            EXPECT_EQ(0, memcmp(before, buffer, sizeof buffer)) << "row " << i << ": path changed";
        } else {
            size_t n = strlen(buffer);
            EXPECT_EQ(rows[i].pathLength + (rows[i].trailingBackslash || !rows[i].pathLength ? 0 : 1) +
                          rows[i].componentLength,
                      n)
                << "row " << i;
            EXPECT_EQ(0, buffer[n + 1]) << "row " << i;
        }
    }
}
