// url_type: "http/https" for http and https URLs, "file" for everything else.
#include "docs.hpp"
#include "host/host.hpp"
#include "surface.hpp"

namespace wa {
namespace {

using pyrt::Ref;

const pyrt::Param p_url[] = {{"url"}};

// `scheme == text`, with Python's == (no identity shortcut), errors propagate.
int equals(PyObject* scheme, PyObject* text) {
    Ref r = Ref::steal(PyObject_RichCompare(scheme, text, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

WA_IMPL(url_type_impl) {
    (void)kw;
    State* st = pyrt::state(f);
    Ref urlparse = host::global(f, st->s_urlparse);
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

}  // namespace

const pyrt::FuncDef url_type_def{"url_type", docs::url_type, p_url, 1, false, url_type_impl};

}  // namespace wa
