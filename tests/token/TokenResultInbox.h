#pragma once

#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Result.h"
#include "support/Recorders.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tokentest {

struct Outcome {
    bool ok = false;
    std::string text = "<no callback>";  // the token or the error message
};

// Collects the provider's callbacks; any thread may deliver.
class TokenResultInbox : public testsupport::Inbox<Outcome> {
public:
    std::function<void(const orvanta::Result<std::string>&)> callback() {
        return [this](const orvanta::Result<std::string>& result) {
            add({result.hasValue(), result.hasValue() ? result.getValue() : result.getError().getMessage()});
        };
    }
};

// Records the host logger's lines for one scope. The lines live in state the
// sink shares, so a delivery thread still logging after the scope writes into
// valid memory.
class HostLogCapture {
public:
    explicit HostLogCapture(orvanta::Logger::Level level = orvanta::Logger::Level::Debug) {
        orvanta::Logger::setLevel(level);
        orvanta::Logger::setSink([s = state](orvanta::Logger::Level lineLevel, const std::string& text) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->text += std::string(orvanta::Logger::levelName(lineLevel)) + ": " + text + "\n";
        });
    }
    ~HostLogCapture() {
        orvanta::Logger::setSink(nullptr);
        orvanta::Logger::setLevel(orvanta::Logger::Level::Info);
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->text;
    }

private:
    struct State {
        std::mutex mutex;
        std::string text;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

} // namespace tokentest
