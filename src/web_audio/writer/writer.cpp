// AudioStreamWriter: live push with running gain, mute, recording, and the normalised WAV on finish.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"
#include "writer/guard.hpp"
#include "writer/pcm.hpp"
#include "writer/wav.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wa {
namespace {

using pyrt::Ref;
using writer_state::Guard;

constexpr long kBufferSize = 4096;
constexpr long kTargetPeak = 30000;
constexpr double kInitialDelay = 0.08;
constexpr long kMinPeak = 1000;
constexpr double kKeep = 0.95, kStep = 0.05, kMaxScale = 2.0;

// ---- field access (instance attributes, by interned name) ----

// The writer instance whose fields a call reads and writes.  For an exact
// AudioStreamWriter the fields live in its __dict__ and no descriptor of the
// class can shadow them, so they are read and written there directly; for a
// subclass (which may define properties of those names) through getattr/setattr.
class Inst {
public:
    Inst(State* st, PyObject* self) noexcept : self_(self) {
        if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(st->writer_class)) {
            dict_ = Ref::steal(PyObject_GenericGetDict(self, nullptr));
            if (!dict_) PyErr_Clear();
        }
    }
    PyObject* obj() const noexcept { return self_; }
    Ref get(PyObject* name) const noexcept {
        if (dict_) {
            if (PyObject* v = PyDict_GetItemWithError(dict_.get(), name)) return Ref::borrow(v);
            if (PyErr_Occurred()) return Ref();
        }
        return pyrt::getattr(self_, name);  // also raises the AttributeError of a missing field
    }
    int set(PyObject* name, PyObject* value) const noexcept {
        return dict_ ? PyDict_SetItem(dict_.get(), name, value) : PyObject_SetAttr(self_, name, value);
    }

private:
    PyObject* self_;
    Ref dict_;
};

int set(const Inst& self, PyObject* name, PyObject* value) { return self.set(name, value); }
int set_long(const Inst& self, PyObject* name, long v) {
    Ref o = Ref::steal(PyLong_FromLong(v));
    return o ? set(self, name, o.get()) : -1;
}
int truthy(const Inst& self, PyObject* name) {
    Ref v = self.get(name);
    return v ? PyObject_IsTrue(v.get()) : -1;
}
// field = max(field, value): replaced only when value is strictly greater.
int raise_to(const Inst& self, PyObject* name, PyObject* value) {
    Ref cur = self.get(name);
    if (!cur) return -1;
    int gt;
    if (PyLong_CheckExact(value) && PyLong_CheckExact(cur.get())) {
        int overflow = 0;
        const long long c = PyLong_AsLongLongAndOverflow(cur.get(), &overflow);
        gt = overflow ? PyObject_RichCompareBool(value, cur.get(), Py_GT) : PyLong_AsLongLong(value) > c;
    } else {
        gt = PyObject_RichCompareBool(value, cur.get(), Py_GT);
    }
    if (gt <= 0) return gt;
    return set(self, name, value);
}
int compare_long(PyObject* a, long b, int op) {
    Ref rhs = Ref::steal(PyLong_FromLong(b));
    return rhs ? PyObject_RichCompareBool(a, rhs.get(), op) : -1;
}

// A read-only view of a chunk's bytes.
class Chunk {
public:
    explicit Chunk(PyObject* obj) noexcept { ok_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0; }
    ~Chunk() { if (ok_) PyBuffer_Release(&view_); }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    bool ok() const { return ok_; }
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }
private:
    Py_buffer view_{};
    bool ok_ = false;
};

const pyrt::Param p_self[] = {{"self"}};
const pyrt::Param p_init[] = {{"self"}, {"player"}};
const pyrt::Param p_configure[] = {{"self"}, {"sample_rate"}, {"channels"}};
const pyrt::Param p_value[] = {{"self"}, {"value"}};
const pyrt::Param p_write[] = {{"self"}, {"pcm_data"}};
const pyrt::Param p_finish[] = {
    {"self"}, {"output_file", pyrt::d_none}, {"normalize", pyrt::d_true}, {"normalize_target", pyrt::d_int(30000)}};
const pyrt::Param p_output[] = {{"self"}, {"output_file"}};

WA_IMPL(init_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Inst self(st, a[0]);
    if (set(self, st->s__player, a[1]) < 0 || set(self, st->s__sample_rate, Py_None) < 0 ||
        set(self, st->s__channels, Py_None) < 0 || set(self, st->s__configured, Py_False) < 0 ||
        set(self, st->s__pcm_buffer, st->empty_bytes) < 0 || set_long(self, st->s__buffer_size, kBufferSize) < 0 ||
        set(self, st->s__initial_delay_sent, Py_False) < 0 || set(self, st->s__stopped, Py_False) < 0 ||
        set(self, st->s__mute, Py_False) < 0 || set(self, st->s__realtime_normalize, Py_True) < 0 ||
        set_long(self, st->s__target_peak, kTargetPeak) < 0 || set_long(self, st->s__max_peak_seen, 0) < 0 ||
        set(self, st->s__current_scale, st->float_one) < 0 || set(self, st->s__output_file_handle, Py_None) < 0 ||
        set_long(self, st->s__total_pcm_bytes, 0) < 0 || set_long(self, st->s__max_amplitude, 0) < 0 ||
        set(self, st->s__pending_output_file, Py_None) < 0)
        return nullptr;
    return pyrt::none();
}

WA_IMPL(configure_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__sample_rate, a[1]) < 0 || set(self, st->s__channels, a[2]) < 0) return nullptr;
    Ref player = self.get(st->s__player);
    if (!player || !pyrt::call_method2(player.get(), st->s_send_audio_metadata, a[1], a[2])) return nullptr;
    if (set(self, st->s__configured, Py_True) < 0) return nullptr;
    return pyrt::none();
}

// Read-only properties and the mute getter: return the field as stored.
struct FieldRef {
    PyObject* State::*name;
};
const FieldRef stopped_f{&State::s__stopped}, configured_f{&State::s__configured}, mute_f{&State::s__mute},
    sample_rate_f{&State::s__sample_rate}, channels_f{&State::s__channels};

WA_IMPL(field_getter) {
    (void)kw;
    State* st = pyrt::state(f);
    return Inst(st, a[0]).get(st->*static_cast<const FieldRef*>(f->def->data)->name).release();
}

WA_IMPL(mute_setter) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    Ref old = self.get(st->s__mute);
    if (!old) return nullptr;
    const int now = PyObject_IsTrue(a[1]);
    if (now < 0 || set(self, st->s__mute, now ? Py_True : Py_False) < 0) return nullptr;
    if (!now) return pyrt::none();
    const int was = PyObject_IsTrue(old.get());
    if (was < 0) return nullptr;
    if (was) return pyrt::none();
    // Switched to muted: drop what was not pushed yet and stop the player.
    if (set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    Ref player = self.get(st->s__player);
    if (!player || !pyrt::call_method0(player.get(), st->s_stop)) return nullptr;
    return pyrt::none();
}

// The running-gain step: updates the peak seen and the gain; returns the gain
// to apply (> 1.0), 0.0 when the chunk passes unchanged, -1.0 on error.
double running_gain(State* st, const Inst& self, PyObject* peak) {
    if (raise_to(self, st->s__max_peak_seen, peak) < 0) return -1.0;
    Ref seen = self.get(st->s__max_peak_seen);
    if (!seen) return -1.0;
    const int positive = compare_long(seen.get(), 0, Py_GT);
    if (positive <= 0) return positive < 0 ? -1.0 : 0.0;
    Ref target = self.get(st->s__target_peak);
    if (!target) return -1.0;
    const int quiet = compare_long(seen.get(), kMinPeak, Py_LT);
    if (quiet < 0) return -1.0;
    Ref divisor = quiet ? Ref::steal(PyLong_FromLong(kMinPeak)) : std::move(seen);
    if (!divisor) return -1.0;
    Ref target_scale = Ref::steal(PyNumber_TrueDivide(target.get(), divisor.get()));
    if (!target_scale) return -1.0;
    Ref current = self.get(st->s__current_scale);
    if (!current) return -1.0;
    const double cur = PyFloat_AsDouble(current.get());
    if (cur == -1.0 && PyErr_Occurred()) return -1.0;
    const double ts = PyFloat_AsDouble(target_scale.get());
    if (ts == -1.0 && PyErr_Occurred()) return -1.0;
    double scale = cur * kKeep + ts * kStep;
    if (kMaxScale < scale) scale = kMaxScale;
    Ref stored = Ref::steal(PyFloat_FromDouble(scale));
    if (!stored || set(self, st->s__current_scale, stored.get()) < 0) return -1.0;
    return scale > 1.0 ? scale : 0.0;
}

// _pcm_buffer += chunk (scaled by `scale` when it is > 0).
int append(State* st, const Inst& self, PyObject* obj, const Chunk& chunk, double scale) {
    Ref buffer = self.get(st->s__pcm_buffer);
    if (!buffer) return -1;
    if (!PyBytes_CheckExact(buffer.get())) {
        Ref piece;
        if (scale > 0) {
            piece = Ref::steal(PyBytes_FromStringAndSize(nullptr, chunk.size()));
            if (!piece) return -1;
            pcm::gain(chunk.data(), reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(piece.get())),
                      static_cast<std::size_t>(chunk.size() / 2), scale);
        } else {
            piece = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()), chunk.size()));
            if (!piece) return -1;
        }
        Ref joined = Ref::steal(PyNumber_InPlaceAdd(buffer.get(), piece.get()));
        return joined ? set(self, st->s__pcm_buffer, joined.get()) : -1;
    }
    const Py_ssize_t old = PyBytes_GET_SIZE(buffer.get());
    if (old == 0 && scale <= 0 && PyBytes_CheckExact(obj)) return set(self, st->s__pcm_buffer, obj);
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, old + chunk.size()));
    if (!joined) return -1;
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(joined.get()));
    std::memcpy(out, PyBytes_AS_STRING(buffer.get()), static_cast<std::size_t>(old));
    if (scale > 0)
        pcm::gain(chunk.data(), out + old, static_cast<std::size_t>(chunk.size() / 2), scale);
    else
        std::memcpy(out + old, chunk.data(), static_cast<std::size_t>(chunk.size()));
    return set(self, st->s__pcm_buffer, joined.get());
}

// Appends a chunk to the recording.  When the file object refuses it part-way
// (a full disk, the file size limit), the bytes that did get through are
// taken back, so that the file holds exactly the chunks write accepted.  That
// needs the file's position before the chunk, which is tracked for the file
// set_output_file opened (asking tell() on every chunk would cost more than
// the write itself).  0 / -1 with the file's error.
int record(State* st, writer_state::Entry& e, PyObject* handle, PyObject* data, Py_ssize_t size) {
    const bool tracked = e.rec_pos >= 0 && writer_state::is_recording(e, handle);
    if (pyrt::call_method1(handle, st->s_write, data)) {
        if (tracked) e.rec_pos += size;
        return 0;
    }
    if (!tracked) return -1;
    const pyrt::SavedError error;  // the write's error is the one raised
    Ref now = Ref::steal(PyObject_CallMethod(handle, "tell", nullptr));
    const long long pos = now ? PyLong_AsLongLong(now.get()) : -1;
    if (pos == e.rec_pos) return -1;  // nothing of the chunk reached the file
    Ref start = pos >= 0 ? Ref::steal(PyLong_FromLongLong(e.rec_pos)) : Ref();
    Ref sought = start ? Ref::steal(PyObject_CallMethod(handle, "seek", "O", start.get())) : Ref();
    if (!sought || !Ref::steal(PyObject_CallMethod(handle, "truncate", nullptr))) e.rec_pos = -1;  // position unknown now
    PyErr_Clear();
    return -1;
}

WA_IMPL(write_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    PyObject* data = a[1];
    int t = truthy(self, st->s__stopped);
    if (t) return t < 0 ? nullptr : pyrt::none();
    t = truthy(self, st->s__configured);
    if (t < 0) return nullptr;
    if (!t) {
        PyErr_SetString(PyExc_RuntimeError, "AudioStreamWriter 未配置，请先调用 configure(sample_rate, channels)");
        return nullptr;
    }
    // Peak of the chunk.
    Chunk chunk(data);
    if (!chunk.ok()) return nullptr;
    if (chunk.size() % 2) {
        PyErr_Format(PyExc_ValueError,
                     "pcm_data holds %zd bytes, an odd number: int16 PCM needs whole 2-byte samples", chunk.size());
        return nullptr;
    }
    if (chunk.size() == 0) {
        PyErr_SetString(PyExc_ValueError, "pcm_data is empty: an empty chunk has no peak");
        return nullptr;
    }
    Ref peak = Ref::steal(PyLong_FromLong(pcm::peak(chunk.data(), static_cast<std::size_t>(chunk.size() / 2))));
    if (!peak) return nullptr;
    // Recording: the raw chunk, unchanged.  A chunk the file refused is not
    // part of the take, so only a recorded (or unrecorded) chunk sets the peak.
    Ref handle = self.get(st->s__output_file_handle);
    if (!handle) return nullptr;
    if (handle.get() != Py_None) {
        if (record(st, guard.entry(), handle.get(), data, chunk.size()) < 0) return nullptr;
        Ref total = self.get(st->s__total_pcm_bytes);
        Ref len = total ? Ref::steal(PyLong_FromSsize_t(chunk.size())) : Ref();
        Ref sum = len ? Ref::steal(PyNumber_Add(total.get(), len.get())) : Ref();
        if (!sum || set(self, st->s__total_pcm_bytes, sum.get()) < 0) return nullptr;
    }
    if (raise_to(self, st->s__max_amplitude, peak.get()) < 0) return nullptr;
    t = truthy(self, st->s__mute);
    if (t) return t < 0 ? nullptr : pyrt::none();
    // Live push with the running gain.
    double scale = 0.0;
    t = truthy(self, st->s__realtime_normalize);
    if (t < 0) return nullptr;
    if (t) {
        scale = running_gain(st, self, peak.get());
        if (scale < 0) return nullptr;
    }
    if (append(st, self, data, chunk, scale) < 0) return nullptr;
    t = truthy(self, st->s__initial_delay_sent);
    if (t < 0) return nullptr;
    if (!t) {
        Ref time = host::global(f, st->s_time);
        Ref sleep = time ? pyrt::getattr(time.get(), st->s_sleep) : Ref();
        Ref delay = sleep ? Ref::steal(PyFloat_FromDouble(kInitialDelay)) : Ref();
        if (!delay || !pyrt::call1(sleep.get(), delay.get())) return nullptr;
        if (set(self, st->s__initial_delay_sent, Py_True) < 0) return nullptr;
    }
    Ref buffer = self.get(st->s__pcm_buffer);
    Ref limit = buffer ? self.get(st->s__buffer_size) : Ref();
    if (!limit) return nullptr;
    const Py_ssize_t pending = PyObject_Length(buffer.get());
    if (pending < 0) return nullptr;
    Ref pending_obj = Ref::steal(PyLong_FromSsize_t(pending));
    if (!pending_obj) return nullptr;
    const int full = PyObject_RichCompareBool(pending_obj.get(), limit.get(), Py_GE);
    if (full < 0) return nullptr;
    if (full && !pyrt::call_method0(self.obj(), st->s_flush)) return nullptr;
    return pyrt::none();
}

WA_IMPL(flush_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    Ref buffer = self.get(st->s__pcm_buffer);
    if (!buffer) return nullptr;
    int t = PyObject_IsTrue(buffer.get());
    if (t <= 0) return t < 0 ? nullptr : pyrt::none();
    t = truthy(self, st->s__stopped);
    if (t) return t < 0 ? nullptr : pyrt::none();
    Ref player = self.get(st->s__player);
    if (!player) return nullptr;
    // Detached before it is published: audio added while the player sends
    // (the host may release the GIL, or call back into this writer) goes into
    // a new buffer and is neither dropped nor sent twice.
    if (set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    if (pyrt::call_method1(player.get(), st->s_stream_binary, buffer.get())) return pyrt::none();
    // Not sent: the buffer comes back, ahead of anything added since.
    const pyrt::SavedError error;
    Ref since = self.get(st->s__pcm_buffer);
    const int more = since ? PyObject_IsTrue(since.get()) : 0;
    PyErr_Clear();
    Ref restored = more > 0 ? Ref::steal(PyNumber_Add(buffer.get(), since.get())) : std::move(buffer);
    if (!restored || set(self, st->s__pcm_buffer, restored.get()) < 0) PyErr_Clear();
    return nullptr;
}

WA_IMPL(stop_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__stopped, Py_True) < 0 || set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    return pyrt::none();
}

// os.path.realpath(path): the file a path names, through any symbolic links.
Ref realpath(PyObject* path) {
    Ref os_path = Ref::steal(PyImport_ImportModule("os.path"));
    return os_path ? Ref::steal(PyObject_CallMethod(os_path.get(), "realpath", "O", path)) : Ref();
}

WA_IMPL(set_output_file_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__pending_output_file, a[1]) < 0) return nullptr;
    const int t = PyObject_IsTrue(a[1]);
    if (t <= 0) return t < 0 ? nullptr : pyrt::none();
    Ref open = host::global(f, st->s_open);
    Ref file = open ? pyrt::call2(open.get(), a[1], st->s_wb) : Ref();
    if (!file || set(self, st->s__output_file_handle, file.get()) < 0) return nullptr;
    // Remember the file this take goes to: finish rewrites that file, even
    // when the path was a symbolic link (or is retargeted meanwhile).
    writer_state::Entry& e = guard.entry();
    e.rec_handle = Ref::steal(PyWeakref_NewRef(file.get(), nullptr));
    e.rec_path = Ref::borrow(a[1]);
    e.rec_resolved = realpath(a[1]);
    e.rec_pos = e.rec_handle ? 0 : -1;  // opened "wb": empty
    PyErr_Clear();  // without a weak reference or a resolved path, finish works from the path given
    return pyrt::none();
}

// A read descriptor on the recording file itself, so that finish reads the
// file that was actually recorded, even if it was renamed or deleted
// meanwhile (reopened through /proc), else by the name it was opened with.
int recording_fd(PyObject* handle) {
    Ref fileno = Ref::steal(PyObject_CallMethod(handle, "fileno", nullptr));
    if (fileno) {
        const long fd = PyLong_AsLong(fileno.get());
        if (fd >= 0) {
            const std::string proc = "/proc/self/fd/" + std::to_string(fd);
            const int r = ::open(proc.c_str(), O_RDONLY | O_CLOEXEC);
            if (r >= 0) return r;
        }
    }
    PyErr_Clear();
    Ref name = Ref::steal(PyObject_GetAttrString(handle, "name"));
    PyObject* encoded = nullptr;
    if (!name || !PyUnicode_FSConverter(name.get(), &encoded)) {
        PyErr_Clear();
        return -1;
    }
    Ref path = Ref::steal(encoded);
    return ::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }
private:
    int fd_;
};

// Where the WAV goes: the file the recording was actually written to when
// finish names the recording's own path (resolved when it was opened), else
// the file `path` names now.  Symbolic links stay in place either way.
Ref wav_target(const writer_state::Entry& e, PyObject* handle, PyObject* path) {
    if (e.rec_resolved && writer_state::is_recording(e, handle)) {
        const int same = PyObject_RichCompareBool(path, e.rec_path.get(), Py_EQ);
        if (same > 0) return Ref::borrow(e.rec_resolved.get());
        PyErr_Clear();
    }
    return realpath(path);
}

// Closes the recording file and forgets it.  0 / -1.
int close_recording(State* st, const Inst& self, writer_state::Entry& e, PyObject* handle) {
    e.rec_handle.reset();
    e.rec_path.reset();
    e.rec_resolved.reset();
    e.rec_pos = -1;
    if (set(self, st->s__output_file_handle, Py_None) < 0) return -1;
    return pyrt::call_method0(handle, st->s_close) ? 0 : -1;
}

WA_IMPL(finish_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    PyObject* output_file = a[1];
    const int normalize = PyObject_IsTrue(a[2]);
    if (normalize < 0) return nullptr;
    Ref handle = self.get(st->s__output_file_handle);
    if (!handle) return nullptr;
    int t = PyObject_IsTrue(output_file);
    if (t < 0) return nullptr;
    Ref final_path = t ? Ref::borrow(output_file) : self.get(st->s__pending_output_file);
    if (!final_path) return nullptr;
    const int has_target = PyObject_IsTrue(final_path.get());
    if (has_target < 0) return nullptr;
    Ref total = self.get(st->s__total_pcm_bytes);
    if (!total) return nullptr;
    const int recorded = compare_long(total.get(), 0, Py_GT);
    if (recorded < 0) return nullptr;
    // The WAV is made from the recording this call closes.  Its format, the
    // target and the path are checked first, so that bad arguments leave the
    // take exactly as it was.
    const bool convert = has_target && recorded && handle.get() != Py_None;
    wav::Format fmt{};
    Ref target;
    if (convert) {
        Ref channels = self.get(st->s__channels);
        Ref rate = channels ? self.get(st->s__sample_rate) : Ref();
        if (!rate || wav::check_format(channels.get(), rate.get(), fmt) < 0) return nullptr;
        // A non-finite target cannot scale samples to anything defined.
        if (normalize && PyFloat_Check(a[3]) && !std::isfinite(PyFloat_AS_DOUBLE(a[3]))) {
            PyErr_Format(PyExc_ValueError, "normalize_target must be a finite number, not %R", a[3]);
            return nullptr;
        }
        target = wav_target(guard.entry(), handle.get(), final_path.get());
        if (!target) return nullptr;
    }
    // 1. push what is pending.
    if (!pyrt::call_method0(self.obj(), st->s_flush)) return nullptr;
    if (handle.get() != Py_None) {
        if (!convert) {
            // 2. nothing to convert: close the recording.
            if (close_recording(st, self, guard.entry(), handle.get()) < 0) return nullptr;
        } else {
            // 2. every chunk write accepted goes to the file before it is read
            // back; until the WAV is complete the take stays open (a failure
            // below leaves it recording, and the next finish converts it).
            if (!pyrt::call_method0(handle.get(), st->s_flush)) return nullptr;
            Fd source(recording_fd(handle.get()));
            if (source.get() < 0) {
                // No descriptor to the recording (a file-like object without one):
                // read the samples from the target path itself.
                PyObject* encoded = nullptr;
                if (!PyUnicode_FSConverter(final_path.get(), &encoded)) return nullptr;
                Ref path = Ref::steal(encoded);
                source.reset(::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC));
                if (source.get() < 0) {
                    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path.get());
                    return nullptr;
                }
            }
            // 3, 4. write the WAV file.
            double scale = 0.0;
            bool scaled = false;
            Ref max_amp = self.get(st->s__max_amplitude);
            if (!max_amp) return nullptr;
            const int loud = normalize ? compare_long(max_amp.get(), 0, Py_GT) : 0;
            if (loud < 0) return nullptr;
            if (loud) {
                Ref factor = Ref::steal(PyNumber_TrueDivide(a[3], max_amp.get()));
                if (!factor) return nullptr;
                scale = PyFloat_AsDouble(factor.get());
                if (scale == -1.0 && PyErr_Occurred()) return nullptr;
                if (!std::isfinite(scale)) {
                    PyErr_Format(PyExc_ValueError, "normalize_target must be a finite number, not %R", a[3]);
                    return nullptr;
                }
                scaled = true;
            }
            if (wav::write_from_fd(source.get(), target.get(), fmt, scaled ? &scale : nullptr) < 0) return nullptr;
            // The WAV holds the whole take: the recording is done.  Forgotten
            // before it is closed, so that a failing close cannot make a later
            // finish convert the take again.
            if (close_recording(st, self, guard.entry(), handle.get()) < 0) return nullptr;
        }
    }
    // 5. the summary.
    Ref rate = self.get(st->s__sample_rate);
    Ref channels = rate ? self.get(st->s__channels) : Ref();
    Ref bytes = channels ? self.get(st->s__total_pcm_bytes) : Ref();
    Ref result = bytes ? Ref::steal(PyDict_New()) : Ref();
    if (!result || PyDict_SetItem(result.get(), st->s_audio_path, final_path.get()) < 0 ||
        PyDict_SetItem(result.get(), st->s_sample_rate, rate.get()) < 0 ||
        PyDict_SetItem(result.get(), st->s_channels, channels.get()) < 0 ||
        PyDict_SetItem(result.get(), st->s_audio_bytes, bytes.get()) < 0)
        return nullptr;
    return result.release();
}

WA_IMPL(stream_writer_impl) {
    (void)kw;
    Ref cls = host::global(f, pyrt::state(f)->s_AudioStreamWriter);
    if (!cls) return nullptr;
    return pyrt::call1(cls.get(), a[0]).release();
}

}  // namespace

namespace writer {
const pyrt::FuncDef init{"__init__", nullptr, p_init, 2, false, init_impl};
const pyrt::FuncDef configure{"configure", docs::configure, p_configure, 3, false, configure_impl};
const pyrt::FuncDef stopped{"stopped", docs::stopped, p_self, 1, false, field_getter, &stopped_f};
const pyrt::FuncDef configured{"configured", docs::configured, p_self, 1, false, field_getter, &configured_f};
const pyrt::FuncDef mute_get{"mute", docs::mute_get, p_self, 1, false, field_getter, &mute_f};
const pyrt::FuncDef mute_set{"mute", docs::mute_set, p_value, 2, false, mute_setter};
const pyrt::FuncDef sample_rate{"sample_rate", nullptr, p_self, 1, false, field_getter, &sample_rate_f};
const pyrt::FuncDef channels{"channels", nullptr, p_self, 1, false, field_getter, &channels_f};
const pyrt::FuncDef write{"write", docs::write, p_write, 2, false, write_impl};
const pyrt::FuncDef flush{"flush", docs::flush, p_self, 1, false, flush_impl};
const pyrt::FuncDef stop{"stop", docs::writer_stop, p_self, 1, false, stop_impl};
const pyrt::FuncDef finish{"finish", docs::finish, p_finish, 4, false, finish_impl};
const pyrt::FuncDef set_output_file{"set_output_file", docs::set_output_file, p_output, 2, false,
                                     set_output_file_impl};
}  // namespace writer

const Member writer_members[] = {
    {"__init__", &writer::init, nullptr, false},
    {"configure", &writer::configure, nullptr, false},
    {"stopped", &writer::stopped, nullptr, true},
    {"configured", &writer::configured, nullptr, true},
    {"mute", &writer::mute_get, &writer::mute_set, true},
    {"sample_rate", &writer::sample_rate, nullptr, true},
    {"channels", &writer::channels, nullptr, true},
    {"write", &writer::write, nullptr, false},
    {"flush", &writer::flush, nullptr, false},
    {"stop", &writer::stop, nullptr, false},
    {"finish", &writer::finish, nullptr, false},
    {"set_output_file", &writer::set_output_file, nullptr, false},
};
const std::size_t writer_member_count = sizeof(writer_members) / sizeof(writer_members[0]);

namespace handle {
namespace {
const pyrt::Param p_handle_self[] = {{"self"}};
}
const pyrt::FuncDef stream_writer{"stream_writer", docs::stream_writer, p_handle_self, 1, false, stream_writer_impl};
}  // namespace handle

}  // namespace wa
