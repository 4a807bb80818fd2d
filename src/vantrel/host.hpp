// The host-object layer: the module's own function type with its argument binding, traceback
// entries, process-lifetime constants and the name look-ups that every workflow function shares.
// Everything else in the module talks to the host through pybind11's object layer.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>

// Declares one interned-text field of a constant table: X(field, "text").
#define VANTREL_TEXT_FIELD(field, text) ::pybind11::handle field;
#define VANTREL_TEXT_CREATE(field, text) table.field = ::vantrel::intern(text);
// Declares one number field: X(field, value); integers stay integers and decimals floats.
#define VANTREL_INT_CREATE(field, value) table.field = ::vantrel::keep(::pybind11::int_(value));
#define VANTREL_FLOAT_CREATE(field, value) table.field = ::vantrel::keep(::pybind11::float_(value));

namespace vantrel {

namespace py = pybind11;

// Pseudo source file of every traceback entry the module adds.
inline constexpr const char* kSourceFile = "vantrel";

// The line of the step a module function is working on; its traceback entry names that line.
class Lines {
public:
    explicit Lines(int first) : current_(first) {}
    void operator()(int line) { current_ = line; }
    int current() const { return current_; }

private:
    int current_;
};

// The body of a module function: bound arguments in parameter order, the step line to keep current.
using Body = py::object (*)(const py::object* args, Lines& line);

struct FunctionDef {
    const char* name;             // __name__ and argument-error messages: "init"
    const char* qualname;         // traceback entries: "vantrel.init"
    int first_line;               // the code object's first line
    const char* const* params;    // parameter names, in order
    std::size_t param_count;
    const char* const* locals;    // further local names exposed by the code object
    std::size_t local_count;
    Body body;
};

// Readies the function type; once per process.
bool ready_function_type() noexcept;

// A new module function object (new reference), or nullptr with an exception set.
PyObject* new_function(const FunctionDef& def) noexcept;

// Sets the Python error for the C++ exception being handled, unless it carries one already; called
// from inside a catch clause.
void raise_from_cpp() noexcept;

// Adds a traceback entry (function name, file "vantrel", line) to the exception being raised.
void add_traceback(const char* funcname, int line) noexcept;

// The module's namespace, kept for the life of the process once start-up has made it.
void set_globals(PyObject* module_dict) noexcept;

// A module global looked up by name at the moment of use, then a built-in of the module's own
// `__builtins__`, as the module's Python code would find it; NameError when neither exists.
py::object global(py::handle name);

// `import <name>` through the host's import protocol, for a name held as a constant.
py::object import(py::handle name);

// A text constant: created once, interned, kept for the life of the process.
py::handle intern(const char* text);

// Keeps an object for the life of the process and hands back a borrowed handle to it.
py::handle keep(py::object value);

// `callable(args...)` through pybind11, as Python code would call it.
template <typename... Args>
py::object call(py::handle callable, Args&&... args) {
    return callable(std::forward<Args>(args)...);
}

// `target.<name>(args...)` through pybind11, for a name held as a constant.
template <typename... Args>
py::object call_method(py::handle target, py::handle name, Args&&... args) {
    return target.attr(name)(std::forward<Args>(args)...);
}

// `getattr(target, name, None)`: None only when the look-up raised AttributeError; any other
// error, an interrupt among them, goes on.
py::object getattr_or_none(py::handle target, py::handle name);

// `target[key] = value` as the Python statement makes it: besides the variable it was read from,
// the statement holds the target for the length of the call, as the evaluation stack does. pandas
// 3.0 reads that count to tell a table of the caller's from a temporary (its chained-assignment
// warning), so the call from C holds the same. pandas 3.1 warns on `df[col] = value` only when
// the calling Python frame runs a subscript assignment, never from C; its `.loc` still counts.
void set_item(py::handle target, py::handle key, py::handle value);

// The host's rich comparison, returning the comparison's own result object.
py::object compare(py::handle a, py::handle b, int op);

// The truth value of the host's comparison: compare_true(a, b, Py_LT) is `bool(a < b)`.
bool compare_true(py::handle a, py::handle b, int op);

// `needle in haystack` for two host objects.
bool contains(py::handle haystack, py::handle needle);

// One console line: `print` looked up as `global` does, called with the one object given. Named
// apart from pybind11's own `print`, which argument-dependent look-up would otherwise pick for
// pybind11 objects.
void print_line(py::handle line);

// Names looked up on the host by more than one unit, the module functions' own names, and the
// text encoding of the files the module writes.
#define VANTREL_HOST_NAMES(X)       \
    X(name_time, "time")            \
    X(name_sleep, "sleep")          \
    X(name_datetime, "datetime")    \
    X(name_now, "now")              \
    X(name_strip, "strip")          \
    X(name_print, "print")          \
    X(name_os, "os")                \
    X(name_builtins, "__builtins__") \
    X(name_environ, "environ")      \
    X(name_get, "get")              \
    X(name_path, "path")            \
    X(name_split, "split")          \
    X(name_join, "join")            \
    X(name_lower, "lower")          \
    X(name_close, "close")          \
    X(name_itertuples, "itertuples") \
    X(name_init, "init")            \
    X(name_start, "start")          \
    X(name_get_res, "get_res")      \
    X(name_check, "check")          \
    X(text_encoding, "utf-8")

struct HostNames {
    VANTREL_HOST_NAMES(VANTREL_TEXT_FIELD)
    py::handle os;  // the host's `os`, imported once: addresses read its environment, saves its files
};
extern HostNames host;

void create_host_names();

// Sleeps through the module global `time`, as rebound by the host at that moment.
void sleep(py::handle seconds);

// `now` of the class `datetime` of the module global `datetime`.
py::object now();

}  // namespace vantrel

