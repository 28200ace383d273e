#pragma once

// Internal to the library; not installed.

#include <initializer_list>
#include <string>

namespace orvanta {
namespace networkclient {

// The members of a token request whose string values are safe to log: the
// application's identifier and the session configuration's model and type.
inline constexpr std::initializer_list<const char*> harmlessRequestMembers = {"appId", "model", "type"};

// A request or reply body as it may appear in a log line. Bodies carry
// credentials and tokens under names nobody can list in advance (a reply may
// change shape), so every JSON string value is replaced by "***", except the
// value of a member named in `harmlessMembers` when it is short. Member
// names, numbers, booleans and the layout stay, so the line still shows the
// body's shape. A body that is not valid JSON (a truncated reply, an HTML
// error page) is described by its size alone: no part of it can be told
// apart from a secret. Long results are cut off with the body's full size.
// Any thread.
std::string maskForLog(const std::string& body, std::initializer_list<const char*> harmlessMembers = {});

} // namespace networkclient
} // namespace orvanta
