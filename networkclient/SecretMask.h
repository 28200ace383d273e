#pragma once

// Internal to the library; not installed.

#include <string>

namespace orvanta {
namespace networkclient {

// Returns `text` with the string value of every JSON member whose name marks
// a secret ("appSecret", "token", "secret", "client_secret", "apiKey",
// "api_key") replaced by "***", everything else byte for byte. Works on a
// lexical scan, so truncated or otherwise invalid JSON is masked as well.
// Used before request and response bodies reach a log line. Any thread.
std::string maskSecretValues(const std::string& text);

} // namespace networkclient
} // namespace orvanta
