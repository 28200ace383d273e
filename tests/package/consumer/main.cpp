// Uses installed headers only, through the package's include directory.
#include "OrvantaSDK/ExtensionManager.h"
#include "OrvantaSDK/OVAnyMap.h"
#ifdef CONSUMER_WITH_BASE64
#include "utils/Base64.h"
#endif

#include <cstdio>

int main() {
    const orvanta::OVAnyMap map{{"apiKey", "k"}, {"speed", 1.5f}};
    const std::string json = orvanta::OVAnyMap::mapToJson(map);
    if (json != R"({"apiKey":"k","speed":1.5})") {
        std::fprintf(stderr, "unexpected JSON: %s\n", json.c_str());
        return 1;
    }
#ifdef CONSUMER_WITH_BASE64
    if (orvanta::base64::Base64::encode(std::string("Orvanta")) != "T3J2YW50YQ==") {
        std::fprintf(stderr, "unexpected Base64\n");
        return 1;
    }
#endif
    std::printf("consumer ok: %zu extension(s) registered\n",
                orvanta::ExtensionManager::getInstance().getExtensions().size());
    return 0;
}
