// Start-up of the module, the operator's interactive launch and the driver of one run.

#include "launch.hpp"

#include "browser.hpp"
#include "check.hpp"
#include "replication.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <chrono>
#include <iterator>

namespace vantrel {
namespace {

// The launch: console prompts, the run's fixed arguments, its begin and finish lines, its pause and
// the names of Ctrl+C's handling.
#define VANTREL_LAUNCH_CONSTANTS(X)                                                 \
    X(prompt_workbook, "commodity.xlsx路径：")                                   \
    X(prompt_image_delay, "等待图片延迟时间（秒，最小2）：")                     \
    X(prompt_port, "谷歌端口号：")                                               \
    X(prompt_result_workbook, "res.xlsx路径：")                                  \
    X(name_int, "int")                                                          \
    X(name_strftime, "strftime")                                                \
    X(stamp_format, "%Y%m%d %H-%M-%S")                                          \
    X(result_suffix, "res.xlsx")                                                \
    X(s_date, "20190101")                                                       \
    X(e_date, "20210909")                                                       \
    X(chromedriver_path, VANTREL_CHROMEDRIVER)                                  \
    X(begin_text, "Begin-----------------------")                               \
    X(finish_text, "Finish-----------------------共耗时")                       \
    X(name_signal, "signal")                                                    \
    X(name_sigint, "SIGINT")                                                    \
    X(name_getsignal, "getsignal")                                              \
    X(name_default_int_handler, "default_int_handler")

#if defined(_WIN32)
#define VANTREL_CHROMEDRIVER "chromedriver.exe"
#else
#define VANTREL_CHROMEDRIVER "chromedriver"
#endif

struct LaunchConstants {
    VANTREL_LAUNCH_CONSTANTS(VANTREL_TEXT_FIELD)
    py::handle result_stem;            // the workbook path without its last five characters
    py::handle implicit_wait_seconds;  // the whole workflow's implicit wait
    py::handle pause_seconds;          // the closing pause of a run
    py::handle interrupt_handler;      // ConsoleStops' handler of SIGINT
};
LaunchConstants launch;

py::handle builtin_input;

void on_interrupt(py::handle, py::handle);

// --- main -----------------------------------------------------------------------------------------

const char* const main_locals[] = {"file_path",         "pic_wait", "chrome_port", "df",
                                   "key_words",         "domain",   "s_date",      "e_date",
                                   "chromedriver_path", "i",        "a_list_num",  "start_time"};

// A negative delay would make every row fail at its image wait, pass after pass, for ever.
void refuse_negative_delay(py::handle pic_wait) {
    if (compare_true(pic_wait, sheet.zero, Py_LT)) {
        throw py::value_error("image delay must be 0 or more seconds, got " +
                              py::str(pic_wait).cast<std::string>());
    }
}

// One question at the console, the answer without the blanks around it.
py::object ask_stripped(py::handle prompt) { return call_method(call(builtin_input, prompt), host.name_strip); }

// The image delay, a whole number of seconds, 0 or more: `int` itself takes blanks around it.
py::object ask_image_delay() {
    py::object pic_wait = call(global(launch.name_int), call(builtin_input, launch.prompt_image_delay));
    refuse_negative_delay(pic_wait);
    return pic_wait;
}

py::object main_body(const py::object*, Lines& line) {
               runlog::attach_file();
    line(279); py::object file_path = ask_stripped(launch.prompt_workbook);
    line(280); py::object pic_wait = ask_image_delay();
    line(281); py::object chrome_port = ask_stripped(launch.prompt_port);
               runlog::info(runlog::In::main, line, "launch: commodity workbook {!r}, image wait {} s, Chrome port {!r}", file_path, pic_wait, chrome_port);
    line(282); py::object df = call_method(global(sheet.name_pd), sheet.name_read_excel, file_path);
    line(284); set_item(df, sheet.column_added, sheet.zero);
    line(285); set_item(df, sheet.column_sign, sheet.zero);
    line(288); py::object key_words = df[sheet.column_name].attr(sheet.name_values);
    line(292); py::list domain;
               domain.append(onsale_address());
    line(303); py::object start_time = now();
    line(304); py::object start = global(host.name_start);
               py::object table = call_method(df, sheet.name_copy);
               py::object res_path = py::object(file_path[launch.result_stem]) +
                                     call_method(start_time, launch.name_strftime, launch.stamp_format) +
                                     launch.result_suffix;
               call(start, pic_wait, launch.s_date, launch.e_date, table, key_words, res_path,
                    sheet.zero, domain[0], launch.chromedriver_path, chrome_port);
    return py::none();
}

const FunctionDef main_function = {
    "main", "vantrel.main", 277, nullptr, 0, main_locals, std::size(main_locals),
    main_body,
};

// --- start ----------------------------------------------------------------------------------------

const char* const start_params[] = {"pic_wait",   "s_date", "e_date",           "df",
                                    "key_words",  "res_path", "a_list_num",     "domain",
                                    "chromedriver_path", "chrome_port"};
const char* const start_locals[] = {"start_time", "start_url", "driver", "handles", "end_time"};

py::object start_body(const py::object* args, Lines& line) {
    const py::object& pic_wait = args[0];
    const py::object& s_date = args[1];
    const py::object& e_date = args[2];
    const py::object& df = args[3];
    const py::object& key_words = args[4];
    const py::object& res_path = args[5];
    const py::object& a_list_num = args[6];
    const py::object& domain = args[7];
    const py::object& chromedriver_path = args[8];
    const py::object& chrome_port = args[9];

               runlog::attach_file();
    line(204); py::object start_time = now();
    line(205); print_line(py::make_tuple(start_time, launch.begin_text));
               runlog::info(runlog::In::start, line, "begin: result workbook {!r}", res_path);
    line(206); const py::object& start_url = domain;
    line(207); py::object driver = call(global(host.name_init), start_url, domain, chromedriver_path, chrome_port);
    line(208); call_method(driver, page.name_implicitly_wait, launch.implicit_wait_seconds);
    line(209); py::object handles = driver.attr(page.name_window_handles);
    line(210); call(global(host.name_get_res), pic_wait, start_url, s_date, e_date, df, key_words,
                                res_path, a_list_num, domain, driver, handles);
    line(212); py::object end_time = now();
    line(213); py::object took = end_time - start_time;
               print_line(py::make_tuple(end_time, launch.finish_text, took));
               runlog::info(runlog::In::start, line, "finish: took {}", took);
    line(214); sleep(launch.pause_seconds);
    return py::none();
}

const FunctionDef start_function = {
    "start", "vantrel.start", 202,
    start_params, std::size(start_params),
    start_locals, std::size(start_locals),
    start_body,
};

// --- resume ---------------------------------------------------------------------------------------

const char* const resume_locals[] = {"res_path", "pic_wait",   "chrome_port", "df",
                                     "key_words", "domain",    "start_time",  "driver",
                                     "handles",  "end_time"};

// A result workbook carries the run's progress; a commodity workbook has none to go on from.
void require_progress_columns(py::handle df, py::handle res_path) {
    py::object columns = df.attr("columns");
    for (py::handle column : {sheet.column_name, sheet.column_amount, sheet.column_added, sheet.column_sign}) {
        if (!contains(columns, column)) {
            throw py::value_error(
                py::str("{!r} is not the result workbook of a run: it has no column {!r}")
                    .format(res_path, column)
                    .cast<std::string>());
        }
    }
}

// Goes on with a stopped run: its result workbook as it stands, the copy a stop may have left in
// flight settled first, then the passes, the draft cleanup and the closing pause of a run, saving
// into the same workbook.
py::object resume_body(const py::object*, Lines& line) {
               runlog::attach_file();
    line(402); py::object res_path = ask_stripped(launch.prompt_result_workbook);
    line(403); py::object pic_wait = ask_image_delay();
    line(404); py::object chrome_port = ask_stripped(launch.prompt_port);
               runlog::info(runlog::In::resume, line, "resume: result workbook {!r}, image wait {} s, Chrome port {!r}", res_path, pic_wait, chrome_port);
    line(405); py::object df = call_method(global(sheet.name_pd), sheet.name_read_excel, res_path);
    line(406); require_progress_columns(df, res_path);
    line(407); py::object key_words = df[sheet.column_name].attr(sheet.name_values);
    line(408); py::object domain = onsale_address();
    line(410); py::object start_time = now();
    line(411); print_line(py::make_tuple(start_time, launch.begin_text));
               runlog::info(runlog::In::start, line, "begin: result workbook {!r}", res_path);
    line(412); Lines attach_lines(line.current());
               py::object driver = attach_to_chrome(launch.chromedriver_path, chrome_port, attach_lines);
    line(413); settle_in_flight(driver, df, res_path, builtin_input, line);
    line(414); call_method(driver, host.name_get, domain);
    line(415); call_method(driver, page.name_implicitly_wait, launch.implicit_wait_seconds);
    line(416); py::object handles = driver.attr(page.name_window_handles);
    line(417); call(global(host.name_get_res), pic_wait, domain, launch.s_date, launch.e_date, df,
                    key_words, res_path, sheet.zero, domain, driver, handles);
    line(418); py::object end_time = now();
    line(419); py::object took = end_time - start_time;
               print_line(py::make_tuple(end_time, launch.finish_text, took));
               runlog::info(runlog::In::resume, line, "finish: took {}", took);
    line(420); sleep(launch.pause_seconds);
    return py::none();
}

const FunctionDef resume_function = {
    "resume", "vantrel.resume", 400, nullptr, 0, resume_locals, std::size(resume_locals),
    resume_body,
};

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

}  // namespace

void create_constants() {
    static bool created = false;
    if (created) {
        return;
    }
    create_host_names();
    create_browser_constants();
    create_sheet_constants();
    create_replication_constants();
    create_runlog_constants();
    create_check_constants();
    LaunchConstants& table = launch;
    VANTREL_LAUNCH_CONSTANTS(VANTREL_TEXT_CREATE)
    VANTREL_FLOAT_CREATE(implicit_wait_seconds, 0.3)
    VANTREL_INT_CREATE(pause_seconds, 120)
    launch.interrupt_handler = keep(py::cpp_function(on_interrupt));
    launch.result_stem = keep(py::reinterpret_steal<py::object>(
        PySlice_New(nullptr, py::int_(-5).ptr(), nullptr)));
    created = true;
}

void keep_input(py::object input) { builtin_input = input.release(); }

// --- the console's Ctrl+C ------------------------------------------------------------------------

namespace {

ConsoleStops* active_stops = nullptr;
constexpr double kSecondPressWithin = 5.0;  // seconds from the first Ctrl+C to the one that stops

double seconds_now() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

}  // namespace

void raise_keyboard_interrupt() {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

ConsoleStops::ConsoleStops() {
    py::object signal = import(launch.name_signal);
    py::object sigint = signal.attr(launch.name_sigint);
    py::object current = call_method(signal, launch.name_getsignal, sigint);
    if (!current.is(signal.attr(launch.name_default_int_handler))) {
        return;  // the host's own handling of Ctrl+C stays as it is
    }
    try {
        previous_ = call_method(signal, launch.name_signal, sigint, launch.interrupt_handler);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return;  // not the main thread: no Ctrl+C reaches this workflow
    }
    outer_ = active_stops;
    active_stops = this;
}

ConsoleStops::~ConsoleStops() {
    if (!previous_) {
        return;
    }
    active_stops = outer_;
    try {
        py::object signal = import(launch.name_signal);
        call_method(signal, launch.name_signal, signal.attr(launch.name_sigint), previous_);
    } catch (py::error_already_set&) {
        // Nothing to report it to on the way out; the handler left in place raises as Python's.
    }
}

void ConsoleStops::interrupted() {
    const double now = seconds_now();
    if (pressed_ && now - last_press_ <= kSecondPressWithin) {
        stop_requested_ = true;
    }
    pressed_ = true;
    last_press_ = now;
    if (holding_) {
        held_ = true;
        return;
    }
    raise_keyboard_interrupt();
}

namespace {

// The handler installed for SIGINT while a workflow runs; with no workflow of ours in charge it
// is Python's default.
void on_interrupt(py::handle, py::handle) {
    if (!active_stops) {
        raise_keyboard_interrupt();
    }
    active_stops->interrupted();
}

}  // namespace

py::object ask_workbook_path() { return ask_stripped(launch.prompt_workbook); }

py::object ask_chrome_port() { return ask_stripped(launch.prompt_port); }

py::handle chromedriver_path() { return launch.chromedriver_path; }

py::handle run_implicit_wait() { return launch.implicit_wait_seconds; }

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
    line = 1;   module.attr("__test__") = py::dict();
}

}  // namespace vantrel
