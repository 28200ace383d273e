// Uses installed headers only, through the package's include directory.
#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/OVAnyMap.h"
#ifdef CONSUMER_WITH_BASE64
#include "utils/Base64.h"
#endif

#include <cstdio>

int main() {
    const std::string json = orvanta::OVAnyMap::mapToJson({{"apiKey", "k"}, {"speed", 1.5f}});
    bool ok = json == R"({"apiKey":"k","speed":1.5})";
#ifdef CONSUMER_WITH_BASE64
    ok = ok && orvanta::base64::Base64::encode(std::string("Orvanta")) == "T3J2YW50YQ==";
#endif
    std::printf("consumer %s: %s, %zu extension(s) registered\n", ok ? "ok" : "FAILED", json.c_str(),
                orvanta::ExtensionManager::getInstance().getExtensions().size());
    return ok ? 0 : 1;
}
