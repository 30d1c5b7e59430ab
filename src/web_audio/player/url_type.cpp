// url_type: "http/https" for http and https URLs, "file" for everything else.
#include "host/host.hpp"
#include "player/player.hpp"

namespace wa {
namespace {

// `scheme == text`, with Python's == (no identity shortcut), errors propagate.
int equals(PyObject* scheme, PyObject* text) {
    Ref r = Ref::steal(PyObject_RichCompare(scheme, text, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

PyObject* url_type(Function* f, Args a) {
    State* st = state(f);
    Ref urlparse = host::global(f, &State::g_urlparse);
    if (!urlparse) return nullptr;
    Ref parsed = pyrt::call1(urlparse.get(), a[0]);
    if (!parsed) return nullptr;
    Ref scheme = pyrt::getattr(parsed.get(), st->s_scheme);
    if (!scheme) return nullptr;
    int is_web = equals(scheme.get(), st->s_http);
    if (is_web == 0) is_web = equals(scheme.get(), st->s_https);
    if (is_web < 0) return nullptr;
    return Py_NewRef(is_web ? st->s_http_https : st->s_file);
}

const FuncDef url_type_def = def("url_type",
                                 "判断URL类型\n"
                                 "    \n"
                                 "    参数:\n"
                                 "    - url: URL字符串\n"
                                 "    \n"
                                 "    返回:\n"
                                 "    - URL类型字符串\n"
                                 "    ",
                                 {{"url"}}, url_type);

}  // namespace

int register_url_type(Surface& s) { return s.add_function(url_type_def); }

}  // namespace wa
