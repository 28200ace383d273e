#include "OrvantaSDK/OVAny.h"

namespace orvanta {

OVAny::OVAny(const OVAnyMap& value) : value_(value) {}
OVAny::OVAny(const OVAnyVector& value) : value_(value) {}

bool OVAny::isMap() const { return is<OVAnyMap>(); }
bool OVAny::isVector() const { return is<OVAnyVector>(); }

const char* OVAny::typeName() const {
    if (isEmpty())
        return "empty";
    if (isBool())
        return "boolean";
    if (isFloat())
        return "float";
    if (isString())
        return "string";
    if (isMap())
        return "map";
    if (isVector())
        return "array";
    if (isGetter())
        return "getter";
    if (isSetter())
        return "setter";
    return "unknown";
}

bool operator==(const OVAny& a, const OVAny& b) {
    if (a.value_.type() != b.value_.type())
        return false;
    if (a.isEmpty())
        return true;
    if (a.isBool())
        return a.convert<bool>() == b.convert<bool>();
    if (a.isFloat())
        return a.convert<float>() == b.convert<float>();
    if (a.isString())
        return *std::any_cast<std::string>(&a.value_) == *std::any_cast<std::string>(&b.value_);
    if (a.isMap())
        return *std::any_cast<OVAnyMap>(&a.value_) == *std::any_cast<OVAnyMap>(&b.value_);
    if (a.isVector())
        return *std::any_cast<OVAnyVector>(&a.value_) == *std::any_cast<OVAnyVector>(&b.value_);
    return false;
}

} // namespace orvanta
