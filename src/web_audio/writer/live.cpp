// AudioStreamWriter, the live path: configuration, mute, and write/flush/stop with the running gain.
#include "host/host.hpp"
#include "writer/guard.hpp"
#include "writer/pcm.hpp"
#include "writer/writer.hpp"

#include <cstring>

namespace wa {
namespace {

using writer_state::Guard;

constexpr long kBufferSize = 4096;
constexpr long kTargetPeak = 30000;
constexpr double kInitialDelay = 0.08;
constexpr long kMinPeak = 1000;
constexpr double kKeep = 0.95, kStep = 0.05, kMaxScale = 2.0;

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

PyObject* init(Function* f, Args a) {
    State* st = state(f);
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

const FuncDef init_def = def("__init__", nullptr, {{"self"}, {"player"}}, init);

PyObject* configure(Function* f, Args a) {
    State* st = state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__sample_rate, a[1]) < 0 || set(self, st->s__channels, a[2]) < 0) return nullptr;
    Ref player = self.get(st->s__player);
    if (!player || !pyrt::call_method2(player.get(), st->s_send_audio_metadata, a[1], a[2])) return nullptr;
    if (set(self, st->s__configured, Py_True) < 0) return nullptr;
    return pyrt::none();
}

const FuncDef configure_def = def("configure",
                                  "配置音频参数并发送元数据到前端\n"
                                  "        \n"
                                  "        参数:\n"
                                  "            sample_rate: 采样率\n"
                                  "            channels: 声道数\n"
                                  "        ",
                                  {{"self"}, {"sample_rate"}, {"channels"}}, configure);

// Read-only properties and the mute getter: return the field as stored.
struct FieldRef {
    PyObject* State::*name;
};
constexpr FieldRef stopped_f{&State::s__stopped}, configured_f{&State::s__configured}, mute_f{&State::s__mute},
    sample_rate_f{&State::s__sample_rate}, channels_f{&State::s__channels};

PyObject* field_getter(Function* f, Args a) {
    State* st = state(f);
    return Inst(st, a[0]).get(st->*f->def->data_as<FieldRef>().name).release();
}
const FuncDef stopped_def = def("stopped", "是否已停止", {{"self"}}, field_getter).with_data(&stopped_f);
const FuncDef configured_def = def("configured", "是否已配置", {{"self"}}, field_getter).with_data(&configured_f);
const FuncDef sample_rate_def = def("sample_rate", nullptr, {{"self"}}, field_getter).with_data(&sample_rate_f);
const FuncDef channels_def = def("channels", nullptr, {{"self"}}, field_getter).with_data(&channels_f);
const FuncDef mute_get = def("mute", "是否静音（静音时只保存音频，不推送到前端播放）", {{"self"}}, field_getter).with_data(&mute_f);

PyObject* mute_setter(Function* f, Args a) {
    State* st = state(f);
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
const FuncDef mute_set = def("mute",
                             "设置静音状态\n"
                             "        \n"
                             "        参数:\n"
                             "            value: True 静音（只保存），False 取消静音（正常播放）\n"
                             "        ",
                             {{"self"}, {"value"}}, mute_setter);


// The running-gain step: updates the peak seen and the gain; returns the gain
// to apply (> 1.0), 0.0 when the chunk passes unchanged, -1.0 on error.
double running_gain(State* st, const Inst& self, PyObject* peak) {
    if (raise_to(self, st->s__max_peak_seen, peak) < 0) return -1.0;
    Ref seen = self.get(st->s__max_peak_seen);
    if (!seen) return -1.0;
    const int positive = pyrt::compare(seen.get(), 0, Py_GT);
    if (positive <= 0) return positive < 0 ? -1.0 : 0.0;
    Ref target = self.get(st->s__target_peak);
    if (!target) return -1.0;
    const int quiet = pyrt::compare(seen.get(), kMinPeak, Py_LT);
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

PyObject* write(Function* f, Args a) {
    State* st = state(f);
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
        Ref time = host::global(f, &State::g_time);
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
const FuncDef write_def = def("write",
                              "写入 PCM 数据，自动缓冲并推送到前端（除非静音）\n"
                              "        \n"
                              "        参数:\n"
                              "            pcm_data: PCM 二进制数据（int16 格式）\n"
                              "        ",
                              {{"self"}, {"pcm_data"}}, write);

PyObject* flush(Function* f, Args a) {
    State* st = state(f);
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
const FuncDef flush_def = def("flush", "强制推送缓冲区数据到前端", {{"self"}}, flush);

PyObject* stop(Function* f, Args a) {
    State* st = state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__stopped, Py_True) < 0 || set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    return pyrt::none();
}
const FuncDef stop_def = def("stop", "停止推送，清空缓冲区", {{"self"}}, stop);

}  // namespace

std::span<const Member> live_members() {
    static const Member members[] = {
        method(init_def),          method(configure_def),  property(stopped_def), property(configured_def),
        property(mute_get, &mute_set), property(sample_rate_def), property(channels_def), method(write_def),
        method(flush_def),         method(stop_def)};
    return members;
}

}  // namespace wa
