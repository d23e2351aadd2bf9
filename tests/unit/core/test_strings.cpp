#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

#include "core/exception.h"
#include "core/utils.h"

using namespace velmo;
using Pieces = std::vector<std::string>;

TEST(StringSplit, KeepsInnerEmptyPiecesAndDropsAnEmptyLastOne) {
    struct Case {
        std::string text, delimiter;
        Pieces expected;
    } cases[] = {
        {"", ",", {}},
        {"a,b,", ",", {"a", "b"}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {"a", ",", {"a"}},
        {"x/file/y/file/z", "/file/", {"x", "y", "z"}},
        {"1.2.3.4.", ".", {"1", "2", "3", "4"}},
    };
    for (const auto& c : cases) EXPECT_EQ(string_split(c.text, c.delimiter), c.expected) << c.text;
}

TEST(StringSplitOnce, FollowsTokenizerRules) {
    EXPECT_EQ(string_split_once("K==X", "="), (Pieces{"K", "=X"}));
    EXPECT_EQ(string_split_once("=K=X", "="), (Pieces{"K", "X"}));
    EXPECT_EQ(string_split_once("K", "="), (Pieces{"K", ""}));
    EXPECT_THROW(string_split_once("===", "="), std::exception);
}

TEST(StringHelpers, PrefixSuffixDigitsJoin) {
    EXPECT_TRUE(string_starts_with("settings.eth", "settings."));
    EXPECT_FALSE(string_starts_with("set", "settings."));
    EXPECT_TRUE(string_ends_with("a.hash", ".hash"));
    EXPECT_FALSE(string_ends_with("h", ".hash"));
    EXPECT_TRUE(string_is_digits("0123"));
    EXPECT_FALSE(string_is_digits(""));
    EXPECT_FALSE(string_is_digits("12a"));
    EXPECT_EQ(string_join({"a", "b"}, ','), "a,b,");
}

TEST(StringTrailingNumber, Cases) {
    EXPECT_EQ(string_trailing_number("eth12"), 12);
    EXPECT_EQ(string_trailing_number("eth"), -2);
    EXPECT_EQ(string_trailing_number("123"), -1);
    EXPECT_THROW(string_trailing_number(""), std::out_of_range);
    EXPECT_THROW(string_trailing_number("x99999999999"), std::out_of_range);
}

TEST(Ipv4Address, Cases) {
    struct Case {
        const char* text;
        bool expected;
    } cases[] = {{"192.168.1.1", true}, {"1.2.3.4.", true},   {"256.1.1.1", false}, {"1.2.3", false},
                 {"1.2.3.4.5", false},  {"a.b.c.d", false},  {"1..3.4", false},    {"", false},
                 {"0000000000001.1.1.1", true}};
    for (const auto& c : cases) EXPECT_EQ(is_ipv4_address(c.text), c.expected) << c.text;
}

TEST(ForbiddenClientVersion, Cases) {
    struct Case {
        const char* version;
        bool expected;
    } cases[] = {{"3.0", true}, {"3.0.7", true}, {"3.1", false}, {"2.9", false}, {"3.0.1.2", false}, {"4", false}};
    for (const auto& c : cases) EXPECT_EQ(is_forbidden_client_version(c.version), c.expected) << c.version;
    EXPECT_THROW(is_forbidden_client_version("3"), std::out_of_range);
}

TEST(JsonObjectOrNull, MissingMemberRaises) {
    auto j = nlohmann::json::parse(R"({"a":{},"b":null,"c":1})");
    EXPECT_TRUE(json_is_object_or_null(j, "a"));
    EXPECT_TRUE(json_is_object_or_null(j, "b"));
    EXPECT_FALSE(json_is_object_or_null(j, "c"));
    EXPECT_THROW(json_is_object_or_null(j, "d"), nlohmann::json::out_of_range);
}

TEST(UtcTimestamp, FormatsEpochWithMilliseconds) {
    EXPECT_EQ(format_utc_timestamp(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(format_utc_timestamp(1714564800), "2024-05-01T12:00:00.000Z");
}

TEST(VelmoExceptionTest, FormatsAndCutsAt299Characters) {
    EXPECT_STREQ(VelmoException("Key '%s' was not found in '%s' file.", "P", "/f").what(),
                 "Key 'P' was not found in '/f' file.");
    std::string long_text(400, 'x');
    VelmoException e("%s", long_text.c_str());
    EXPECT_EQ(std::string(e.what()), long_text.substr(0, 299));
    // The format always goes through the formatter.
    EXPECT_STREQ(VelmoException("100%% done").what(), "100% done");
}

TEST(DownloadUrls, FileInfoUrlAndAppName) {
    EXPECT_EQ(get_fileinfo_url("https://h/api/file/ab12/app_1.0.tgz"), "https://h/api/fileinfo/ab12");
    EXPECT_THROW(get_fileinfo_url("https://h/api/app_1.0.tgz"), std::out_of_range);
    EXPECT_EQ(get_app_name_from_url("https://h/file/ab12/gps_2.1.0.tgz"), "gps");
    EXPECT_EQ(get_app_name_from_url("https://h/file/x/my.app_1.2.tgz"), "my");
    EXPECT_EQ(get_app_name_from_url("https://h/file/x/my_app_1.2.tgz"), "my_app");
    EXPECT_THROW(get_app_name_from_url("gps_1.0.tgz"), VelmoException);
    EXPECT_THROW(get_app_name_from_url("https://h/file/x/gps.tgz"), VelmoException);
    EXPECT_THROW(get_app_name_from_url("https://h/file/x/_1.0.tgz"), std::out_of_range);
}

// A number from the server is taken only when it fits: never wrapped, and a
// float at or beyond 2^63 is refused before any conversion (converting it
// would be undefined).
TEST(JsonInteger, TakesOnlyNumbersInsideTheRange) {
    using nlohmann::json;
    struct Case {
        const char* text;
        int64_t min, max;
        bool truncate_float;
        int64_t expected;
    } taken[] = {
        {"-7", -10, 10, false, -7},
        {"2.9", 0, 10, true, 2},
        {"-2.9", -10, 10, true, -2},
        {"9223372036854774784.0", INT64_MIN, INT64_MAX, true, 9223372036854774784},
        {"-9223372036854775808.0", INT64_MIN, INT64_MAX, true, INT64_MIN},
    };
    for (const Case& c : taken)
        EXPECT_EQ(json_integer(json::parse(c.text), c.min, c.max, c.truncate_float), c.expected) << c.text;
    const Case refused[] = {
        {"11", -10, 10, false, 0},
        {"18446744073709551615", INT64_MIN, INT64_MAX, false, 0},
        {"9223372036854775808.0", INT64_MIN, INT64_MAX, true, 0},
        {"6.1e35", INT64_MIN, INT64_MAX, true, 0},
        {"-1e300", INT64_MIN, INT64_MAX, true, 0},
        {"11.5", 0, 10, true, 0},
        {"2.0", 0, 10, false, 0},
        {"true", 0, 10, true, 0},
        {"\"1\"", 0, 10, true, 0},
    };
    for (const Case& c : refused)
        EXPECT_THROW(json_integer(json::parse(c.text), c.min, c.max, c.truncate_float), json::exception) << c.text;
}
