// AudioStreamWriter, the take: the recording file (set_output_file) and finish, which turns it into a WAV.
#include "host/host.hpp"
#include "writer/fd.hpp"
#include "writer/guard.hpp"
#include "writer/wav.hpp"
#include "writer/writer.hpp"

#include <cmath>
#include <string>

#include <fcntl.h>

namespace wa {
namespace {

using writer_state::Guard;

// os.path.realpath(path): the file a path names, through any symbolic links.
Ref realpath(PyObject* path) {
    Ref os_path = Ref::steal(PyImport_ImportModule("os.path"));
    return os_path ? Ref::steal(PyObject_CallMethod(os_path.get(), "realpath", "O", path)) : Ref();
}

PyObject* set_output_file(Function* f, Args a) {
    State* st = state(f);
    const Guard guard(a[0]);
    if (!guard.ok()) return nullptr;
    const Inst self(st, a[0]);
    if (set(self, st->s__pending_output_file, a[1]) < 0) return nullptr;
    const int t = PyObject_IsTrue(a[1]);
    if (t <= 0) return t < 0 ? nullptr : pyrt::none();
    Ref open = host::global(f, &State::g_open);
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
const FuncDef set_output_file_def = def("set_output_file",
                                        "设置输出文件并打开文件句柄（边生成边写入模式）\n"
                                        "        \n"
                                        "        参数:\n"
                                        "            output_file: 输出文件路径\n"
                                        "        ",
                                        {{"self"}, {"output_file"}}, set_output_file);

// A read descriptor on the recording file itself, so that finish reads the
// file that was actually recorded, even if it was renamed or deleted
// meanwhile (reopened through /proc), else by the name it was opened with.
Fd recording_fd(PyObject* handle) {
    Ref fileno = Ref::steal(PyObject_CallMethod(handle, "fileno", nullptr));
    if (fileno) {
        const long fd = PyLong_AsLong(fileno.get());
        if (fd >= 0) {
            const std::string proc = "/proc/self/fd/" + std::to_string(fd);
            Fd r(::open(proc.c_str(), O_RDONLY | O_CLOEXEC));
            if (r) return r;
        }
    }
    PyErr_Clear();
    Ref name = Ref::steal(PyObject_GetAttrString(handle, "name"));
    PyObject* encoded = nullptr;
    if (!name || !PyUnicode_FSConverter(name.get(), &encoded)) {
        PyErr_Clear();
        return Fd();
    }
    Ref path = Ref::steal(encoded);
    return Fd(::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC));
}

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

// A non-finite target cannot scale samples to anything defined.  -1 with ValueError.
int refuse_target(PyObject* target) {
    PyErr_Format(PyExc_ValueError, "normalize_target must be a finite number, not %R", target);
    return -1;
}

PyObject* finish(Function* f, Args a) {
    State* st = state(f);
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
    const int recorded = pyrt::compare(total.get(), 0, Py_GT);
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
        if (normalize && PyFloat_Check(a[3]) && !std::isfinite(PyFloat_AS_DOUBLE(a[3]))) {
            refuse_target(a[3]);
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
            Fd source = recording_fd(handle.get());
            if (!source) {
                // No descriptor to the recording (a file-like object without one):
                // read the samples from the target path itself.
                PyObject* encoded = nullptr;
                if (!PyUnicode_FSConverter(final_path.get(), &encoded)) return nullptr;
                Ref path = Ref::steal(encoded);
                source.reset(::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC));
                if (!source) {
                    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path.get());
                    return nullptr;
                }
            }
            // 3, 4. write the WAV file.
            double scale = 0.0;
            bool scaled = false;
            Ref max_amp = self.get(st->s__max_amplitude);
            if (!max_amp) return nullptr;
            const int loud = normalize ? pyrt::compare(max_amp.get(), 0, Py_GT) : 0;
            if (loud < 0) return nullptr;
            if (loud) {
                Ref factor = Ref::steal(PyNumber_TrueDivide(a[3], max_amp.get()));
                if (!factor) return nullptr;
                scale = PyFloat_AsDouble(factor.get());
                if (scale == -1.0 && PyErr_Occurred()) return nullptr;
                if (!std::isfinite(scale)) {
                    refuse_target(a[3]);
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
const FuncDef finish_def = def("finish",
                               "完成写入，归一化并保存 WAV 文件\n"
                               "        \n"
                               "        参数:\n"
                               "            output_file: 输出文件路径，None 则不保存\n"
                               "            normalize: 是否归一化音量\n"
                               "            normalize_target: 归一化目标振幅（默认 30000）\n"
                               "        \n"
                               "        返回:\n"
                               "            包含音频信息的字典\n"
                               "        ",
                               {{"self"}, {"output_file", pyrt::d_none}, {"normalize", pyrt::d_true},
                                {"normalize_target", pyrt::d_int(30000)}},
                               finish);

}  // namespace

std::span<const Member> take_members() {
    static const Member members[] = {method(finish_def), method(set_output_file_def)};
    return members;
}

}  // namespace wa
