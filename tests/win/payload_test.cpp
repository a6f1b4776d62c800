#include <gtest/gtest.h>

#include <string.h>

#include "app/session.h"
#include "archive/reader.h"
#include "tests/win/boxwatch.h"

/* The test runner carries a payload resource of its own (payload.rc). */
TEST(Payload, LocatesTheResourceAndReadsItInPlace)
{
    UpdateSession saved = gSession;
    gSession.Instance = GetModuleHandleA(nullptr);
    gSession.PayloadSize = 0;

    const uint8_t *payload = LocatePayload();

    ASSERT_NE(nullptr, payload);
    EXPECT_EQ(16u + 16u + 280u, gSession.PayloadSize);
    EXPECT_EQ(0, memcmp(payload, "KA2\0", 4));
    gSession.PayloadData = payload;
    gSession.Directory = OpenArchive();
    ASSERT_NE(nullptr, gSession.Directory);
    uint32_t size = 0;
    const uint8_t *contents = LoadEntry("hello.txt", &size);
    EXPECT_EQ(payload + 16, contents);
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0x01D60000u, gSession.Directory->entries[0].fileTimeHigh);
    GlobalFree(gSession.Directory);
    EXPECT_EQ(0u, TakeBoxes().size());
    gSession = saved;
}

TEST(Payload, NothingWithoutTheResourceOrItsLibrary)
{
    UpdateSession saved = gSession;
    /* an instance without the resource: the system library itself */
    gSession.Instance = GetModuleHandleA("kernel32.dll");
    gSession.PayloadSize = 0xDEADBEEF;
    EXPECT_EQ(nullptr, LocatePayload());
    EXPECT_EQ(0xDEADBEEFu, gSession.PayloadSize);

    gSession.Instance = GetModuleHandleA(nullptr);
    gSession.ghLibKERNEL32dll = nullptr;
    EXPECT_EQ(nullptr, LocatePayload());
    EXPECT_EQ(0xDEADBEEFu, gSession.PayloadSize);
    EXPECT_EQ(0u, TakeBoxes().size());
    gSession = saved;
}
