#include <gtest/gtest.h>

#include <string>

#include "text/ini_text.hpp"

namespace {

std::string find(std::string_view text, const char* key, size_t cap = 64) {
    char out[1024];
    size_t n = ini_find_value(text, "shim", key, out, cap);
    EXPECT_EQ(n, std::char_traits<char>::length(out));
    return out;
}

}  // namespace

TEST(IniText, SectionsKeysAndValues) {
    std::string_view ini =
        "url = top-level-ignored\n"
        "[other]\nurl = wrong\n"
        "[ Shim ]\r\n"
        "; url = commented\n"
        "# key = commented\n"
        "URL = \"http://h/x\"  \r\n"
        "model=  spaced value \n"
        "key =\n"
        "[after]\nmodel = wrong\n";
    EXPECT_EQ(find(ini, "url"), "http://h/x");
    EXPECT_EQ(find(ini, "model"), "spaced value");
    EXPECT_EQ(find(ini, "key"), "");
    EXPECT_EQ(find(ini, "missing"), "");
    EXPECT_EQ(find("[shim]\nmodel=abcdef", "model", 4), "abc");  // cut to fit
    EXPECT_EQ(find("[shim]\nmodel=\"", "model"), "\"");          // a lone quote is kept
}
