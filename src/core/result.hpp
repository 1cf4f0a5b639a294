// A value or an error, for operations inside the core that can fail.
#pragma once

#include <utility>
#include <variant>

namespace karnoxel::core {

template <class E>
struct Failure {
    E error;
};

template <class T, class E>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit on purpose
    Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    const T& value() const { return std::get<0>(state_); }
    T& value() { return std::get<0>(state_); }
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

template <class E>
Failure<E> fail(E error) {
    return Failure<E>{std::move(error)};
}

}  // namespace karnoxel::core
