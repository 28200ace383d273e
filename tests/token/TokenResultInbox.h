#pragma once

#include "OrvantaSDK/Logger.h"
#include "OrvantaSDK/Result.h"
#include "support/Recorders.h"

#include <functional>
#include <memory>
#include <string>

namespace tokentest {

struct Outcome {
    bool ok = false;
    std::string text = "<no callback>";  // the token or the error message
};

// Collects the provider's callbacks; any thread may deliver.
struct TokenResultInbox : testsupport::Inbox<Outcome> {
    std::function<void(const orvanta::Result<std::string>&)> callback() {
        return [this](const orvanta::Result<std::string>& r) {
            add({r.hasValue(), r.hasValue() ? r.getValue() : r.getError().getMessage()});
        };
    }
};

// Records the host logger's lines for one scope. The sink shares the lines, so
// a delivery thread still logging after the scope writes into valid memory.
class HostLogCapture {
public:
    explicit HostLogCapture(orvanta::Logger::Level level = orvanta::Logger::Level::Debug) {
        orvanta::Logger::setLevel(level);
        orvanta::Logger::setSink([lines = lines](orvanta::Logger::Level at, const std::string& text) {
            lines->log({}, std::string(orvanta::Logger::levelName(at)) + ": " + text);
        });
    }
    ~HostLogCapture() { orvanta::Logger::setSink(nullptr), orvanta::Logger::setLevel(orvanta::Logger::Level::Info); }
    std::string text() { return lines->text(); }

private:
    std::shared_ptr<testsupport::LogLines> lines = std::make_shared<testsupport::LogLines>();
};

} // namespace tokentest
