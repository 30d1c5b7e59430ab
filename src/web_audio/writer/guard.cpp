// Per-writer state kept beside the instance: the operation lock and what is known of the open recording.
#include "writer/guard.hpp"

#include <memory>
#include <unordered_map>

namespace wa::writer_state {
namespace {

using pyrt::Ref;

// Every live writer that has run an operation, by address.  Touched only with
// the GIL held.  An entry goes when its writer is freed (weakref callback), so
// an address reused by a later object never finds stale state.
std::unordered_map<PyObject*, std::unique_ptr<Entry>>& registry() {
    static auto* map = new std::unordered_map<PyObject*, std::unique_ptr<Entry>>();
    return *map;
}

// The writer looked up last: a producer calling write in a loop skips the hash.
PyObject* g_last_writer = nullptr;
Entry* g_last_entry = nullptr;

void forget_last() noexcept {
    g_last_writer = nullptr;
    g_last_entry = nullptr;
}

// Weakref callback, bound to the writer's address (a Python int).
PyObject* drop(PyObject* key, PyObject* weakref) {
    void* addr = PyLong_AsVoidPtr(key);
    if (!addr && PyErr_Occurred()) return nullptr;
    Py_INCREF(weakref);  // the entry owns it; keep it alive until this call is done with it
    if (g_last_writer == addr) forget_last();
    registry().erase(static_cast<PyObject*>(addr));
    Py_DECREF(weakref);
    Py_RETURN_NONE;
}

PyMethodDef drop_def = {"_drop_writer_state", drop, METH_O, nullptr};

Entry* find_or_create(PyObject* writer) {
    if (writer == g_last_writer) return g_last_entry;
    auto& map = registry();
    if (auto it = map.find(writer); it != map.end()) {
        g_last_writer = writer;
        g_last_entry = it->second.get();
        return g_last_entry;
    }
    Ref key = Ref::steal(PyLong_FromVoidPtr(writer));
    Ref callback = key ? Ref::steal(PyCFunction_New(&drop_def, key.get())) : Ref();
    Ref weak = callback ? Ref::steal(PyWeakref_NewRef(writer, callback.get())) : Ref();
    if (!weak) return nullptr;
    auto entry = std::make_unique<Entry>();
    entry->self_ref = std::move(weak);
    Entry* e = entry.get();
    map.emplace(writer, std::move(entry));
    return e;
}

PyObject* weak_target(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    Py_XDECREF(obj);  // compared by identity only
    return obj;
#else
    return PyWeakref_GET_OBJECT(ref);
#endif
}

}  // namespace

Guard::Guard(PyObject* writer) {
    Entry* e = find_or_create(writer);
    if (!e) return;
    const unsigned long me = PyThread_get_thread_ident();
    if (e->owner == me) {
        e->depth++;
        entry_ = e;
        return;
    }
    if (e->owner != 0 || e->waiters > 0) {
        // Wait in turn (first come, first served, so that a thread calling
        // write in a loop cannot keep a finish or a mute waiting for ever).
        const std::uint64_t ticket = e->next_ticket++;
        e->waiters++;
        while (e->owner != 0 || e->serving != ticket) {
            const std::uint64_t seen = e->releases;  // written only by GIL holders
            Py_BEGIN_ALLOW_THREADS
            try {  // the mutex is let go before the GIL is taken back; nothing unwinds past it
                std::unique_lock<std::mutex> lk(e->m);
                e->cv.wait(lk, [&] { return e->releases != seen; });
            } catch (...) {
                // a failed wait is a spurious wake-up: the loop looks again
            }
            Py_END_ALLOW_THREADS
        }
        e->serving++;
        e->waiters--;
    }
    e->owner = me;
    e->depth = 1;
    entry_ = e;
}

Guard::~Guard() {
    if (!entry_ || --entry_->depth > 0) return;
    entry_->owner = 0;
    if (entry_->waiters > 0) {
        {
            std::lock_guard<std::mutex> lk(entry_->m);
            entry_->releases++;
        }
        entry_->cv.notify_all();
    }
}

bool is_recording(const Entry& e, PyObject* handle) noexcept {
    return e.rec_handle && weak_target(e.rec_handle.get()) == handle;
}

void clear_all() noexcept {
    forget_last();
    registry().clear();
}

}  // namespace wa::writer_state
