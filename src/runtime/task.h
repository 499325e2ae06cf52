// How a coroutine body is written: as a C++20 coroutine that reads like the
// async function it implements.
//
//   BodyTask auth_sign_in_body(Ctx& cx) {
//       cx.at(48); ...                      // the statement now running
//       Ref r = co_await cx.await_(obj);    // a Python await
//       Ref v = co_await exchange(cx, ...); // a shared sub-routine
//       co_return result;
//   }
//
// Rules that keep the garbage collector informed:
//  1. Anything a body needs after an await lives in its record (cx.slot(i)),
//     never in a C++ local: C++ locals across a co_await hold no references.
//  2. A failing statement throws PyError; a body that does not catch it fails,
//     and the runtime adds the entry under the bare function name at cx.line.
//     On paths that fail often (a refused request, a cancellation) a routine
//     may instead co_return an empty Ref with the exception set: the same
//     failure without the cost of a C++ throw. try_await and tail() pass such
//     failures on as empty Refs.
//  3. co_await never appears inside a catch block (C++ forbids it anyway): a
//     handler records the failure, leaves the catch, then awaits.
#pragma once
#include <Python.h>
#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include "core/error.h"
#include "module/functions.h"
#include "runtime/record.h"

namespace fb {

struct CoroutineObject;

// What a running body sees. Lives inside its coroutine object.
struct Ctx {
    CoroutineObject* coro = nullptr;   // borrowed: the coroutine owns us
    FunctionDef* def = nullptr;        // the function: names, lines, code
    PyObject* record = nullptr;        // owned by the coroutine object: the per-call record
    int line = 0;                      // line of the statement now running

    // One resume's traffic between the runtime and the suspended await.
    PyObject* sent = nullptr;          // owned; null: an exception is pending
    PyObject* yielded = nullptr;       // owned: the value to pass out
    std::coroutine_handle<> innermost; // where the next resume continues

    void at(int l) { line = l; }
    PyObject*& slot(int i) { return fb::slot(record, i); }
    // Stores a new reference in a record slot.
    void put(int i, Ref v) { set_field(slot(i), v.release()); }
    // Temporaries follow the parameters and the named locals.
    int temp(int i) const { return def->nparams + def->nlocals + i; }

    template <bool Throws> struct Await;
    // Awaits a Python awaitable (consumed before any suspension); a failure
    // throws PyError.
    Await<true> await_(Ref awaitable);
    // The same, but a failure gives an empty Ref with the exception set.
    Await<false> try_await(Ref awaitable);
};

// Outcome of driving an awaitable one step.
enum class Step { yielded, returned, failed };

// The body await algorithm, up to the first suspension: a value to yield
// (stored in cx.yielded, delegate set), an immediate result, or a failure.
Step await_start(Ctx& cx, PyObject* awaitable, PyObject** result) noexcept;

// Kept small: it lives in the body's frame while the body is suspended.
template <bool Throws>
struct Ctx::Await {
    Ctx& cx;
    PyObject* value;   // owned: the awaitable, then an immediate result
    Step step = Step::failed;

    bool await_ready() noexcept {
        if (!value) return true;   // making the awaitable failed: step stays failed
        PyObject* r = nullptr;
        step = await_start(cx, value, &r);
        Py_DECREF(value);
        value = r;
        return step != Step::yielded;
    }
    void await_suspend(std::coroutine_handle<> h) noexcept { cx.innermost = h; }
    Ref await_resume() noexcept(!Throws) {
        // Resumed by the runtime: a value, or an exception is pending.
        PyObject* v = step == Step::yielded ? std::exchange(cx.sent, nullptr) : value;
        if (Throws && !v) raise();
        return Ref::steal(v);
    }
};

inline Ctx::Await<true> Ctx::await_(Ref awaitable) { return {*this, awaitable.release()}; }
inline Ctx::Await<false> Ctx::try_await(Ref awaitable) { return {*this, awaitable.release()}; }

// The C++ coroutine type of bodies and of shared sub-routines such as the
// REST exchange. Lazily started; co_return gives a new reference.
struct BodyTask {
    struct promise_type {
        PyObject* result = nullptr;   // owned; transient (read right after the end)
        bool failed = false;
        std::coroutine_handle<> continuation;

        // Frames come from Python's allocator: fast for small frames, and
        // counted by tracemalloc like the rest of a call's memory.
        static void* operator new(std::size_t size) {
            if (void* p = PyMem_Malloc(size)) return p;
            throw std::bad_alloc();
        }
        static void operator delete(void* p) noexcept { PyMem_Free(p); }

        BodyTask get_return_object() {
            return BodyTask{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
                auto c = h.promise().continuation;
                return c ? c : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
        // An empty result means failure with the Python exception set.
        void return_value(Ref v) noexcept {
            result = v.release();
            failed = !result;
        }
        void unhandled_exception() noexcept {
            translate_current_exception();
            failed = true;
        }
        ~promise_type() { Py_XDECREF(result); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    explicit BodyTask(Handle h) noexcept : h(h) {}
    BodyTask(BodyTask&& o) noexcept : h(std::exchange(o.h, {})) {}
    BodyTask(const BodyTask&) = delete;
    BodyTask& operator=(const BodyTask&) = delete;
    BodyTask& operator=(BodyTask&&) = delete;
    ~BodyTask() { if (h) h.destroy(); }

    Handle release() noexcept { return std::exchange(h, {}); }

    // Awaiting a sub-routine: run it until it suspends or ends, then carry on.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
        h.promise().continuation = caller;
        return h;
    }
    Ref await_resume() {
        auto& p = h.promise();
        if (p.failed) raise();
        return Ref::steal(std::exchange(p.result, nullptr));
    }

    Handle h;
};

// co_await tail(task): the sub-routine's result, or an empty Ref when it
// failed, without a throw: for `co_return co_await tail(...)`.
struct Tail {
    BodyTask task;
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> caller) noexcept {
        return task.await_suspend(caller);
    }
    Ref await_resume() noexcept { return Ref::steal(std::exchange(task.h.promise().result, nullptr)); }
};

inline Tail tail(BodyTask task) { return Tail{std::move(task)}; }

// An exception handler of a body: the pending exception becomes the one being
// handled (what sys.exception() reports, and the context of anything raised
// meanwhile) until leave(). Both the exception and the previously handled one
// live in record slots, as the handler may await.
void handler_enter(Ctx& cx, int exc_slot, int prev_slot) noexcept;
void handler_leave(Ctx& cx, int prev_slot) noexcept;

// A body that needs a Python None result.
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace fb
