// The host-object layer: the module's own function type with its argument binding, traceback
// entries, process-lifetime constants and the name look-ups that every workflow function shares.
// Everything else in the module talks to the host through pybind11's object layer.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <utility>

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
    std::size_t optional_count = 0;  // the last parameters of `params` that may be left out: None
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

// The names of the host's calls, made once at start-up: the modules, functions, methods and
// attributes the module looks up, and the text encoding of the files it writes.
struct HostNames {
    // every unit
    py::handle name_time = intern("time");
    py::handle name_sleep = intern("sleep");
    py::handle name_datetime = intern("datetime");
    py::handle name_now = intern("now");
    py::handle name_strip = intern("strip");
    py::handle name_print = intern("print");
    py::handle name_os = intern("os");
    py::handle name_builtins = intern("__builtins__");
    py::handle name_environ = intern("environ");
    py::handle name_get = intern("get");
    py::handle name_path = intern("path");
    py::handle name_split = intern("split");
    py::handle name_join = intern("join");
    py::handle name_lower = intern("lower");
    py::handle name_close = intern("close");
    py::handle name_itertuples = intern("itertuples");
    py::handle name_init = intern("init");
    py::handle name_start = intern("start");
    py::handle name_get_res = intern("get_res");
    py::handle name_check = intern("check");
    py::handle text_encoding = intern("utf-8");
    // the pages' elements and the driver
    py::handle name_find_element_by_xpath = intern("find_element_by_xpath");
    py::handle name_find_elements_by_xpath = intern("find_elements_by_xpath");
    py::handle name_find_element = intern("find_element");
    py::handle name_find_elements = intern("find_elements");
    py::handle name_refresh = intern("refresh");
    py::handle name_page_source = intern("page_source");
    py::handle name_current_url = intern("current_url");
    py::handle name_execute_script = intern("execute_script");
    py::handle name_click = intern("click");
    py::handle name_clear = intern("clear");
    py::handle name_send_keys = intern("send_keys");
    py::handle name_text = intern("text");
    py::handle name_get_attribute = intern("get_attribute");
    py::handle name_is_selected = intern("is_selected");
    py::handle name_select_by_visible_text = intern("select_by_visible_text");
    py::handle name_implicitly_wait = intern("implicitly_wait");
    py::handle name_window_handles = intern("window_handles");
    py::handle name_select = intern("Select");
    // the browser's attachment
    py::handle name_options = intern("Options");
    py::handle name_webdriver = intern("webdriver");
    py::handle name_chrome = intern("Chrome");
    py::handle name_add_argument = intern("add_argument");
    py::handle name_add_experimental_option = intern("add_experimental_option");
    py::handle name_dirname = intern("dirname");
    py::handle name_rstrip = intern("rstrip");
    py::handle name_shutil = intern("shutil");
    py::handle name_which = intern("which");
    py::handle name_name = intern("name");
    py::handle name_pathsep = intern("pathsep");
    py::handle name_splitext = intern("splitext");
    py::handle name_isfile = intern("isfile");
    py::handle name_inspect = intern("inspect");
    py::handle name_signature = intern("signature");
    py::handle name_parameters = intern("parameters");
    py::handle name_chrome_package = intern("chrome");
    py::handle name_service_module = intern("service");
    py::handle name_service = intern("Service");
    py::handle name_exceptions = intern("selenium.common.exceptions");
    py::handle name_invalid_session = intern("InvalidSessionIdException");
    py::handle name_no_such_window = intern("NoSuchWindowException");
    py::handle name_webdriver_exception = intern("WebDriverException");
    py::handle name_urllib3_exceptions = intern("urllib3.exceptions");
    py::handle name_max_retry = intern("MaxRetryError");
    py::handle name_new_connection = intern("NewConnectionError");
    py::handle name_protocol_error = intern("ProtocolError");
    // the sheet
    py::handle name_values = intern("values");
    py::handle name_copy = intern("copy");
    py::handle name_pd = intern("pd");
    py::handle name_read_excel = intern("read_excel");
    // the result workbook's files
    py::handle name_to_excel = intern("to_excel");
    py::handle name_loc = intern("loc");
    py::handle name_max = intern("max");
    py::handle name_getpid = intern("getpid");
    py::handle name_replace = intern("replace");
    py::handle name_exists = intern("exists");
    py::handle name_remove = intern("remove");
    py::handle name_fsdecode = intern("fsdecode");
    py::handle name_endswith = intern("endswith");
    py::handle name_numbers = intern("numbers");
    py::handle name_integral = intern("Integral");
    py::handle name_json = intern("json");
    py::handle name_dumps = intern("dumps");
    py::handle name_loads = intern("loads");
    py::handle name_io = intern("io");
    py::handle name_open = intern("open");
    py::handle name_write = intern("write");
    py::handle name_pathlib = intern("pathlib");
    py::handle name_path_class = intern("Path");
    py::handle name_read_text = intern("read_text");
    py::handle name_flush = intern("flush");
    py::handle name_fsync = intern("fsync");
    py::handle name_fileno = intern("fileno");
    py::handle name_splitlines = intern("splitlines");
    // the replication steps
    py::handle name_current_window_handle = intern("current_window_handle");
    py::handle name_switch_to = intern("switch_to");
    py::handle name_window = intern("window");
    // the run log
    py::handle name_logging = intern("logging");
    py::handle name_get_logger = intern("getLogger");
    py::handle name_is_enabled_for = intern("isEnabledFor");
    py::handle name_make_record = intern("makeRecord");
    py::handle name_handle = intern("handle");
    py::handle name_handlers = intern("handlers");
    py::handle name_file_handler = intern("FileHandler");
    py::handle name_formatter = intern("Formatter");
    py::handle name_set_formatter = intern("setFormatter");
    py::handle name_set_level = intern("setLevel");
    py::handle name_add_handler = intern("addHandler");
    py::handle name_abspath = intern("abspath");
    py::handle name_normcase = intern("normcase");
    py::handle name_strerror = intern("strerror");
    py::handle name_type_name = intern("__name__");
    py::handle name_threading = intern("threading");
    py::handle name_lock = intern("Lock");
    py::handle name_acquire = intern("acquire");
    py::handle name_release = intern("release");
    // the check
    py::handle name_attrs = intern("attrs");
    py::handle name_any = intern("any");
    py::handle name_index = intern("index");
    py::handle name_socket = intern("socket");
    py::handle name_create_connection = intern("create_connection");
    // the console and the launch
    py::handle name_int = intern("int");
    py::handle name_signal = intern("signal");
    py::handle name_sigint = intern("SIGINT");
    py::handle name_getsignal = intern("getsignal");
    py::handle name_default_int_handler = intern("default_int_handler");
    py::handle name_strftime = intern("strftime");
    py::handle name_columns = intern("columns");
    py::handle name_startswith = intern("startswith");
    py::handle name_kind = intern("kind");
    py::handle name_sys = intern("sys");
    py::handle name_stdout = intern("stdout");
    py::handle name_isatty = intern("isatty");
    py::handle name_argv = intern("argv");
    py::handle name_excepthook = intern("excepthook");
    py::handle name_code = intern("code");
    py::handle name_main = intern("main");
    py::handle name_resume = intern("resume");
    // the commands' arguments
    py::handle name_argparse = intern("argparse");
    py::handle name_argument_parser = intern("ArgumentParser");
    py::handle name_argument_type_error = intern("ArgumentTypeError");
    py::handle name_parse_args = intern("parse_args");
    py::handle name_pop = intern("pop");
    py::handle name_login_wait = intern("login_wait");
    py::handle name_rest = intern("rest");
    py::handle name_sorted = intern("sorted");
    py::handle name_listdir = intern("listdir");
    py::handle name_makedirs = intern("makedirs");
    py::handle name_chmod = intern("chmod");
    py::handle name_get_screenshot_as_png = intern("get_screenshot_as_png");
    py::handle name_end = intern("end");
    // starting Chrome
    py::handle name_subprocess = intern("subprocess");
    py::handle name_popen = intern("Popen");
    py::handle name_devnull = intern("DEVNULL");
    py::handle name_poll = intern("poll");
    py::handle name_expanduser = intern("expanduser");
    py::handle name_urllib_request = intern("urllib.request");
    py::handle name_urlopen = intern("urlopen");
    py::handle name_read = intern("read");
    py::handle name_chrome_path = intern("chrome");
    py::handle name_profile = intern("profile");
    py::handle name_chrome_arguments = intern("chrome_arguments");
    py::handle name_error = intern("error");
    py::handle name_workbook = intern("workbook");
    py::handle name_image_wait = intern("image_wait");
    py::handle name_port = intern("port");
    py::handle name_origin = intern("origin");
    py::handle name_log = intern("log");
    py::handle name_no_pause = intern("no_pause");
    py::handle os = keep(import(name_os));  // the host's `os`, imported once: addresses read its environment, saves its files
};
extern const HostNames* host;

void create_host_names();

// Sleeps through the module global `time`, as rebound by the host at that moment.
void sleep(py::handle seconds);

// `now` of the class `datetime` of the module global `datetime`.
py::object now();

}  // namespace vantrel

