// The module definition and its two import steps: creation (one interpreter, one module object per
// process) and execution (version check, built-ins, constants, then the start-up body that binds
// the module's globals).

#include "browser.hpp"
#include "check.hpp"
#include "commands.hpp"
#include "console.hpp"
#include "host.hpp"
#include "launch.hpp"
#include "replication.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <cstdint>

namespace vantrel {
namespace {

PyObject* module_instance = nullptr;  // the executed module, kept for the life of the process

int64_t first_interpreter_id = -1;

bool same_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    const int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
    if (first_interpreter_id == -1) {
        first_interpreter_id = current;
        return current != -1;
    }
    if (first_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copies one attribute of the import request into the module's namespace, if the request has it.
bool copy_from_request(PyObject* request, PyObject* module_dict, const char* from, const char* to,
                    bool allow_none) {
    PyObject* value = PyObject_GetAttrString(request, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    int result = 0;
    if (allow_none || value != Py_None) {
        result = PyDict_SetItemString(module_dict, to, value);
    }
    Py_DECREF(value);
    return result == 0;
}

PyObject* create_module(PyObject* request, PyModuleDef*) noexcept {
    if (!same_interpreter()) {
        return nullptr;
    }
    if (module_instance) {
        Py_INCREF(module_instance);
        return module_instance;
    }
    PyObject* name = PyObject_GetAttrString(request, "name");
    if (!name) {
        return nullptr;
    }
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module);
    if (!copy_from_request(request, dict, "loader", "__loader__", true) ||
        !copy_from_request(request, dict, "origin", "__file__", true) ||
        !copy_from_request(request, dict, "parent", "__package__", true) ||
        !copy_from_request(request, dict, "submodule_search_locations", "__path__", false)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// The host's version against the one the module was compiled for, by their first and third
// characters; a mismatch warns and start-up goes on.
bool check_version() {
    const char* compiled = PY_VERSION;
    const char* running = Py_GetVersion();
    if (compiled[0] == running[0] && compiled[2] == running[2]) {
        return true;
    }
    char compiled_short[4] = {compiled[0], compiled[1], compiled[2], '\0'};
    char running_short[4] = {running[0], running[1], running[2], '\0'};
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compiletime version %s of module '%.100s' does not match runtime "
                            "version %s",
                            compiled_short, "vantrel", running_short) == 0;
}

// Every unit's constants, once per process.
void create_constants() {
    static bool created = false;
    if (created) {
        return;
    }
    create_host_names();
    create_browser_constants();
    create_sheet_constants();
    create_console_constants();
    create_replication_constants();
    create_runlog_constants();
    create_launch_constants();
    create_check_constants();
    create_command_constants();
    created = true;
}

// `from <module> import <name>`, with the import error of a name the module lacks.
py::object import_from(const char* module, const char* name) {
    py::object fromlist = py::make_tuple(name);
    py::object imported = py::reinterpret_steal<py::object>(
        PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    if (!imported) {
        throw py::error_already_set();
    }
    py::object value = py::getattr(imported, name, py::object());
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", py::str(name).ptr());
        throw py::error_already_set();
    }
    return value;
}

void bind_function(py::module_& module, const char* name, const FunctionDef& spec) {
    py::object function = py::reinterpret_steal<py::object>(new_function(spec));
    if (!function) {
        throw py::error_already_set();
    }
    module.attr(name) = function;
}

// The start-up body: binds the globals in their order; `line` follows the binding so a failure
// names its line.
void run_module_body(py::module_ module, int& line) {
    line = 6;   module.attr("datetime") = py::module_::import("datetime");
    line = 7;   module.attr("time") = py::module_::import("time");
    line = 10;  module.attr("Options") = import_from("selenium.webdriver.chrome.options", "Options");
    line = 11;  module.attr("webdriver") = import_from("selenium", "webdriver");
    line = 12;  module.attr("pd") = py::module_::import("pandas");
    line = 13;  module.attr("Select") = import_from("selenium.webdriver.support.select", "Select");
    line = 18;  bind_function(module, "init", init_function);
    line = 40;  bind_function(module, "get_res", get_res_function);
    line = 202; bind_function(module, "start", start_function);
    line = 277; bind_function(module, "main", main_function);
    line = 320; bind_function(module, "check", check_function);
    line = 390; bind_function(module, "check_cli", check_cli_function);
    line = 400; bind_function(module, "resume", resume_function);
    line = 430; bind_function(module, "run_cli", run_cli_function);
    line = 440; bind_function(module, "resume_cli", resume_cli_function);
    line = 450; bind_function(module, "chrome_cli", chrome_cli_function);
    line = 1;   module.attr("__test__") = py::dict();
}

int exec_module(PyObject* module) noexcept {
    if (module_instance) {
        if (module_instance == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vantrel' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (!ready_function_type() || !check_version()) {
        return -1;
    }
    Py_INCREF(module);
    module_instance = module;
    PyObject* dict = PyModule_GetDict(module);
    set_globals(dict);

    int line = 1;
    bool ok = false;
    try {
        py::module_ builtins = py::module_::import("builtins");
        py::setattr(module, "__builtins__", builtins);
        create_constants();
        py::dict modules = py::module_::import("sys").attr("modules");
        if (!modules.contains("vantrel")) {
            modules["vantrel"] = module;
        }
        py::object input = py::getattr(builtins, "input", py::object());
        if (!input) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", py::str("input").ptr());
            throw py::error_already_set();
        }
        keep_input(input);
        run_module_body(py::reinterpret_borrow<py::module_>(module), line);
        ok = true;
    } catch (...) {
        raise_from_cpp();  // the failure's own message goes with the entry "init vantrel"
    }
    if (ok) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init vantrel");
    }
    add_traceback("init vantrel", line);
    set_globals(nullptr);
    Py_CLEAR(module_instance);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    // Workflows in several threads share only the constants, fixed once start-up has made them,
    // the module's globals, read in one step, and the run log's file, attached under a lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "vantrel",   // m_name
    nullptr,     // m_doc: none
    0,           // m_size: no per-module state
    no_methods,  // m_methods: the functions are made by the start-up body instead
    slots,       // m_slots: create, then exec; the GIL declaration where CPython has one
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

}  // namespace
}  // namespace vantrel

// Exported by name on every host: before 3.9 PyMODINIT_FUNC carries no visibility of its own, and
// the build hides every other symbol.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vantrel() {
    return PyModuleDef_Init(&vantrel::definition);
}
