#include "realtime/OpenAIWebSocketClientDelegate.h"

namespace orvanta::extensions::openai {

// Out of line so the vtable has one home.
OpenAIWebSocketClientDelegate::~OpenAIWebSocketClientDelegate() = default;

} // namespace orvanta::extensions::openai
