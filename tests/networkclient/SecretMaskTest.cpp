#include "networkclient/SecretMask.h"

#include <gtest/gtest.h>

using orvanta::networkclient::maskSecretValues;

TEST(SecretMask, HidesSecretStringValuesAndKeepsEverythingElse) {
    EXPECT_EQ(maskSecretValues("{\"appId\":\"a\",\"appSecret\":\"s3cr\\\"et\",\"sessionConfig\":{\"type\":\"realtime\"}}"),
              "{\"appId\":\"a\",\"appSecret\":\"***\",\"sessionConfig\":{\"type\":\"realtime\"}}");
    EXPECT_EQ(maskSecretValues("{ \"data\" : { \"token\" :\n \"ek_1\" }, \"success\": true }"),
              "{ \"data\" : { \"token\" :\n \"***\" }, \"success\": true }");
    // A value that reads like a secret's name is not a name.
    EXPECT_EQ(maskSecretValues("{\"kind\":\"token\",\"n\":1}"), "{\"kind\":\"token\",\"n\":1}");
    // Only string values are secrets here.
    EXPECT_EQ(maskSecretValues("{\"token\":null}"), "{\"token\":null}");
    EXPECT_EQ(maskSecretValues("<html>token</html>"), "<html>token</html>");
}

TEST(SecretMask, HidesSecretsInTruncatedText) {
    EXPECT_EQ(maskSecretValues("{\"appSecret\":\"abc"), "{\"appSecret\":\"***\"");
    EXPECT_EQ(maskSecretValues("{\"appSecret\":\"ab\\"), "{\"appSecret\":\"***\"");
    EXPECT_EQ(maskSecretValues("{\"appSecret"), "{\"appSecret");
    EXPECT_EQ(maskSecretValues(""), "");
}
