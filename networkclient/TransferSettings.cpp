#include "networkclient/TransferSettings.h"

#include <mutex>

namespace orvanta {
namespace networkclient {
namespace {

std::mutex& settingsMutex() {
    static std::mutex m;
    return m;
}

TransferSettings& currentSettings() {
    static TransferSettings s;
    return s;
}

} // namespace

TransferSettings getTransferSettings() {
    std::lock_guard<std::mutex> lock(settingsMutex());
    return currentSettings();
}

void setTransferSettings(const TransferSettings& settings) {
    std::lock_guard<std::mutex> lock(settingsMutex());
    currentSettings() = settings;
}

void resetTransferSettings() {
    setTransferSettings(TransferSettings{});
}

} // namespace networkclient
} // namespace orvanta
