#pragma once

#include <any>
#include <functional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace orvanta {

class OVAnyMap;
class OVAnyVector;

// A host value: empty, bool, float, text, an OVAnyMap, an OVAnyVector, a
// getter or a setter. Numbers of any arithmetic type other than bool are kept
// as float, the host's one number type, so OVAny(3) and OVAny(0.5) convert to
// float. Text given as const char* is kept as std::string.
//
// An OVAny is a plain value: copying it copies what it holds. It is not
// synchronised; share it between threads only as a copy or read-only.
class OVAny {
public:
    using Getter = std::function<OVAny()>;
    using Setter = std::function<void(const OVAny&)>;

    OVAny() = default;

    // Only a real bool becomes a bool; pointers and other types that would
    // quietly decay to bool are not accepted.
    template <class B, std::enable_if_t<std::is_same_v<B, bool>, int> = 0>
    OVAny(B value) : value_(value) {}

    template <class N, std::enable_if_t<std::is_arithmetic_v<N> && !std::is_same_v<N, bool>, int> = 0>
    OVAny(N value) : value_(static_cast<float>(value)) {}

    OVAny(std::string value) : value_(std::move(value)) {}
    OVAny(const char* value) : value_(std::string(value ? value : "")) {}
    OVAny(const OVAnyMap& value);
    OVAny(const OVAnyVector& value);
    OVAny(Getter getter) : value_(std::move(getter)) {}
    OVAny(Setter setter) : value_(std::move(setter)) {}

    // Lambdas and other callables: a callable taking nothing is a getter, one
    // taking a value is a setter.
    template <class F,
              std::enable_if_t<!std::is_same_v<std::decay_t<F>, OVAny> && !std::is_same_v<std::decay_t<F>, Getter> &&
                                   std::is_invocable_r_v<OVAny, F&>,
                               int> = 0>
    OVAny(F callable) : value_(Getter(std::move(callable))) {}

    template <class F,
              std::enable_if_t<!std::is_same_v<std::decay_t<F>, OVAny> && !std::is_same_v<std::decay_t<F>, Setter> &&
                                   !std::is_invocable_v<F&> && std::is_invocable_v<F&, const OVAny&>,
                               int> = 0>
    OVAny(F callable) : value_(Setter(std::move(callable))) {}

    bool isEmpty() const { return !value_.has_value(); }

    template <class T>
    bool is() const {
        return value_.type() == typeid(T);
    }

    bool isBool() const { return is<bool>(); }
    bool isFloat() const { return is<float>(); }
    bool isString() const { return is<std::string>(); }
    bool isMap() const;
    bool isVector() const;
    bool isGetter() const { return is<Getter>(); }
    bool isSetter() const { return is<Setter>(); }

    // The held value as T: std::string, float, bool, OVAnyMap, OVAnyVector,
    // Getter or Setter. Throws std::bad_any_cast when the value is of another
    // type (an empty value converts to nothing).
    template <class T>
    T convert() const {
        return std::any_cast<T>(value_);
    }

    // The held value in place when it is a T, else nullptr; no copy.
    template <class T>
    const T* getIf() const {
        return std::any_cast<T>(&value_);
    }
    template <class T>
    T* getIf() {
        return std::any_cast<T>(&value_);
    }

    // Short type name for messages: "empty", "boolean", "float", "string",
    // "map", "array", "getter", "setter" or "unknown".
    const char* typeName() const;

    // Same type and equal contents. Getters and setters are never equal
    // to anything, as functions cannot be compared.
    friend bool operator==(const OVAny& a, const OVAny& b);
    friend bool operator!=(const OVAny& a, const OVAny& b) { return !(a == b); }

private:
    std::any value_;
};

} // namespace orvanta

// Both containers hold OVAny by value; with these includes here any one of
// the three headers gives all three types complete.
#include "OrvantaSDK/OVAnyMap.h"
#include "OrvantaSDK/OVAnyVector.h"
