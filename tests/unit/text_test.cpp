#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "text/bounded.hpp"
#include "text/buf.hpp"

TEST(Buf, GrowsToTwiceWhatIsNeededAndStaysTerminated) {
    buf b;
    buf_put(b, "", 0);
    EXPECT_EQ(b.cap, 2u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(b.data, "");
    b.clear();
    buf_put(b, "0123456789", 10);
    EXPECT_EQ(b.cap, 22u);
    char* before = b.data;
    buf_put(b, "a", 1);
    EXPECT_EQ(b.data, before);  // 12 bytes fit in 22: no resize
    EXPECT_EQ(b.cap, 22u);
    EXPECT_EQ(b.view(), "0123456789a");
    EXPECT_EQ(b.data[b.len], '\0');
}

TEST(Buf, HoldsNulBytesAndMoves) {
    buf a;
    buf_put(a, std::string_view("a\0b", 3));
    buf b = std::move(a);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(b.view(), std::string_view("a\0b", 3));
}

TEST(Buf, RefusesSizesThatWouldOverflow) {
    buf b;
    buf_put(b, "x", 1);
    EXPECT_EQ(buf_put(b, "y", SIZE_MAX - 1), nullptr);
    EXPECT_TRUE(b.failed);
    EXPECT_EQ(buf_put(b, "z", 1), nullptr);  // sticky: nothing half-written
    EXPECT_EQ(b.view(), "x");
}

TEST(JsonEscape, EscapesExactlyTheBytesJsonNeeds) {
    buf b;
    json_escape(b, "");
    EXPECT_EQ(b.data, nullptr);  // nothing appended, nothing allocated
    json_escape(b, std::string_view("\x01\x1f\t\n\r\"\\/\x7f\xc3\xa9 \b\f\0", 15));
    EXPECT_EQ(b.view(), std::string_view("\\u0001\\u001f\\t\\n\\r\\\"\\\\/\x7f\xc3\xa9 \\u0008\\u000c\\u0000"));
}

TEST(Bounded, CutsAndTerminates) {
    char small[8];
    EXPECT_EQ(bformat(small, "%s", "0123456789"), 7u);
    EXPECT_STREQ(small, "0123456");
    error_text e;
    EXPECT_TRUE(e.empty());
    set_error(e, "empty upstream response (status %lu)", 204ul);
    EXPECT_STREQ(e.s, "empty upstream response (status 204)");
}

TEST(Buf, ReserveMakesRoomWithoutChangingContent) {
    buf b;
    EXPECT_TRUE(buf_reserve(b, 100));
    EXPECT_EQ(b.cap, 101u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(b.data, "");
    buf_put(b, "abc");
    char* kept = b.data;
    buf_put(b, std::string(97, 'x'));
    EXPECT_EQ(b.data, kept);  // 100 bytes fit in what was reserved
    EXPECT_EQ(b.len, 100u);
    EXPECT_TRUE(buf_reserve(b, 0));
    EXPECT_EQ(b.view().substr(0, 4), "abcx");
}

TEST(Buf, LargeBlocksKeepContentAsTheyGrowMoveAndAreReused) {
    std::string pattern;
    for (int i = 0; i < 300000; ++i) pattern += static_cast<char>('a' + i % 26);
    std::string expect;
    {
        buf b;
        // From the heap into a large block, then grown in place or moved.
        for (int round = 0; round < 40; ++round) {
            buf_put(b, pattern);
            expect += pattern;
        }
        ASSERT_FALSE(b.failed);
        EXPECT_EQ(b.view(), expect);
        EXPECT_EQ(b.data[b.len], '\0');
        buf moved = std::move(b);
        EXPECT_EQ(moved.view(), expect);
    }
    // A block freed above may come back here: only what is put counts.
    for (int round = 0; round < 3; ++round) {
        buf again;
        ASSERT_TRUE(buf_reserve(again, 1500000));
        buf_put(again, "fresh");
        EXPECT_EQ(again.view(), "fresh");
        std::memset(again.data + again.len, 'x', 1400000);
        buf_commit(again, 1400000);
        EXPECT_EQ(again.len, 1400005u);
        EXPECT_EQ(again.data[again.len], '\0');
    }
}
