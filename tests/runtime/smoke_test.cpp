// Both builds link the same third-party libraries; a broken cross build of
// either shows here first, before any module test that needs them.
#include <gtest/gtest.h>

#include <openssl/sha.h>
#include <tinyxml.h>

#include <cstdio>
#include <string>

TEST(Smoke, OpenSslDigest)
{
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>("abc"), 3, md);
    std::string hex;
    for (unsigned char b : md) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    EXPECT_EQ(hex, "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Smoke, TinyXmlParse)
{
    TiXmlDocument doc;
    doc.Parse("<a>x</a>");
    ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
    const TiXmlElement *root = doc.RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->Value(), "a");
    EXPECT_STREQ(root->GetText(), "x");
}
