#include "OrvantaSDK/OVAny.h"
#include "OrvantaSDK/Orvanta.h"
#include "OrvantaSDK/Result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using namespace orvanta;

TEST(OVAny, ConvertsOnlyToTheTypeItHolds) {
    EXPECT_EQ(OVAny("text").convert<std::string>(), "text");
    EXPECT_EQ(OVAny(1.5).convert<float>(), 1.5f);  // double literals are host floats
    EXPECT_EQ(OVAny(3).convert<float>(), 3.0f);    // so are ints
    EXPECT_TRUE(OVAny(true).convert<bool>());

    EXPECT_THROW(OVAny(3.0f).convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny("3").convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(true).convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny().convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(OVAnyVector{}).convert<OVAnyMap>(), std::bad_any_cast);

    // A pointer must not quietly become a bool.
    static_assert(!std::is_constructible_v<OVAny, int*>);
    EXPECT_TRUE(OVAny(static_cast<const char*>(nullptr)).isString());
}

TEST(OVAny, GetterAndSetterFromLambdasReachTheirState) {
    float speed = 1.0f;
    OVAny getter([&] { return OVAny(speed); });
    OVAny setter([&](const OVAny& v) { speed = v.convert<float>(); });
    ASSERT_TRUE(getter.isGetter());
    ASSERT_TRUE(setter.isSetter());
    setter.convert<OVAny::Setter>()(OVAny(0.75f));
    EXPECT_EQ(getter.convert<OVAny::Getter>()().convert<float>(), 0.75f);
    EXPECT_THROW(getter.convert<OVAny::Setter>(), std::bad_any_cast);
}

TEST(OVAnyMap, KeepsInsertionOrderAndReplacesInPlace) {
    OVAnyMap map{{"zeta", 1}, {"alpha", "a"}, {"mid", true}};
    map.set("alpha", "b");
    map.set("new", 2);
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "alpha", "mid", "new"}));
    EXPECT_EQ(map.at("alpha").convert<std::string>(), "b");
    EXPECT_TRUE(map.remove("zeta"));
    EXPECT_FALSE(map.remove("zeta"));
    EXPECT_FALSE(map.hasKey("zeta"));
    EXPECT_THROW(map.at("zeta"), std::out_of_range);
    EXPECT_EQ(map.size(), 3u);

    OVAnyMap duplicate{{"k", 1}, {"other", 2}, {"k", 3}};
    EXPECT_EQ(duplicate.keys(), (std::vector<std::string>{"k", "other"}));
    EXPECT_EQ(duplicate.at("k").convert<float>(), 3.0f);
}

TEST(OVAnyMap, MapToJsonWritesValidCompactJsonInMapOrder) {
    OVAnyMap tool{{"type", "function"},
                  {"name", "get_weather"},
                  {"parameters", OVAnyMap{{"type", "object"}, {"required", OVAnyVector{"city"}}}}};
    OVAnyMap map{{"tools", OVAnyVector{tool}}, {"speed", 0.1f}, {"count", 3}, {"big", 1e10f},
                 {"on", false}, {"none", OVAny()}, {"empty", OVAnyMap()}};
    EXPECT_EQ(OVAnyMap::mapToJson(map),
              R"({"tools":[{"type":"function","name":"get_weather","parameters":{"type":"object","required":["city"]}}],)"
              R"("speed":0.1,"count":3,"big":1e+10,"on":false,"none":null,"empty":{}})");

    // Text that would break the JSON is escaped; UTF-8 passes unchanged.
    OVAnyMap text{{"q\"uote", "a\\b\n\t\x01 caf\xc3\xa9"}};
    EXPECT_EQ(OVAnyMap::mapToJson(text), R"({"q\"uote":"a\\b\n\t\u0001 café"})");
}

TEST(OVAnyMap, MapToJsonRefusesWhatJsonCannotCarry) {
    EXPECT_THROW(OVAnyMap::mapToJson({{"f", OVAny([] { return OVAny(); })}}), std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", OVAnyVector{std::numeric_limits<float>::quiet_NaN()}}}),
                 std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", std::numeric_limits<float>::infinity()}}), std::invalid_argument);
}

TEST(OVAnyMap, FloatsRoundTripThroughJsonText) {
    for (float v : {0.1f, 1.0f / 3.0f, 123456.789f, -2.5e-7f, 16777216.0f, 0.0f}) {
        const std::string json = OVAnyMap::mapToJson({{"v", v}});
        const float back = std::strtof(json.c_str() + 5, nullptr);
        EXPECT_EQ(back, v) << json;
    }
}

TEST(Result, ReadingTheWrongSideThrowsTheHostTexts) {
    Result<OVAny> failed = Error("Failed to create response.");
    Result<OVAny> ok = OVAny();
    EXPECT_TRUE(failed.hasError());
    EXPECT_FALSE(failed.hasValue());
    EXPECT_EQ(failed.getError().getMessage(), "Failed to create response.");
    EXPECT_TRUE(ok.getValue().isEmpty());
    try {
        failed.getValue();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Result does not contain a value, operation failed.");
    }
    try {
        ok.getError();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Result does not contain an error, operation was successful.");
    }
}

TEST(Orvanta, ConfigurationStoreSetsReadsAndRemoves) {
    Orvanta::setValue("orvanta", "appID", "id-1");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appID").getValue().convert<std::string>(), "id-1");
    const auto missing = Orvanta::getValue("orvanta", "appSecret");
    ASSERT_TRUE(missing.hasError());
    EXPECT_EQ(missing.getError().getMessage(), "No configuration value for 'appSecret' in section 'orvanta'.");
    Orvanta::removeValue("orvanta", "appID");
    EXPECT_TRUE(Orvanta::getValue("orvanta", "appID").hasError());

    // Readers and writers on several threads (checked under TSan).
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                Orvanta::setValue("s", "k" + std::to_string(t), i);
                auto r = Orvanta::getValue("s", "k" + std::to_string(t));
                ASSERT_TRUE(r.hasValue());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    Orvanta::clear();
    EXPECT_TRUE(Orvanta::getValue("s", "k0").hasError());
}
