// The console: its questions, the Ctrl+C of a running workflow, the window's title and the run
// summary.

#include "console.hpp"

#include "runlog.hpp"
#include "sheet.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#ifdef _WIN32
#include <windows.h>
#endif

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
    // The window's title: the terminal's sequence around it, and the separator of its parts.
    py::handle title_start = intern("\x1b]0;");
    py::handle title_end = intern("\x07");
    py::handle title_separator = intern(" \u00b7 ");
    // The run summary's labels.
    py::handle summary_label = intern("run summary:");
    py::handle published_label = intern("copies published");
    py::handle done_label = intern("rows done");
    py::handle not_found_label = intern("not found (sign 1)");
    py::handle no_results_label = intern("no results (sign 2)");
    py::handle unfinished_label = intern("unfinished");
    py::handle took_label = intern("took");
    py::handle workbook_label = intern("result workbook");
};
const ConsoleTexts* console = nullptr;

py::handle builtin_input;

thread_local GivenAnswers* given_answers = nullptr;
thread_local RunRecord* run_record = nullptr;

// One question at the console, the answer without the blanks around it.
py::object ask_stripped(py::handle prompt) { return call_method(call(builtin_input, prompt), host->name_strip); }

// The answer a command was given, or a null object where it must be asked.
py::object given(py::object GivenAnswers::*answer) {
    return given_answers ? given_answers->*answer : py::object();
}

// A title holds no control character: a row's title could otherwise end the terminal's sequence
// early and write the rest into the console.
py::str printable(py::handle text) {
    std::u32string kept;
    for (char32_t c : py::str(text).cast<std::u32string>()) {
        kept.push_back(c < 0x20 || (c >= 0x7f && c < 0xa0) ? U' ' : c);
    }
    return py::str(py::cast(kept));
}

ConsoleStops* active_stops = nullptr;
constexpr double kSecondPressWithin = 5.0;  // seconds from the first Ctrl+C to the one that stops

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

GivenAnswers::GivenAnswers() : outer_(given_answers) { given_answers = this; }

GivenAnswers::~GivenAnswers() { given_answers = outer_; }

py::object ask_workbook_path() {
    if (py::object answer = given(&GivenAnswers::workbook)) return answer;
    return ask_stripped(console->prompt_workbook);
}

py::object ask_result_workbook_path() {
    if (py::object answer = given(&GivenAnswers::workbook)) return answer;
    return ask_stripped(console->prompt_result_workbook);
}

py::object ask_chrome_port() {
    if (py::object answer = given(&GivenAnswers::port)) return answer;
    return ask_stripped(console->prompt_port);
}

py::object ask_image_delay() {
    if (py::object answer = given(&GivenAnswers::image_delay)) return answer;
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

py::str duration_text(double seconds) {
    const long whole = std::lround(std::max(seconds, 0.0));
    if (whole >= 3600) return py::str("{} h {} min").format(whole / 3600, whole % 3600 / 60);
    if (whole >= 60) return py::str("{} min {} s").format(whole / 60, whole % 60);
    return py::str("{} s").format(whole);
}

double steady_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

void show_title(py::handle text) {
    try {
        py::str title = printable(text);
#ifdef _WIN32
        std::wstring wide = title.cast<std::wstring>();
        SetConsoleTitleW(wide.c_str());
#else
        py::object out = import(host->name_sys).attr(host->name_stdout);
        if (out.is_none() || !py::bool_(call_method(out, host->name_isatty))) return;
        call_method(out, host->name_write, console->title_start + title + console->title_end);
        call_method(out, host->name_flush);
#endif
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

TitleProgress::TitleProgress(const char* command, const char* unit, long target, double per_item, double ending)
    : command_(command), unit_(unit), target_(target), remaining_(target), per_item_(per_item),
      ending_(ending), started_(steady_seconds()), last_done_(started_) {}

double TitleProgress::seconds_left() const {
    double per_item = per_item_;
    double since = 0;
    if (done_ > 0) {
        per_item = (last_done_ - started_) / done_;
        since = steady_seconds() - last_done_;
    }
    return std::max(0.0, remaining_ * per_item + ending_ - since);
}

void TitleProgress::show(py::handle tail) const {
    py::str counts = py::str("{} {}/{} {}").format(command_, done_, target_, unit_);
    show_title(counts + console->title_separator + tail);
}

void TitleProgress::working_on(py::handle name, long remaining) {
    name_ = py::reinterpret_borrow<py::object>(name);
    remaining_ = remaining;
    show(py::str(name) + console->title_separator + py::str("about {} left").format(left_text()));
}

void TitleProgress::done_one(long remaining) {
    ++done_;
    last_done_ = steady_seconds();
    remaining_ = remaining;
    py::str tail = py::str("about {} left").format(left_text());
    show(name_ ? py::str(py::str(name_) + console->title_separator + tail) : tail);
}

void TitleProgress::waiting(py::handle what) {
    show(name_ ? py::str(py::str(name_) + console->title_separator + py::str(what)) : py::str(what));
}

void TitleProgress::ended(py::handle how) {
    show_title(py::str("{} {}").format(command_, how) + console->title_separator +
               py::str("{}/{} {}").format(done_, target_, unit_));
}

RunRecord::RunRecord() : outer_(run_record) { run_record = this; }

RunRecord::~RunRecord() { run_record = outer_; }

RunRecord* RunRecord::current() { return run_record; }

void RunRecord::summarise() {
    if (summarised_ || !passes_began) return;
    summarised_ = true;
    RowTally rows = tally_rows(df);
    py::str took = duration_text(steady_seconds() - began);
    print_line(py::make_tuple(console->summary_label, console->published_label, copies, console->done_label, rows.done,
                              console->not_found_label, rows.not_found, console->no_results_label, rows.no_results,
                              console->unfinished_label, rows.unfinished, console->took_label, took,
                              console->workbook_label, res_path));
    runlog::record(runlog::In::start, nullptr, [&]() -> py::object {
        return py::str("run summary: copies published {}, rows done {}, not found (sign 1) {}, no results (sign 2) {}, "
                       "unfinished {}, took {}, result workbook {!r}")
            .format(copies, rows.done, rows.not_found, rows.no_results, rows.unfinished, took, res_path);
    });
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
    const double now = steady_seconds();
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
