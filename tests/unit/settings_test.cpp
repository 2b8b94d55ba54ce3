#include <gtest/gtest.h>

#include "text/host_port.hpp"

TEST(Settings, PortValues) {
    uint16_t port = 1;
    EXPECT_TRUE(parse_port("0", 0, 65535, port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(parse_port("65535", 0, 65535, port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(parse_port("08080", 0, 65535, port));
    EXPECT_EQ(port, 8080);
    for (const char* bad : {"", "65536", "-1", "+1", " 1", "1 ", "abc", "80x", "99999999999999999999"}) {
        port = 7;
        EXPECT_FALSE(parse_port(bad, 0, 65535, port)) << bad;
        EXPECT_EQ(port, 7);
    }
    EXPECT_FALSE(parse_port("0", 1, 65535, port));  // the range is the caller's: a URL has no port 0
}
