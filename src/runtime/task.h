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
    FunctionDef* def = nullptr;
    PyObject* record = nullptr;        // borrowed from the coroutine
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

    struct Await;
    // Awaits a Python awaitable (consumed before any suspension).
    Await await_(Ref awaitable);
};

// Outcome of driving an awaitable one step.
enum class Step { yielded, returned, failed };

// The body await algorithm, up to the first suspension: a value to yield
// (stored in cx.yielded, delegate set), an immediate result, or a failure.
Step await_start(Ctx& cx, PyObject* awaitable, PyObject** result) noexcept;

struct Ctx::Await {
    Ctx& cx;
    Ref awaitable;
    Ref result;
    Step step = Step::failed;

    bool await_ready() noexcept {
        PyObject* r = nullptr;
        step = await_start(cx, awaitable.get(), &r);
        awaitable.reset();
        result = Ref::steal(r);
        return step != Step::yielded;
    }
    void await_suspend(std::coroutine_handle<> h) noexcept { cx.innermost = h; }
    Ref await_resume() {
        if (step == Step::yielded) {
            // Resumed by the runtime: a value, or an exception is pending.
            PyObject* v = std::exchange(cx.sent, nullptr);
            if (!v) raise();
            return Ref::steal(v);
        }
        if (step == Step::failed) raise();
        return std::move(result);
    }
};

inline Ctx::Await Ctx::await_(Ref awaitable) { return Await{*this, std::move(awaitable), Ref{}}; }

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
        void return_value(Ref v) noexcept { result = v.release(); }
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

// An exception handler of a body: the pending exception becomes the one being
// handled (what sys.exception() reports, and the context of anything raised
// meanwhile) until leave(). Both the exception and the previously handled one
// live in record slots, as the handler may await.
void handler_enter(Ctx& cx, int exc_slot, int prev_slot) noexcept;
void handler_leave(Ctx& cx, int prev_slot) noexcept;

// A body that needs a Python None result.
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace fb
