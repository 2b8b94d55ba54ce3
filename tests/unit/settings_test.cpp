#include <gtest/gtest.h>

#include "startup/load_settings.hpp"

TEST(Settings, PortValues) {
    int port = -1;
    EXPECT_TRUE(parse_port("0", port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(parse_port("65535", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(parse_port("08080", port));
    EXPECT_EQ(port, 8080);
    for (const char* bad : {"", "65536", "-1", "+1", " 1", "1 ", "abc", "80x", "99999999999999999999"}) {
        port = 7;
        EXPECT_FALSE(parse_port(bad, port)) << bad;
        EXPECT_EQ(port, 7);
    }
}
