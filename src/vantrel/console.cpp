// The console: its questions, and the Ctrl+C of a running workflow.

#include "console.hpp"

#include <chrono>

namespace vantrel {
namespace {

void on_interrupt(py::handle, py::handle);

// The console's questions, and the handler that stands for Python's while a workflow runs.
struct ConsoleTexts {
    // The questions, as the operator reads them.
    py::handle prompt_workbook = intern("commodity.xlsx路径：");
    py::handle prompt_image_delay = intern("等待图片延迟时间（秒，最小2）：");
    py::handle prompt_port = intern("谷歌端口号：");
    py::handle prompt_result_workbook = intern("res.xlsx路径：");
    py::handle no_seconds = keep(py::int_(0));
    py::handle interrupt_handler = keep(py::cpp_function(on_interrupt));  // ConsoleStops' handler of SIGINT
};
const ConsoleTexts* console = nullptr;

py::handle builtin_input;

// One question at the console, the answer without the blanks around it.
py::object ask_stripped(py::handle prompt) { return call_method(call(builtin_input, prompt), host->name_strip); }

ConsoleStops* active_stops = nullptr;
constexpr double kSecondPressWithin = 5.0;  // seconds from the first Ctrl+C to the one that stops

double seconds_now() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// The handler installed for SIGINT while a workflow runs; with no workflow of ours in charge it
// is Python's default.
void on_interrupt(py::handle, py::handle) {
    if (!active_stops) {
        raise_keyboard_interrupt();
    }
    active_stops->interrupted();
}

}  // namespace

void create_console_constants() {
    static const ConsoleTexts texts;
    console = &texts;
}

void keep_input(py::object input) { builtin_input = input.release(); }

py::object ask_workbook_path() { return ask_stripped(console->prompt_workbook); }

py::object ask_result_workbook_path() { return ask_stripped(console->prompt_result_workbook); }

py::object ask_chrome_port() { return ask_stripped(console->prompt_port); }

py::object ask_image_delay() {
    // `int` itself takes blanks around the number.
    py::object pic_wait = call(global(host->name_int), call(builtin_input, console->prompt_image_delay));
    // A negative delay would make every row fail at its image wait, pass after pass, for ever.
    if (compare_true(pic_wait, console->no_seconds, Py_LT)) {
        throw py::value_error("image delay must be 0 or more seconds, got " +
                              py::str(pic_wait).cast<std::string>());
    }
    return pic_wait;
}

bool ask_yes_or_no(py::handle prompt) {
    for (;;) {
        py::object answer = call_method(ask_stripped(prompt), host->name_lower);
        for (const char* yes : {"y", "yes", "是"}) {
            if (compare_true(answer, py::str(yes), Py_EQ)) return true;
        }
        for (const char* no : {"n", "no", "否"}) {
            if (compare_true(answer, py::str(no), Py_EQ)) return false;
        }
    }
}

void raise_keyboard_interrupt() {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

ConsoleStops::ConsoleStops() {
    py::object signal = import(host->name_signal);
    py::object sigint = signal.attr(host->name_sigint);
    py::object current = call_method(signal, host->name_getsignal, sigint);
    if (!current.is(signal.attr(host->name_default_int_handler))) {
        return;  // the host's own handling of Ctrl+C stays as it is
    }
    try {
        previous_ = call_method(signal, host->name_signal, sigint, console->interrupt_handler);
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
        py::object signal = import(host->name_signal);
        call_method(signal, host->name_signal, signal.attr(host->name_sigint), previous_);
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

}  // namespace vantrel
