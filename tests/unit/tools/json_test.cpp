// The tool's JSON reader and writer: what it writes it reads back byte for
// byte, and no file makes it misread or crash.
#include <gtest/gtest.h>
#include <random>
#include <string>

#include "tarvi-json.h"

TEST(Json, QuotedTextsReadBackAsTheyWere) {
    std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        for (size_t i = rng() % 12; i > 0; --i)
            s.push_back(static_cast<char>(1 + rng() % 255)); // not UTF-8 either
        json_value v;
        std::string error;
        ASSERT_TRUE(json_parse("{" + json_quote(s) + ": [" + json_quote(s) + ", -1.5e3, true, null]}", &v, &error))
            << json_quote(s) << error;
        ASSERT_EQ(s, v.members[0].first);
        ASSERT_EQ(s, v.members[0].second.items[0].text);
        EXPECT_EQ("-1.5e3", v.members[0].second.items[1].text);
    }
    json_value v;
    std::string error;
    ASSERT_TRUE(json_parse(R"(["\u00e9\ud83d\ude00\/"])", &v, &error));
    EXPECT_EQ("\xc3\xa9\xf0\x9f\x98\x80/", v.items[0].text);
}

TEST(Json, MalformedDocumentsAreRefusedWithTheirLine) {
    json_value v;
    std::string error;
    for (const char *bad : {"", "{", "[1,]", "{\"a\":1,\"a\":2}", "\"\\ud800\"", "\"a\nb\"", "01", "1.", "[] x",
                            "{\"a\" 1}", "tru", "\"\\q\""}) {
        EXPECT_FALSE(json_parse(bad, &v, &error)) << bad;
        EXPECT_EQ(0u, error.rfind("line ", 0)) << bad;
    }
    EXPECT_FALSE(json_parse("[\n\n}", &v, &error));
    EXPECT_EQ("line 3: a value was expected", error);
    std::string deep(JSON_DEPTH_MAX + 2, '[');
    EXPECT_FALSE(json_parse(deep + std::string(JSON_DEPTH_MAX + 2, ']'), &v, &error));
    EXPECT_NE(std::string::npos, error.find("deeply"));
    // Random bytes: refused or read, never a crash (checked under the
    // sanitizers).
    std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
    for (int round = 0; round < 2000; ++round) {
        std::string s;
        for (size_t i = rng() % 20; i > 0; --i)
            s.push_back("{}[]\",:\\u0 1etrfn"[rng() % 18]);
        json_parse(s, &v, &error);
    }
}
