#include "networkclient/SecretMask.h"

#include <gtest/gtest.h>

using orvanta::networkclient::harmlessRequestMembers;
using orvanta::networkclient::maskForLog;

TEST(SecretMask, ShowsTheShapeOfABodyButNoneOfItsSecrets) {
    const std::string longValue(65, 'm');
    std::string longList = "[1";
    for (int i = 0; i < 600; ++i)
        longList += ",1";
    longList += "]";
    struct Case {
        std::string body;
        bool request;
        std::string logged;
    };
    const std::vector<Case> cases{
        {"{\"appId\":\"a\",\"appSecret\":\"s3cr\\\"et\",\"sessionConfig\":{\"type\":\"realtime\"}}", true,
         "{\"appId\":\"a\",\"appSecret\":\"***\",\"sessionConfig\":{\"type\":\"realtime\"}}"},
        // A token under any name, at any depth, in an array; layout kept.
        {"{ \"data\" : { \"client_secret\" :\n {\"value\":\"ek_1\"} }, \"success\": true, \"n\": [1, \"ek_2\"] }",
         false, "{ \"data\" : { \"client_secret\" :\n {\"value\":\"***\"} }, \"success\": true, \"n\": [1, \"***\"] }"},
        // Harmless names do not help in a reply, in an array, escaped, as a
        // value, or with a long value.
        {"{\"type\":\"ek_1\"}", false, "{\"type\":\"***\"}"},
        {"{\"type\":[\"ek_1\"],\"ty\\u0070e\":\"ek_2\",\"kind\":\"type\",\"model\":\"" + longValue + "\"}", true,
         "{\"type\":[\"***\"],\"ty\\u0070e\":\"***\",\"kind\":\"***\",\"model\":\"***\"}"},
        {"{\"data\":{\"token\":\"ek_cut", false, "<24 bytes, not JSON>"},
        {"<html>ek_1</html>", false, "<17 bytes, not JSON>"},
        {"", false, "<0 bytes, not JSON>"},
        {std::string("{\"a\":1}\0\"ek_1", 13), false, "<13 bytes, not JSON>"},
        {longList, false, longList.substr(0, 1024) + "... (1203 bytes)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.request ? maskForLog(c.body, harmlessRequestMembers) : maskForLog(c.body), c.logged) << c.body;
    }
}
