// Reading a pricing source (web address or local file), the guarded load
// that `_parse_pricing` performs, and clearing the LRU cache around it.
#include "source.hpp"

#include "../compat.hpp"
#include "../unicode.hpp"
#include "parser.hpp"

namespace quelm::pricing {
namespace {

constexpr const char* kRawHost = "https://raw.githubusercontent.com";

// Matches "^https?://" case-insensitively; returns the length matched, or 0.
Py_ssize_t match_scheme(const uni::Text& t) {
    if (!uni::ci_literal_at(t, 0, "http")) return 0;
    Py_ssize_t pos = 4;
    if (pos < t.len && uni::ci_letter(t[pos], 's')) ++pos;
    return uni::ci_literal_at(t, pos, "://") ? pos + 3 : 0;
}

// End of the non-empty run of characters other than '/' that starts at
// `pos` and is followed by '/', or -1.
Py_ssize_t segment_end(const uni::Text& t, Py_ssize_t pos) {
    Py_ssize_t end = pos;
    while (end < t.len && t[end] != '/') ++end;
    return (end > pos && end < t.len) ? end : -1;
}

// Rewrites a GitHub blob-page address,
//   ^https?://github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.*)$   (re.I)
// to the raw-file address; returns an empty Ref when `src` is no such page.
Ref raw_address(PyObject* src, const uni::Text& t, Py_ssize_t pos) {
    if (!uni::ci_literal_at(t, pos, "github.com/")) return Ref();
    pos += 11;
    Py_ssize_t bounds[3][2];
    for (int g = 0; g < 3; ++g) {
        if (g == 2) {
            if (!uni::ci_literal_at(t, pos, "blob/")) return Ref();
            pos += 5;
        }
        const Py_ssize_t end = segment_end(t, pos);
        if (end < 0) return Ref();
        bounds[g][0] = pos;
        bounds[g][1] = end;
        pos = end + 1;
    }
    // (.*)$ : '.' stops at a line feed, and '$' matches at the end or just
    // before one final line feed.
    Py_ssize_t rest_end = pos;
    while (rest_end < t.len && t[rest_end] != '\n') ++rest_end;
    if (rest_end != t.len && rest_end != t.len - 1) return Ref();

    Ref parts = Ref::steal(PyList_New(0));
    check(PyList_Append(parts.get(), str(kRawHost).get()));
    for (auto& b : bounds)
        check(PyList_Append(parts.get(), Ref::steal(PyUnicode_Substring(src, b[0], b[1])).get()));
    check(PyList_Append(parts.get(), Ref::steal(PyUnicode_Substring(src, pos, rest_end)).get()));
    return Ref::steal(PyUnicode_Join(str("/").get(), parts.get()));
}

// Drops one leading byte-order mark, which would otherwise become part of the
// document's first line (a table header or a model name).
Ref without_bom(Ref text) {
    if (PyUnicode_Check(text.get()) && PyUnicode_GET_LENGTH(text.get()) > 0 &&
        PyUnicode_READ_CHAR(text.get(), 0) == 0xFEFF)
        return Ref::steal(PyUnicode_Substring(text.get(), 1, PyUnicode_GET_LENGTH(text.get())));
    return text;
}

// A special method looked up on the type and bound to `obj`, as the `with`
// statement does; a null Ref when the type has none.
Ref special_method(Borrowed obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj.get());
    Ref descr = compat::type_lookup(type, name);
    if (!descr) return Ref();
    descrgetfunc bind = Py_TYPE(descr.get())->tp_descr_get;
    if (!bind) return descr;
    return Ref::steal(bind(descr.get(), obj.get(), reinterpret_cast<PyObject*>(type)));
}

// `with cm as resp: return resp.read().decode("utf-8", errors="replace")`
Ref read_response(Borrowed cm) {
    Ref enter = special_method(cm, names::__enter__);
    if (!enter) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(cm.get())->tp_name);
        throw PyError{};
    }
    Ref exit = special_method(cm, names::__exit__);
    if (!exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol "
                     "(missed __exit__ method)",
                     Py_TYPE(cm.get())->tp_name);
        throw PyError{};
    }
    Ref resp = Ref::steal(PyObject_CallNoArgs(enter.get()));
    Ref text;
    try {
        Ref body = Ref::steal(PyObject_CallMethodNoArgs(resp.get(), names::read));
        text = Ref::steal(PyObject_CallMethod(body.get(), "decode", "ss", "utf-8", "replace"));
    } catch (const PyError&) {
        SavedError error;  // put back on leaving unless the block suppresses it
        Ref suppress = Ref::steal(PyObject_CallFunctionObjArgs(
            exit.get(), error.type(), error.value(), error.traceback(), nullptr));
        if (!truthy(suppress)) throw;
        error.discard();
        return Ref::none();  // the block ends without a value
    }
    Ref::steal(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
    return text;
}

Ref read_web(PyObject* src) {
    Ref request_mod = Ref::steal(PyImport_ImportModule("urllib.request"));
    Ref headers = Ref::steal(Py_BuildValue("{s:s}", "User-Agent", "quelm/1.0"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "headers", headers.get()));
    Ref args = Ref::steal(PyTuple_Pack(1, src));
    Ref request = Ref::steal(
        PyObject_Call(getattr(request_mod, names::Request).get(), args.get(), kwargs.get()));
    Ref open_args = Ref::steal(PyTuple_Pack(1, request.get()));
    Ref open_kwargs = Ref::steal(Py_BuildValue("{s:i}", "timeout", 10));
    Ref cm = Ref::steal(PyObject_Call(getattr(request_mod, names::urlopen).get(), open_args.get(),
                                      open_kwargs.get()));
    return read_response(cm);
}

// open(src, "r", encoding="utf8").read(), closing the file straight away.
Ref read_file(Borrowed module, PyObject* src) {
    Ref open = global(module, names::open);
    Ref args = Ref::steal(Py_BuildValue("(Os)", src, "r"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "encoding", "utf8"));
    Ref file = Ref::steal(PyObject_Call(open.get(), args.get(), kwargs.get()));
    Ref text;
    try {
        text = Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::read));
    } catch (const PyError&) {
        SavedError error;  // the read error is the one to report
        if (!Ref::steal_maybe(PyObject_CallMethodNoArgs(file.get(), names::close))) PyErr_Clear();
        throw;
    }
    Ref::steal(PyObject_CallMethodNoArgs(file.get(), names::close));
    return text;
}

}  // namespace

Ref read_text(Borrowed module, PyObject* src) {
    const uni::Text t(src);
    const Py_ssize_t scheme = match_scheme(t);
    if (scheme == 0) return without_bom(read_file(module, src));
    Ref raw = raw_address(src, t, scheme);
    return without_bom(read_web(raw ? raw.get() : src));
}

void warn_failed_load(Borrowed module, PyObject* path) {
    SavedError error;  // still pending afterwards, or the context of a logging failure
    Ref get_logger = getattr(global(module, names::logging), names::getLogger);
    Ref logger = call(get_logger, global(module, names::__name__));
    Ref::steal(PyObject_CallMethodObjArgs(logger.get(), names::warning,
                                          names::load_warning, path,
                                          error.value(), nullptr));
}

void require_text(Borrowed text) {
    if (PyUnicode_Check(text.get())) return;
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute 'splitlines'",
                 Py_TYPE(text.get())->tp_name);
    throw PyError{};
}

Ref parse_pricing(Borrowed module, PyObject* const* args) {
    PyObject* path = args[0];
    Ref text;
    try {
        text = read_text(module, path);
    } catch (const PyError&) {
        if (!ordinary_error_pending()) throw;
        warn_failed_load(module, path);
        PyErr_Clear();  // logged: the source counts as an empty table
        return Ref::steal(PyDict_New());
    }
    require_text(text);
    return parse_document(text);
}

Ref clear_pricing_cache(Borrowed module, PyObject* const*) {
    Ref cached = global(module, names::_parse_pricing);
    Ref::steal(PyObject_CallMethodNoArgs(cached.get(), names::cache_clear));
    return Ref::none();
}

}  // namespace quelm::pricing
