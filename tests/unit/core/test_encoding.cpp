#include <gtest/gtest.h>

#include "core/exception.h"
#include "core/shell.h"
#include "core/utils.h"
#include "support/test_support.h"

using namespace velmo;

TEST(Base64, EncodesStandardAlphabetWithPadding) {
    struct Case {
        std::string text, encoded;
    } cases[] = {{"", ""}, {"h", "aA=="}, {"he", "aGU="}, {"hello", "aGVsbG8="}, {"\xfb\xff", "+/8="}};
    for (const auto& c : cases) {
        EXPECT_EQ(base64_encode(c.text), c.encoded);
        EXPECT_EQ(base64_decode(c.encoded), c.text);
    }
    EXPECT_EQ(base64_encode(std::string("ab\0cd", 5)), "YWI=") << "input ends at the first NUL byte";
}

TEST(Base64, DecodesLeniently) {
    EXPECT_EQ(base64_decode("aGVs\nbG8="), "hello") << "line break and '=' are skipped";
    EXPECT_EQ(base64_decode(" a G V s b G 8 "), "hello");
    EXPECT_EQ(base64_decode("-/8"), "\xfb\xff") << "'-' decodes like '+'";
    EXPECT_EQ(base64_decode("_+/8"), "\xfb\xff") << "'_' is skipped";
    EXPECT_EQ(base64_decode("aGVsY"), "hel") << "a single trailing symbol gives nothing";
    EXPECT_EQ(base64_decode("aGVsbA"), "hell") << "two trailing symbols give one byte";
    EXPECT_EQ(base64_decode("YWIAY2Q="), "ab") << "the text form stops at the first NUL byte";
    EXPECT_EQ(base64_decode_bytes("YWIAY2Q=").size(), 5u);
}

TEST(CompressedPayload, DecodesBase64GzipThroughZcat) {
    test::TopDir top;
    file_ensure_path_exists(top.path() + "/tmp");
    std::string encoded;
    ASSERT_EQ(run_command_output("printf '{\"a\":1}' | gzip -c | base64 -w0", &encoded), 0);
    EXPECT_EQ(decode_compressed_payload(encoded), "{\"a\":1}");
    EXPECT_TRUE(top.exists("tmp/config.gz"));
}

TEST(CompressedPayload, Failures) {
    test::TopDir top;
    file_ensure_path_exists(top.path() + "/tmp");
    try {
        decode_compressed_payload("!!!");
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_STREQ(e.what(), "Decoding from base64 failed.");
    }
    try {
        decode_compressed_payload(base64_encode("not gzip"));
        FAIL();
    } catch (const VelmoException& e) {
        EXPECT_STREQ(e.what(), "Decompression failed.");
    }
    // 64 MiB of zeros in some 64 KiB of gzip: refused, not held in memory.
    std::string bomb;
    ASSERT_EQ(run_command_output("head -c 67108864 /dev/zero | gzip -c | base64 -w0", &bomb), 0);
    try {
        decode_compressed_payload(bomb);
        FAIL() << "a 64 MiB profile text was accepted";
    } catch (const VelmoException& e) {
        EXPECT_STREQ(e.what(), "Decompression failed.");
    }
}
