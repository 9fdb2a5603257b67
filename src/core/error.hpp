// Error values shared by the pricing core.
//
// Operations that can fail for reasons a caller may provoke return an
// Outcome<T>: the value, or an Error saying which Python exception the
// boundary should raise and with which message.  Broken invariants that
// valid input cannot reach throw zub::Panic; the boundary catches it
// around every entry point.
#pragma once

#include <cassert>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace zub {

enum class ErrorKind : unsigned char {
    Value,      // ValueError with the message
    Type,       // TypeError with the message
    Panic,      // internal failure: PanicException with the message
    Cancelled,  // the cancellation check fired; the boundary re-raises what is pending
};

// What went wrong, for callers that sort failures without reading the
// message (the array entry points report it per element).
enum class Reason : unsigned char {
    Unspecified,
    Expired,             // valuation time at or after expiry
    DayCountMismatch,    // rate curve and volatility surface measure time differently
    NotBracketed,        // implied volatility: the target is outside the bounds' prices
    NotConverged,        // implied volatility: the search ran out of iterations
    NotImplemented,      // a method that does not exist for these inputs
    AtExerciseValue,     // implied volatility: target at or below the exercise value
    InvalidInput,        // an input no price can be made of (arrays only: the object API validates none)
};

struct Error {
    ErrorKind kind;
    std::string message;
    Reason reason = Reason::Unspecified;

    static Error value(std::string m) { return {ErrorKind::Value, std::move(m)}; }
    static Error value(Reason r, std::string m) { return {ErrorKind::Value, std::move(m), r}; }
    static Error panic(std::string m) { return {ErrorKind::Panic, std::move(m)}; }
    static Error panic(Reason r, std::string m) { return {ErrorKind::Panic, std::move(m), r}; }
    static Error cancelled() { return {ErrorKind::Cancelled, {}}; }
};

// An internal failure that valid input cannot reach.
struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T v) : v_(std::in_place_index<0>, std::move(v)) {}
    Outcome(Error e) : v_(std::in_place_index<1>, std::move(e)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    T&& value() && { return std::move(*std::get_if<0>(&v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return std::get_if<0>(&v_); }
    const T* operator->() const { return std::get_if<0>(&v_); }

    const Error& error() const& { return *std::get_if<1>(&v_); }
    Error&& error() && { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, Error> v_;
};

// Cooperative cancellation: long loops poll it every few thousand units of
// work.  The core never calls into Python; the binding supplies a poll
// function that asks the interpreter for pending signals.
struct CancelCheck {
    bool (*poll)(void*) = nullptr;
    void* ctx = nullptr;
    bool cancelled() const { return poll != nullptr && poll(ctx); }
};

}  // namespace zub
