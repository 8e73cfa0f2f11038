// The core's failure value and its value-or-error result type.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace lexispan {

// An expected failure of the core (invalid input); reaches Python as
// ValueError carrying exactly `message`.
struct MeasureError {
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(MeasureError error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const MeasureError& error() const { return std::get<1>(state_); }

private:
    std::variant<T, MeasureError> state_;
};

}  // namespace lexispan
