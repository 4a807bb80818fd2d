// The module's function type: a vectorcall object carrying its name, module and code object, with
// the argument binding of the workflow functions and the traceback entries of a failing step.

#include "host.hpp"

#include <frameobject.h>
#if PY_VERSION_HEX < 0x030c0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

#include <exception>
#include <vector>

namespace vantrel {

namespace {

PyObject* module_globals = nullptr;  // borrowed from the module, which lives for the process

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* code;
    PyObject* annotations;
};

// The head alone is static, immortal where CPython has that; the fields are filled in at start-up.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// --- argument binding -----------------------------------------------------------------------------

void raise_count(const FunctionDef& def, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name,
                 def.optional_count ? "at most" : "exactly", static_cast<Py_ssize_t>(def.param_count),
                 def.param_count == 1 ? "" : "s", given);
}

Py_ssize_t param_index(const FunctionDef& def, PyObject* key) {
    for (std::size_t i = 0; i < def.param_count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, def.params[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Positional values fill the parameters in order; the rest come by name, and the optional ones left
// out are None. The first required parameter left without a value decides the count reported;
// names are checked after that.
bool bind_arguments(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::vector<py::object>& values) {
    const auto params = static_cast<Py_ssize_t>(def.param_count);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (def.param_count == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def.name);
            return false;
        }
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def.name,
                         nargs);
            return false;
        }
        return true;
    }
    const auto required = params - static_cast<Py_ssize_t>(def.optional_count);
    if (nargs > params || (nkw == 0 && nargs < required)) {
        raise_count(def, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = py::reinterpret_borrow<py::object>(args[i]);
    }
    PyObject* const* kwvalues = args + nargs;
    for (Py_ssize_t i = nargs; i < params; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, def.params[i]) == 0) {
                values[i] = py::reinterpret_borrow<py::object>(kwvalues[k]);
                break;
            }
        }
        if (!values[i] && i >= required) {
            values[i] = py::none();
        } else if (!values[i]) {
            raise_count(def, i);
            return false;
        }
    }
    if (nkw == 0) return true;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            return false;
        }
        const Py_ssize_t index = param_index(def, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         def.name, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         def.name, key);
            return false;
        }
    }
    return true;
}

// --- the function type ----------------------------------------------------------------------------

}  // namespace

void raise_from_cpp() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

namespace {

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    const FunctionDef& def = *reinterpret_cast<FunctionObject*>(self)->def;
    Lines line(def.first_line);
    try {
        std::vector<py::object> values(def.param_count);
        if (!bind_arguments(def, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
            add_traceback(def.qualname, def.first_line);
            return nullptr;
        }
        return def.body(values.data(), line).release().ptr();
    } catch (...) {
        raise_from_cpp();
    }
    add_traceback(def.qualname, line.current());
    return nullptr;
}

void function_dealloc(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->code);
    Py_XDECREF(f->annotations);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// None for each optional parameter, as a Python function's defaults; None when there are none.
PyObject* get_defaults(PyObject* self, void*) noexcept {
    const FunctionDef& def = *reinterpret_cast<FunctionObject*>(self)->def;
    if (def.optional_count == 0) Py_RETURN_NONE;
    PyObject* defaults = PyTuple_New(static_cast<Py_ssize_t>(def.optional_count));
    for (Py_ssize_t i = 0; defaults && i < PyTuple_GET_SIZE(defaults); ++i) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(defaults, i, Py_None);
    }
    return defaults;
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// No docstring, None as the default of an optional parameter, and an empty dict of annotations (inspect before 3.10 reads a
// function-like object only when that is a dict): the signature comes off __code__.
PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The code object shows the function's parameters and locals, the file "vantrel" and first line.
py::object new_code(const FunctionDef& def) {
    py::object code = py::reinterpret_steal<py::object>(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, def.name, def.first_line)));
    if (!code) throw py::error_already_set();
    py::tuple varnames(def.param_count + def.local_count);
    for (std::size_t i = 0; i < def.param_count; ++i) {
        varnames[i] = py::str(def.params[i]);
    }
    for (std::size_t i = 0; i < def.local_count; ++i) {
        varnames[def.param_count + i] = py::str(def.locals[i]);
    }
    return code.attr(host->name_replace)(py::arg("co_argcount") = def.param_count,
                                py::arg("co_nlocals") = varnames.size(),
                                py::arg("co_varnames") = varnames);
}

}  // namespace

bool ready_function_type() noexcept {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
    function_type.tp_name = "vantrel.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    function_type.tp_repr = function_repr;
    function_type.tp_call = PyVectorcall_Call;
#if PY_VERSION_HEX >= 0x03090000
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
#else
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | _Py_TPFLAGS_HAVE_VECTORCALL;
#endif
    function_type.tp_members = function_members;
    function_type.tp_getset = function_getset;
    return PyType_Ready(&function_type) == 0;
}

PyObject* new_function(const FunctionDef& def) noexcept {
    try {
        py::object code = new_code(def);
        py::object name = py::str(def.name);
        py::object module = py::str(kSourceFile);
        py::dict annotations;
        auto* f = PyObject_New(FunctionObject, &function_type);
        if (!f) return nullptr;
        f->vectorcall = function_vectorcall;
        f->def = &def;
        f->name = name.inc_ref().ptr();
        f->qualname = name.release().ptr();
        f->module = module.release().ptr();
        f->code = code.release().ptr();
        f->annotations = annotations.release().ptr();
        return reinterpret_cast<PyObject*>(f);
    } catch (...) {
        raise_from_cpp();
        return nullptr;
    }
}

// As CPython's own extensions do it: an empty code object naming the function and line, a frame
// on it, and that frame entered into the exception's traceback.
void add_traceback(const char* funcname, int line) noexcept {
    try {
        py::error_already_set raised;  // taken while the entry is built, then raised again
        py::object code = py::reinterpret_steal<py::object>(
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(kSourceFile, funcname, line)));
        py::object globals = module_globals ? py::reinterpret_borrow<py::object>(module_globals) : py::dict();
        py::object frame;
        if (code) {
            frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.ptr()), globals.ptr(), nullptr)));
        }
        PyErr_Clear();  // a failure to build the entry must not replace the error being reported
        raised.restore();
        if (frame) {
            PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.ptr()));
        }
    } catch (...) {
        // Only taking the exception can fail here, and then it is still the one set.
    }
}

void set_globals(PyObject* module_dict) noexcept { module_globals = module_dict; }

namespace {

// `dict[key]` taken in one step, or a null object where the key is missing: another thread may
// remove the key between a test and the look-up.
py::object item_or_null(py::handle dict, py::handle key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict.ptr(), key.ptr(), &value) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
#else
    // Before 3.13 only the GIL runs Python: the borrowed value is taken at once.
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(value);
#endif
}

}  // namespace

py::object global(py::handle name) {
    if (module_globals) {
        if (py::object value = item_or_null(module_globals, name)) return value;
        if (py::object builtins = item_or_null(module_globals, host->name_builtins)) {
            if (PyModule_Check(builtins.ptr())) {
                builtins = py::reinterpret_borrow<py::object>(PyModule_GetDict(builtins.ptr()));
            }
            if (PyDict_Check(builtins.ptr())) {
                if (py::object value = item_or_null(builtins, name)) return value;
            } else if (builtins.contains(name)) {
                return builtins[name];
            }
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw py::error_already_set();
}

py::object import(py::handle name) {
    PyObject* imported = PyImport_Import(name.ptr());
    if (!imported) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(imported);
}

py::handle intern(const char* text) {
    PyObject* interned = PyUnicode_InternFromString(text);
    if (!interned) throw py::error_already_set();
    return interned;
}

py::handle keep(py::object value) { return value.release(); }

py::object getattr_or_none(py::handle target, py::handle name) {
    PyObject* value = PyObject_GetAttr(target.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(value);
}

void set_item(py::handle target, py::handle key, py::handle value) {
    py::object held = py::reinterpret_borrow<py::object>(target);
    held[key] = value;
}

py::object compare(py::handle a, py::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

bool compare_true(py::handle a, py::handle b, int op) { return py::bool_(compare(a, b, op)); }

bool contains(py::handle haystack, py::handle needle) {
    const int found = PySequence_Contains(haystack.ptr(), needle.ptr());
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

const HostNames* host = nullptr;

void create_host_names() {
    static const HostNames names;
    host = &names;
}

void print_line(py::handle line) { call(global(host->name_print), line); }

void sleep(py::handle seconds) { call_method(global(host->name_time), host->name_sleep, seconds); }

py::object now() { return call_method(global(host->name_datetime).attr(host->name_datetime), host->name_now); }

}  // namespace vantrel
