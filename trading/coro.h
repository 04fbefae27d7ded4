// Python coroutines written as C++20 coroutines.
//
//     Coro run_body(nb::handle self) {
//         nb::object value = co_await some_python_awaitable;   // asyncio.sleep(...), gather(...), ...
//         co_return nb::none();
//     }
//     nb::object coro = make_coroutine(run_body(self), "Trading.run", self);
//
// The object returned by make_coroutine behaves as a Python coroutine: send, throw, close,
// __await__, __next__, and it counts as collections.abc.Coroutine, so asyncio runs it as a task.
// The body starts on the first send. An awaited object's iterator is driven like `await` drives it:
// its yields pass through to the caller, its return value is the value of the co_await, and its
// exception is thrown at the co_await as nb::python_error (asyncio's CancelledError included).
// An exception leaving the body is the coroutine's exception; C++ exceptions are translated.
// The body must not co_await inside a catch handler (C++ forbids it): remember and await after.
//
// What a suspended frame holds is shown to the garbage collector: the owner, the awaited iterator,
// every nb::object parameter of the body, and every Held local. A plain nb::object local, or a
// temporary of the full expression around a co_await, kept across a suspension is not: hold such
// references in a Held, or let them go before the co_await.
//
// A coroutine dropped or collected while its body is suspended destroys the frame: the destructors
// of the body's locals run then, with abandoned() true (see there), and must not throw.
#pragma once

#include "session.h"

#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

namespace velkor::trading {

class Coro {
public:
    struct promise_type;
    using handle_type = std::coroutine_handle<promise_type>;

    struct Awaiter {
        promise_type* promise;
        nb::object awaitable;
        bool await_ready() const noexcept { return false; }
        void await_suspend(handle_type) noexcept { promise->awaiting = std::move(awaitable); }
        nb::object await_resume() {
            if (promise->thrown) std::rethrow_exception(std::exchange(promise->thrown, nullptr));
            return std::exchange(promise->sent, nb::object());
        }
    };

    struct promise_type {
        nb::object awaiting;         // handed to the driver at a co_await
        nb::object sent;             // what the awaited iterator returned
        std::exception_ptr thrown;   // or what it raised
        nb::object result;           // co_return value
        std::exception_ptr error;    // exception that left the body
        std::vector<const nb::object*> held;  // the frame's strong references: parameters, Held locals

        // Called with the body's parameters (their copies in the frame), which stay put until the
        // frame is destroyed.
        template <class... Params>
        explicit promise_type(Params&... params) {
            (hold_parameter(params), ...);
        }

        Coro get_return_object() { return Coro(handle_type::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(nb::object value) { result = std::move(value); }
        void unhandled_exception() noexcept { error = std::current_exception(); }
        Awaiter await_transform(nb::object awaitable) { return Awaiter{this, std::move(awaitable)}; }

    private:
        template <class T>
        void hold_parameter(T& param) {
            if constexpr (std::is_base_of_v<nb::object, T>) held.push_back(&param);
        }
    };

    Coro(Coro&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Coro(const Coro&) = delete;
    Coro& operator=(const Coro&) = delete;
    ~Coro() {
        if (frame_) frame_.destroy();
    }
    handle_type release() noexcept { return std::exchange(frame_, {}); }

private:
    explicit Coro(handle_type frame) : frame_(frame) {}
    handle_type frame_;
};

// A strong reference that a body keeps across a co_await, shown to the garbage collector for as long
// as the local lives. Made while a body runs (outside one it is a plain nb::object).
class Held : public nb::object {
public:
    explicit Held(nb::object value);
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    std::vector<const nb::object*>* list_;
};

// True while the frame of a body that will never run again is destroyed at a suspension point (its
// coroutine dropped, collected, or closed past a body that ignored GeneratorExit): the destructors
// of the body's locals then release what the body would have released on its way out. False while
// the interpreter shuts down, when the modules those releases need may be gone already and the
// process's end releases descriptors and adapters anyway.
bool abandoned() noexcept;

// The Python coroutine object running `body`. `qualname` is its __qualname__ (text after the last
// "." is __name__). `owner`, when given, is kept alive (and visible to the garbage collector) while
// the body may still run, so bodies may take it as a borrowed nb::handle.
nb::object make_coroutine(Coro body, const char* qualname, nb::handle owner = nb::handle());

// Creates the coroutine type and registers it with collections.abc.Coroutine (module init).
void register_coroutine_type(nb::module_& m);

}  // namespace velkor::trading
