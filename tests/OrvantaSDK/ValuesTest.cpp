#include "OrvantaSDK/OVAny.h"
#include "OrvantaSDK/Orvanta.h"
#include "OrvantaSDK/Result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

using namespace orvanta;

TEST(OVAny, ConvertsOnlyToTheTypeItHoldsAndCarriesGettersAndSetters) {
    EXPECT_EQ(OVAny("text").convert<std::string>(), "text");
    EXPECT_EQ(OVAny(1.5).convert<float>(), 1.5f); // double literals are host floats
    EXPECT_EQ(OVAny(3).convert<float>(), 3.0f);   // so are ints
    EXPECT_TRUE(OVAny(true).convert<bool>());
    EXPECT_THROW(OVAny(3.0f).convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny("3").convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(true).convert<float>(), std::bad_any_cast);
    EXPECT_THROW(OVAny().convert<std::string>(), std::bad_any_cast);
    EXPECT_THROW(OVAny(OVAnyVector{}).convert<OVAnyMap>(), std::bad_any_cast);
    static_assert(!std::is_constructible_v<OVAny, int*>); // a pointer must not quietly become a bool
    EXPECT_TRUE(OVAny(static_cast<const char*>(nullptr)).isString());

    float speed = 1.0f;
    OVAny getter([&] { return OVAny(speed); });
    OVAny setter([&](const OVAny& v) { speed = v.convert<float>(); });
    ASSERT_TRUE(getter.isGetter() && setter.isSetter());
    setter.convert<OVAny::Setter>()(OVAny(0.75f));
    EXPECT_EQ(getter.convert<OVAny::Getter>()().convert<float>(), 0.75f);
    EXPECT_THROW(getter.convert<OVAny::Setter>(), std::bad_any_cast);
}

TEST(OVAnyMap, KeepsInsertionOrderAndReplacesInPlace) {
    OVAnyMap map{{"zeta", 1}, {"alpha", "a"}, {"mid", true}, {"alpha", "b"}};
    map.set("new", 2);
    map.set("mid", false);
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"zeta", "alpha", "mid", "new"}));
    EXPECT_EQ(map.at("alpha").convert<std::string>(), "b");
    EXPECT_FALSE(map.at("mid").convert<bool>());
    EXPECT_TRUE(map.remove("zeta"));
    EXPECT_FALSE(map.remove("zeta"));
    EXPECT_FALSE(map.hasKey("zeta"));
    EXPECT_THROW(map.at("zeta"), std::out_of_range);
    EXPECT_EQ(map.size(), 3u);
}

TEST(OVAnyMap, MapToJsonWritesCompactJsonInMapOrderOrRefuses) {
    OVAnyMap tool{{"type", "function"}, {"parameters", OVAnyMap{{"type", "object"}, {"required", OVAnyVector{"city"}}}}};
    OVAnyMap map{{"tools", OVAnyVector{tool}}, {"speed", 0.1f}, {"count", 3}, {"big", 1e10f},
                 {"on", false}, {"none", OVAny()}, {"empty", OVAnyMap()}, {"q\"uote", "a\\b\n\t\x01 caf\xc3\xa9"}};
    EXPECT_EQ(OVAnyMap::mapToJson(map),
              R"({"tools":[{"type":"function","parameters":{"type":"object","required":["city"]}}],)"
              R"("speed":0.1,"count":3,"big":1e+10,"on":false,"none":null,"empty":{},"q\"uote":"a\\b\n\t\u0001 café"})");
    for (float v : {1.0f / 3.0f, 123456.789f, -2.5e-7f, 16777216.0f}) { // shortest text that reads back the same
        const std::string json = OVAnyMap::mapToJson({{"v", v}});
        EXPECT_EQ(std::strtof(json.c_str() + 5, nullptr), v) << json;
    }
    EXPECT_THROW(OVAnyMap::mapToJson({{"f", OVAny([] { return OVAny(); })}}), std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", OVAnyVector{std::numeric_limits<float>::quiet_NaN()}}}),
                 std::invalid_argument);
    EXPECT_THROW(OVAnyMap::mapToJson({{"x", std::numeric_limits<float>::infinity()}}), std::invalid_argument);
}

TEST(Result, ReadingTheWrongSideThrowsTheHostTexts) {
    Result<OVAny> failed = Error("Failed to create response.");
    Result<OVAny> ok = OVAny();
    EXPECT_TRUE(failed.hasError() && !failed.hasValue() && ok.hasValue() && !ok.hasError());
    EXPECT_EQ(failed.getError().getMessage(), "Failed to create response.");
    EXPECT_TRUE(ok.getValue().isEmpty());
    for (auto [read, text] : {std::pair<std::function<void()>, const char*>{[&] { failed.getValue(); },
                                  "Result does not contain a value, operation failed."},
                              {[&] { ok.getError(); }, "Result does not contain an error, operation was successful."}}) {
        try {
            read();
            ADD_FAILURE() << text;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
}

TEST(Orvanta, ConfigurationStoreSetsReadsAndRemovesFromAnyThread) {
    Orvanta::setValue("orvanta", "appID", "id-1");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appID").getValue().convert<std::string>(), "id-1");
    EXPECT_EQ(Orvanta::getValue("orvanta", "appSecret").getError().getMessage(),
              "No configuration value for 'appSecret' in section 'orvanta'.");
    Orvanta::removeValue("orvanta", "appID");
    EXPECT_TRUE(Orvanta::getValue("orvanta", "appID").hasError());
    std::vector<std::thread> threads; // checked under TSan
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                Orvanta::setValue("s", "k" + std::to_string(t), i);
                EXPECT_TRUE(Orvanta::getValue("s", "k" + std::to_string(t)).hasValue());
            }
        });
    for (auto& th : threads)
        th.join();
    Orvanta::clear();
    EXPECT_TRUE(Orvanta::getValue("s", "k0").hasError());
}
