// Per-writer state kept beside the instance: the operation lock and what is known of the open recording.
#pragma once

#include "pyrt/ref.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace wa::writer_state {

// What a writer keeps outside its instance attributes (so that `vars(writer)`
// stays the documented field list).  Created on a writer's first operation,
// dropped when the writer is freed.
struct Entry {
    // The operation lock: re-entrant for its owner thread.  owner, depth, waiters
    // and the tickets change only with the GIL held, so the uncontended path needs no atomics;
    // the mutex and condition variable serve only threads that wait for it.
    unsigned long owner = 0;
    long depth = 0;
    long waiters = 0;
    std::uint64_t next_ticket = 0, serving = 0;  // waiting threads take the lock in arrival order
    std::uint64_t releases = 0;  // bumped with the GIL and `m` held on each release a waiter may see
    std::mutex m;
    std::condition_variable cv;

    // The recording opened by set_output_file: a weak reference to its file
    // object, the path it was opened under and the file that path resolved
    // to then, and how many bytes it has taken (-1: unknown).
    pyrt::Ref rec_handle;  // weakref, or empty
    pyrt::Ref rec_path;
    pyrt::Ref rec_resolved;
    long long rec_pos = -1;

    pyrt::Ref self_ref;  // weakref to the writer whose callback drops this entry
};

// Holds a writer's lock for one operation (re-entrant on the same thread).
// Waiting for another thread releases the GIL, as CPython's buffered files
// do, so a holder that needs the GIL can always finish.  Check ok() after
// construction: false means an error is set (the writer could not be tracked);
// std::bad_alloc is left to the call boundary, which turns it into MemoryError.
class Guard {
public:
    explicit Guard(PyObject* writer);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    bool ok() const noexcept { return entry_ != nullptr; }
    Entry& entry() const noexcept { return *entry_; }

private:
    Entry* entry_ = nullptr;
};

// True when `handle` is the file object that set_output_file opened last.
bool is_recording(const Entry& e, PyObject* handle) noexcept;

// Drops every entry (module teardown).
void clear_all() noexcept;

}  // namespace wa::writer_state
