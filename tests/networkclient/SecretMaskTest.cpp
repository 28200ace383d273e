#include "networkclient/SecretMask.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using orvanta::networkclient::harmlessRequestMembers;
using orvanta::networkclient::maskForLog;

// A token under any name, at any depth, in an array, layout kept; harmless
// names help only in a request, and not in an array, escaped, as a value or
// with a long value; what is not JSON shows only its size; long text is cut.
TEST(SecretMask, ShowsTheShapeOfABodyButNoneOfItsSecrets) {
    for (const auto& c : nlohmann::json::parse(std::ifstream(NC_TEST_DATA "/masks.json"))) {
        const std::string body = c["body"];
        EXPECT_EQ(c["request"] ? maskForLog(body, harmlessRequestMembers) : maskForLog(body), c["logged"]) << body;
    }
}
