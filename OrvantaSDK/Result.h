#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace orvanta {

// The failure side of a Result: a short sentence for the application.
class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    const std::string& getMessage() const { return message_; }

private:
    std::string message_;
};

// Either a value or an Error. Reading the side that is not there throws
// std::runtime_error, so a failure cannot be taken for a value by accident.
template <class T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool hasValue() const { return state_.index() == 0; }
    bool hasError() const { return state_.index() == 1; }

    const T& getValue() const {
        if (!hasValue())
            throw std::runtime_error("Result does not contain a value, operation failed.");
        return std::get<0>(state_);
    }
    T& getValue() {
        if (!hasValue())
            throw std::runtime_error("Result does not contain a value, operation failed.");
        return std::get<0>(state_);
    }
    const Error& getError() const {
        if (!hasError())
            throw std::runtime_error("Result does not contain an error, operation was successful.");
        return std::get<1>(state_);
    }

private:
    std::variant<T, Error> state_;
};

} // namespace orvanta
