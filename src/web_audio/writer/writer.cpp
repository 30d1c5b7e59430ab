// AudioStreamWriter: live push with running gain, mute, recording, and the normalised WAV on finish.
#include "host/host.hpp"
#include "surface.hpp"
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

PyObject* configure(Function* f, Args a) {
    State* st = state(f);
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

PyObject* field_getter(Function* f, Args a) {
    State* st = state(f);
    return Inst(st, a[0]).get(st->*f->def->data_as<FieldRef>().name).release();
}

PyObject* mute_setter(Function* f, Args a) {
    State* st = state(f);
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

PyObject* write(Function* f, Args a) {
    State* st = state(f);
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
    if (!peak || raise_to(self, st->s__max_amplitude, peak.get()) < 0) return nullptr;
    // Recording: the raw chunk, unchanged.
    Ref handle = self.get(st->s__output_file_handle);
    if (!handle) return nullptr;
    if (handle.get() != Py_None) {
        if (!pyrt::call_method1(handle.get(), st->s_write, data)) return nullptr;
        Ref total = self.get(st->s__total_pcm_bytes);
        Ref len = total ? Ref::steal(PyLong_FromSsize_t(chunk.size())) : Ref();
        Ref sum = len ? Ref::steal(PyNumber_Add(total.get(), len.get())) : Ref();
        if (!sum || set(self, st->s__total_pcm_bytes, sum.get()) < 0) return nullptr;
    }
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

PyObject* flush(Function* f, Args a) {
    State* st = state(f);
    const Inst self(st, a[0]);
    Ref buffer = self.get(st->s__pcm_buffer);
    if (!buffer) return nullptr;
    int t = PyObject_IsTrue(buffer.get());
    if (t <= 0) return t < 0 ? nullptr : pyrt::none();
    t = truthy(self, st->s__stopped);
    if (t) return t < 0 ? nullptr : pyrt::none();
    Ref player = self.get(st->s__player);
    if (!player || !pyrt::call_method1(player.get(), st->s_stream_binary, buffer.get())) return nullptr;
    if (set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    return pyrt::none();
}

PyObject* stop(Function* f, Args a) {
    State* st = state(f);
    const Inst self(st, a[0]);
    if (set(self, st->s__stopped, Py_True) < 0 || set(self, st->s__pcm_buffer, st->empty_bytes) < 0) return nullptr;
    return pyrt::none();
}

PyObject* set_output_file(Function* f, Args a) {
    State* st = state(f);
    const Inst self(st, a[0]);
    if (set(self, st->s__pending_output_file, a[1]) < 0) return nullptr;
    const int t = PyObject_IsTrue(a[1]);
    if (t <= 0) return t < 0 ? nullptr : pyrt::none();
    Ref open = host::global(f, &State::g_open);
    Ref file = open ? pyrt::call2(open.get(), a[1], st->s_wb) : Ref();
    if (!file || set(self, st->s__output_file_handle, file.get()) < 0) return nullptr;
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

PyObject* finish(Function* f, Args a) {
    State* st = state(f);
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
    // The WAV is made from the recording this call closes; check its format
    // first, so that bad parameters leave the take exactly as it was.
    const bool convert = has_target && recorded && handle.get() != Py_None;
    wav::Format fmt{};
    if (convert) {
        Ref channels = self.get(st->s__channels);
        Ref rate = channels ? self.get(st->s__sample_rate) : Ref();
        if (!rate || wav::check_format(channels.get(), rate.get(), fmt) < 0) return nullptr;
        // A non-finite target cannot scale samples to anything defined: refuse
        // it before anything is flushed, closed or written.
        if (normalize && PyFloat_Check(a[3]) && !std::isfinite(PyFloat_AS_DOUBLE(a[3]))) {
            PyErr_Format(PyExc_ValueError, "normalize_target must be a finite number, not %R", a[3]);
            return nullptr;
        }
    }
    // 1. push what is pending.
    if (!pyrt::call_method0(self.obj(), st->s_flush)) return nullptr;
    // 2. close the recording.
    Fd source;
    if (handle.get() != Py_None) {
        if (convert) source.reset(recording_fd(handle.get()));
        if (!pyrt::call_method0(handle.get(), st->s_close)) return nullptr;
        if (set(self, st->s__output_file_handle, Py_None) < 0) return nullptr;
    }
    // 3, 4. write the WAV file.
    if (convert) {
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
        if (wav::write_from_fd(source.get(), final_path.get(), fmt, scaled ? &scale : nullptr) < 0) return nullptr;
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

const char* const kFinishDoc =
    "完成写入，归一化并保存 WAV 文件\n"
    "        \n"
    "        参数:\n"
    "            output_file: 输出文件路径，None 则不保存\n"
    "            normalize: 是否归一化音量\n"
    "            normalize_target: 归一化目标振幅（默认 30000）\n"
    "        \n"
    "        返回:\n"
    "            包含音频信息的字典\n"
    "        ";

const FuncDef init_def = def("__init__", nullptr, {{"self"}, {"player"}}, init);
const FuncDef configure_def = def("configure",
                                  "配置音频参数并发送元数据到前端\n"
                                  "        \n"
                                  "        参数:\n"
                                  "            sample_rate: 采样率\n"
                                  "            channels: 声道数\n"
                                  "        ",
                                  {{"self"}, {"sample_rate"}, {"channels"}}, configure);
const FuncDef stopped_def = def("stopped", "是否已停止", {{"self"}}, field_getter).with_data(&stopped_f);
const FuncDef configured_def = def("configured", "是否已配置", {{"self"}}, field_getter).with_data(&configured_f);
const FuncDef mute_get = def("mute", "是否静音（静音时只保存音频，不推送到前端播放）", {{"self"}}, field_getter).with_data(&mute_f);
const FuncDef mute_set = def("mute",
                             "设置静音状态\n"
                             "        \n"
                             "        参数:\n"
                             "            value: True 静音（只保存），False 取消静音（正常播放）\n"
                             "        ",
                             {{"self"}, {"value"}}, mute_setter);
const FuncDef sample_rate_def = def("sample_rate", nullptr, {{"self"}}, field_getter).with_data(&sample_rate_f);
const FuncDef channels_def = def("channels", nullptr, {{"self"}}, field_getter).with_data(&channels_f);
const FuncDef write_def = def("write",
                              "写入 PCM 数据，自动缓冲并推送到前端（除非静音）\n"
                              "        \n"
                              "        参数:\n"
                              "            pcm_data: PCM 二进制数据（int16 格式）\n"
                              "        ",
                              {{"self"}, {"pcm_data"}}, write);
const FuncDef flush_def = def("flush", "强制推送缓冲区数据到前端", {{"self"}}, flush);
const FuncDef stop_def = def("stop", "停止推送，清空缓冲区", {{"self"}}, stop);
const FuncDef finish_def = def("finish", kFinishDoc,
                               {{"self"}, {"output_file", pyrt::d_none}, {"normalize", pyrt::d_true},
                                {"normalize_target", pyrt::d_int(30000)}},
                               finish);
const FuncDef set_output_file_def = def("set_output_file",
                                        "设置输出文件并打开文件句柄（边生成边写入模式）\n"
                                        "        \n"
                                        "        参数:\n"
                                        "            output_file: 输出文件路径\n"
                                        "        ",
                                        {{"self"}, {"output_file"}}, set_output_file);

constexpr const char* kClassDoc =
    "流式音频写入器\n"
    "    \n"
    "    封装通用的 PCM 数据缓冲推送、归一化、WAV 保存逻辑。\n"
    "    适用于任何 TTS 引擎的流式音频输出。\n"
    "    \n"
    "    支持实时试听开关控制，可随时静音/取消静音。\n"
    "    \n"
    "    用法::\n"
    "    \n"
    "        writer = player.stream_writer()\n"
    "        tts_engine.synthesize(text, stream_writer=writer)\n"
    "        writer.finish(output_file=\"output.wav\")\n"
    "        \n"
    "        # 动态控制实时试听\n"
    "        writer.mute = True   # 静音（只保存，不播放）\n"
    "        writer.mute = False  # 取消静音（恢复播放）\n"
    "    ";

}  // namespace

// class AudioStreamWriter, as the class statement builds it.
int register_writer(Surface& s) {
    Ref cls = s.add_class("AudioStreamWriter", kClassDoc,
                          {method(init_def), method(configure_def), property(stopped_def), property(configured_def),
                           property(mute_get, &mute_set), property(sample_rate_def), property(channels_def),
                           method(write_def), method(flush_def), method(stop_def), method(finish_def),
                           method(set_output_file_def)});
    if (!cls) return -1;
    Py_XSETREF(s.state()->writer_class, cls.release());
    return 0;
}

}  // namespace wa
