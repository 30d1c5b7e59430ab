// web_audio: builds the option dict and handler table, registers the component, returns a new handle.
#include "host/host.hpp"
#include "player/player.hpp"
#include "pyrt/classbuilder.hpp"

namespace wa {
namespace {

enum Arg { SRC, MINIMAL, SHOW_WAVE, STREAM_MODE, STREAM_URL, VIS_TYPE, VIS_COLOR, ONPLAY, ONPAUSE, ONENDED, ONERROR, VISIBLE };

constexpr pyrt::Param web_audio_params[] = {
    {"src", pyrt::d_str("")},
    {"minimal", pyrt::d_true},
    {"show_wave", pyrt::d_false},
    {"stream_mode", pyrt::d_false},
    {"stream_url", pyrt::d_str("")},
    {"visualizer_type", pyrt::d_str("waveform")},
    {"visualizer_color", pyrt::d_str("#1976D2")},
    {"onplay", pyrt::d_none},
    {"onpause", pyrt::d_none},
    {"onended", pyrt::d_none},
    {"onerror", pyrt::d_none},
    {"visible", pyrt::d_true},
};

// kwargs.setdefault(key, value) without replacing an entry the caller gave.
int set_default(PyObject* d, PyObject* key, PyObject* value) {
    const int has = PyDict_Contains(d, key);
    if (has != 0) return has < 0 ? -1 : 0;
    return PyDict_SetItem(d, key, value);
}

// Builds the class WebAudioProps with base `props`, its members cloned from
// the templates made at module exec, as a class statement inside web_audio would.
Ref build_handle_class(Function* f) {
    State* st = state(f);
    Ref props = host::global(f, &State::g_props);
    if (!props) return Ref();
    Ref bases = Ref::steal(PyTuple_Pack(1, props.get()));
    if (!bases) return Ref();
    Ref meta;
    Ref ns = pyrt::prepare_class(st->handle_name, bases.get(), meta);
    if (!ns) return Ref();
    Ref module_name = Ref::steal(PyModule_GetNameObject(f->module));
    if (!module_name || PyObject_SetItem(ns.get(), st->s_dunder_module, module_name.get()) < 0) return Ref();
    if (PyObject_SetItem(ns.get(), st->s_dunder_qualname, st->handle_qualname) < 0) return Ref();
    Ref init;  // the member that needs its defining class (for super())
    PyObject* tmpl = st->handle_template;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tmpl); i++) {
        PyObject* entry = PyList_GET_ITEM(tmpl, i);  // (name, fn, setter or None)
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        PyObject* fn_t = PyTuple_GET_ITEM(entry, 1);
        PyObject* setter_t = PyTuple_GET_ITEM(entry, 2);
        Ref fn = Ref::steal(reinterpret_cast<PyObject*>(pyrt::clone_function(reinterpret_cast<pyrt::Function*>(fn_t))));
        if (!fn) return Ref();
        Ref member;
        if (PyTuple_GET_ITEM(entry, 3) == Py_True) {
            Ref setter;
            if (setter_t != Py_None) {
                setter = Ref::steal(
                    reinterpret_cast<PyObject*>(pyrt::clone_function(reinterpret_cast<pyrt::Function*>(setter_t))));
                if (!setter) return Ref();
            }
            member = pyrt::make_property(fn.get(), setter.get(), st->s_setter);
            if (!member) return Ref();
        } else {
            if (name == st->s_dunder_init) init = Ref::borrow(fn.get());
            member = std::move(fn);
        }
        if (pyrt::set_item(ns.get(), name, member.get()) < 0) return Ref();
    }
    Ref cls = pyrt::finish_class(meta.get(), st->handle_name, bases.get(), ns.get());
    if (!cls) return Ref();
    if (init) {
        auto* fi = reinterpret_cast<pyrt::Function*>(init.get());
        Py_XSETREF(fi->owner, Py_NewRef(cls.get()));
    }
    return cls;
}

PyObject* web_audio(Function* f, Args a) {
    State* st = state(f);
    PyObject* kwargs = a.kwargs;
    // 1, 2: "minimal" and "showWave" into kwargs unless the caller gave them.
    if (set_default(kwargs, st->s_minimal, a[MINIMAL]) < 0) return nullptr;
    if (set_default(kwargs, st->s_showWave, a[SHOW_WAVE]) < 0) return nullptr;
    // 3: the caller's own handler table, or a new one.
    Ref handlers = Ref::borrow(PyDict_GetItemWithError(kwargs, st->s_handlers));
    if (!handlers) {
        if (PyErr_Occurred()) return nullptr;
        handlers = Ref::steal(PyDict_New());
        if (!handlers) return nullptr;
    }
    // 4: truthy callbacks into the handler table.
    const struct { Arg arg; PyObject* event; } events[] = {
        {ONPLAY, st->s_ev_play}, {ONPAUSE, st->s_ev_pause}, {ONENDED, st->s_ev_ended}, {ONERROR, st->s_ev_error}};
    for (const auto& e : events) {
        const int t = PyObject_IsTrue(a[e.arg]);
        if (t < 0) return nullptr;
        if (t && PyObject_SetItem(handlers.get(), e.event, a[e.arg]) < 0) return nullptr;
    }
    // 5: a truthy "block" gives a full width unless one was given.
    PyObject* block = PyDict_GetItemWithError(kwargs, st->s_block);
    if (block) {
        Ref keep = Ref::borrow(block);
        const int t = PyObject_IsTrue(block);
        if (t < 0) return nullptr;
        if (t && set_default(kwargs, st->s_width, st->s_width_full) < 0) return nullptr;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    // 6, 7: converted source, then the option dict.
    Ref src = host::convert_if_truthy(f, a[SRC]);
    if (!src) return nullptr;
    Ref options = Ref::steal(PyDict_New());
    if (!options) return nullptr;
    if (PyDict_SetItem(options.get(), st->s_minimal, a[MINIMAL]) < 0 ||
        PyDict_SetItem(options.get(), st->s_showWave, a[SHOW_WAVE]) < 0 ||
        PyDict_SetItem(options.get(), st->s_streamMode, a[STREAM_MODE]) < 0)
        return nullptr;
    Ref stream_url = host::convert_if_truthy(f, a[STREAM_URL]);
    if (!stream_url || PyDict_SetItem(options.get(), st->s_streamUrl, stream_url.get()) < 0) return nullptr;
    if (PyDict_SetItem(options.get(), st->s_visualizerType, a[VIS_TYPE]) < 0 ||
        PyDict_SetItem(options.get(), st->s_visualizerColor, a[VIS_COLOR]) < 0 ||
        PyDict_SetItem(options.get(), st->s_visible, a[VISIBLE]) < 0 || PyDict_Update(options.get(), kwargs) < 0)
        return nullptr;
    // 8: content.
    Ref content = Ref::steal(PyDict_New());
    if (!content || PyDict_SetItem(content.get(), st->s_src, src.get()) < 0 ||
        PyDict_SetItem(content.get(), st->s_options, options.get()) < 0)
        return nullptr;
    // 9: getcm().add_component("web_audio", content=..., handlers=...)
    Ref getcm = host::global(f, &State::g_getcm);
    if (!getcm) return nullptr;
    Ref cm = pyrt::call0(getcm.get());
    if (!cm) return nullptr;
    Ref add = pyrt::getattr(cm.get(), st->s_add_component);
    if (!add) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(2, st->s_content, st->s_handlers));
    if (!kwnames) return nullptr;
    PyObject* args[] = {nullptr, st->s_web_audio, content.get(), handlers.get()};
    Ref res = Ref::steal(PyObject_Vectorcall(add.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
    if (!res) return nullptr;
    // 10, 11: the class, then the handle.
    Ref cls = build_handle_class(f);
    if (!cls) return nullptr;
    return pyrt::call1(cls.get(), res.get()).release();
}

const FuncDef web_audio_def = def("web_audio",
                                  "基于 Web Audio API 的音频播放器\n"
                                  "    \n"
                                  "    参数:\n"
                                  "    - src: 音频文件路径或URL\n"
                                  "    - minimal: 是否使用最小化模式\n"
                                  "    - show_wave: 是否显示波形可视化\n"
                                  "    - stream_mode: 是否启用流式播放模式\n"
                                  "    - stream_url: 流式音频的URL\n"
                                  "    - visualizer_type: 可视化类型 ('waveform' | 'spectrum')\n"
                                  "    - visualizer_color: 可视化颜色\n"
                                  "    - onplay: 播放事件回调\n"
                                  "    - onpause: 暂停事件回调\n"
                                  "    - onended: 播放结束事件回调\n"
                                  "    - visible: 是否显示界面（False 为纯功能模式，后台静默播放）\n"
                                  "    - onerror: 错误事件回调\n"
                                  "    \n"
                                  "    返回:\n"
                                  "    - 音频播放器组件\n"
                                  "    ",
                                  web_audio_params, web_audio)
                                  .with_kwargs();

}  // namespace

int register_web_audio(Surface& s) { return s.add_function(web_audio_def); }

}  // namespace wa
