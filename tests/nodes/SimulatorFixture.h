#pragma once

#include "NodeTestSupport.h"

#include "OrvantaSDK/Orvanta.h"
#include "networkclient/TransferSettings.h"
#include "nodes/SessionController.h"
#include "realtime/RealtimeEndpoint.h"
#include "token/TokenServiceEndpoint.h"
#include "tools/simulator/Simulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace nodetest {

// A running simulator with the library pointed at it.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        orvanta::simulator::SimulatorOptions options;
        options.pacing = 0; // answers arrive as fast as the socket takes them
        options.responseDelay = std::chrono::milliseconds(20);
        options.responseText = "Hello from the simulator.";
        options.transcriptText = "What is the weather?";
        options.appCredentials = {{"app-id", "app-secret"}};
        configure(options);
        simulator = std::make_unique<orvanta::simulator::Simulator>(options);
        simulator->start();
        orvanta::extensions::openai::setRealtimeEndpointOverride(simulator->realtimeUrl());
        orvanta::extensions::openai::setTokenServiceEndpointOverride(simulator->tokenBaseUrl());
    }

    void TearDown() override {
        orvanta::extensions::openai::clearRealtimeEndpointOverride();
        orvanta::extensions::openai::clearTokenServiceEndpointOverride();
        orvanta::extensions::openai::resetSessionSettings();
        orvanta::Orvanta::removeValue("orvanta", "appID");
        orvanta::Orvanta::removeValue("orvanta", "appSecret");
        simulator.reset();
    }

    virtual void configure(orvanta::simulator::SimulatorOptions&) {}

    // Client events of one type, parsed, in arrival order.
    std::vector<nlohmann::json> clientEvents(const std::string& type) const {
        std::vector<nlohmann::json> out;
        for (const auto& text : simulator->receivedClientEvents()) {
            auto j = nlohmann::json::parse(text, nullptr, false);
            if (j.is_object() && j.value("type", "") == type)
                out.push_back(j);
        }
        return out;
    }

    bool waitForClientEvent(const std::string& type, size_t n = 1,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return simulator->waitForClientEvents(
            [&](const std::vector<std::string>& events) {
                size_t seen = 0;
                for (const auto& text : events) {
                    auto j = nlohmann::json::parse(text, nullptr, false);
                    seen += j.is_object() && j.value("type", "") == type;
                }
                return seen >= n;
            },
            timeout);
    }

    std::unique_ptr<orvanta::simulator::Simulator> simulator;
};

} // namespace nodetest
