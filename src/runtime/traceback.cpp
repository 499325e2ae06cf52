// Traceback entries and the cache of the code objects they are made from.
//
// The cache maps (function name, line) to a code object and keeps both for
// the life of the process. Threads share it without a lock: one atomic
// counter holds the number of readers, or -1 while a writer inserts. A
// reader that finds a writer at work, and a writer that finds anyone else,
// simply does without the cache; the entry is added all the same.
#include "runtime/traceback.h"
#include <frameobject.h>
#include <atomic>
#include <new>
#include <vector>
#include "core/ref.h"
#include "module/constants.h"
#include "module/state.h"

namespace fb {
namespace {

struct CachedCode {
    PyObject* name;   // strong
    Py_hash_t hash;
    int line;
    PyObject* code;   // strong
};

std::vector<CachedCode> g_cache;
std::atomic<int> g_cache_users{0};   // > 0: readers; -1: a writer
constexpr int WRITER = -1;

bool same_key(const CachedCode& c, PyObject* name, Py_hash_t hash, int line) {
    if (c.line != line || c.hash != hash) return false;
    return c.name == name || PyUnicode_Equal(c.name, name) == 1;
}

// A new reference to the cached code object, or null.
PyObject* cache_find(PyObject* name, Py_hash_t hash, int line) noexcept {
    int users = g_cache_users.load(std::memory_order_relaxed);
    do {
        if (users < 0) return nullptr;   // a writer is inserting
    } while (!g_cache_users.compare_exchange_weak(users, users + 1,
                                                  std::memory_order_acquire,
                                                  std::memory_order_relaxed));
    PyObject* found = nullptr;
    for (const CachedCode& c : g_cache) {
        if (same_key(c, name, hash, line)) {
            found = Py_NewRef(c.code);
            break;
        }
    }
    g_cache_users.fetch_sub(1, std::memory_order_release);
    return found;
}

void cache_insert(PyObject* name, Py_hash_t hash, int line, PyObject* code) noexcept {
    int idle = 0;
    if (!g_cache_users.compare_exchange_strong(idle, WRITER, std::memory_order_acquire,
                                               std::memory_order_relaxed))
        return;   // someone else is using the cache: skip caching this time
    bool present = false;
    for (const CachedCode& c : g_cache) {
        if (same_key(c, name, hash, line)) {
            present = true;
            break;
        }
    }
    if (!present) {
        try {
            g_cache.push_back(CachedCode{Py_NewRef(name), hash, line, Py_NewRef(code)});
        } catch (const std::bad_alloc&) {
            // Not cached; the references taken above were not stored.
            Py_DECREF(name);
            Py_DECREF(code);
        }
    }
    g_cache_users.store(0, std::memory_order_release);
}

// The code object for an entry: cached, or made now (and cached if possible).
Ref entry_code(PyObject* name, int line) {
    Py_hash_t hash = PyObject_Hash(name);
    if (hash == -1) return Ref{};
    if (PyObject* cached = cache_find(name, hash, line)) return Ref::steal(cached);
    const char* utf8 = PyUnicode_AsUTF8(name);
    if (!utf8) return Ref{};
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty("tavrin/firebase", utf8, line)));
    if (code) cache_insert(name, hash, line, code.get());
    return code;
}

}  // namespace

void add_traceback(PyObject* name, int line) noexcept {
    PyObject* globals = g_state.globals;
    if (!globals) return;
    // Set the exception being raised aside while the code object and the
    // frame are made; put it back unchanged before the entry is added.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    if (!pending) return;   // nothing is being raised
    Ref code = entry_code(name, line);
    if (!code) return;      // the failure's exception replaces the pending one
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    globals, nullptr)));
    if (!frame) return;
    PyErr_SetRaisedException(pending.release());
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace fb
