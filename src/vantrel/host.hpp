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

inline constexpr std::size_t kMaxParams = 11;

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

// A module global looked up by name at the moment of use, then a built-in, as Python code does;
// NameError when neither exists.
py::object global(py::handle name);

// `import <name>` through the host's import protocol, for a name held as a constant.
py::object import(py::handle name);

// A text constant: created once, interned, kept for the life of the process.
py::handle intern(const char* text);

// Keeps an object for the life of the process and hands back a borrowed handle to it.
py::handle keep(py::object value);

// Calls `callable(args...)` on the vectorcall protocol, without an argument tuple.
template <typename... Args>
py::object call(py::handle callable, Args&&... args);

// Calls `target.<name>(args...)`, the method looked up by its interned name, as CPython's own C
// modules call methods: neither a bound method nor an argument tuple is built where the host can
// avoid them.
template <typename... Args>
py::object call_method(py::handle target, py::handle name, Args&&... args);

// Calls `target.<name>(args...)` where the last arguments go by the names in `keywords`, a tuple of
// interned texts.
template <typename... Args>
py::object call_method_with_keywords(py::handle target, py::handle name, py::handle keywords,
                                     Args&&... args);

// Calls `target.<name>(args...)` if the target has that attribute, as `hasattr` tells; a null
// object when it has not. Neither answer raises or binds a method on the way.
template <typename... Args>
py::object call_method_if_present(py::handle target, py::handle name, Args&&... args);

// `target[key] = value` as the Python statement makes it: besides the variable it was read from,
// the statement holds the target for the length of the call, as the evaluation stack does. pandas
// reads that count to tell a table of the caller's from a temporary (its chained-assignment
// warning), so the call from C holds the same.
void set_item(py::handle target, py::handle key, py::handle value);

// The host's rich comparison, returning the comparison's own result object.
py::object compare(py::handle a, py::handle b, int op);

// The truth value of the host's comparison.
bool holds(py::handle a, py::handle b, int op);

// `needle in haystack` for two host objects.
bool contains(py::handle haystack, py::handle needle);

// One console line: the host's `print`, looked up as Python code looks it up (a module global, then
// the built-in), called with the one object given. Named apart from pybind11's own `print`, which
// argument-dependent look-up would otherwise pick for pybind11 objects.
void print_line(py::handle line);

// Names every subsystem looks up on the host.
#define VANTREL_HOST_NAMES(X)       \
    X(name_time, "time")            \
    X(name_sleep, "sleep")          \
    X(name_datetime, "datetime")    \
    X(name_now, "now")              \
    X(name_strip, "strip")          \
    X(name_print, "print")          \
    X(name_os, "os")

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

namespace detail {

PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargs);
PyObject* vectorcall_method(PyObject* name, PyObject* const* args, std::size_t nargs,
                            PyObject* keywords = nullptr);

// True when `name` is a plain function of the target's type and attribute look-up on the target
// is the generic one: then the target has it for certain, and calling it needs no bound method.
bool has_plain_method(PyObject* target, PyObject* name);

// The attribute `name` of `target`, or a null object when it has none; absence raises nothing.
py::object optional_attr(py::handle target, py::handle name);

// A call's result as an owned object; a failed call carries the host's exception.
inline py::object owned(PyObject* result) {
    if (!result) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

template <typename... Args>
py::object call(py::handle callable, Args&&... args) {
    // One spare slot in front lets a bound callee put its `self` there instead of copying.
    PyObject* slots[] = {nullptr, py::handle(args).ptr()...};
    return detail::owned(detail::vectorcall(callable.ptr(), slots + 1, sizeof...(Args)));
}

template <typename... Args>
py::object call_method(py::handle target, py::handle name, Args&&... args) {
    PyObject* slots[] = {target.ptr(), py::handle(args).ptr()...};
    return detail::owned(detail::vectorcall_method(name.ptr(), slots, 1 + sizeof...(Args)));
}

template <typename... Args>
py::object call_method_with_keywords(py::handle target, py::handle name, py::handle keywords,
                                     Args&&... args) {
    PyObject* slots[] = {target.ptr(), py::handle(args).ptr()...};
    const std::size_t positional = 1 + sizeof...(Args) - PyTuple_GET_SIZE(keywords.ptr());
    return detail::owned(detail::vectorcall_method(name.ptr(), slots, positional, keywords.ptr()));
}

template <typename... Args>
py::object call_method_if_present(py::handle target, py::handle name, Args&&... args) {
    if (detail::has_plain_method(target.ptr(), name.ptr())) {
        return call_method(target, name, std::forward<Args>(args)...);
    }
    py::object found = detail::optional_attr(target, name);
    return found ? call(found, std::forward<Args>(args)...) : py::object();
}

}  // namespace vantrel

