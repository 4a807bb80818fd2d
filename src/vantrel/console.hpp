// The operator's console while a module function runs: the questions that `main`, `resume` and
// `check` ask, the Ctrl+C of a running workflow with its stop on request, the window's title that
// shows how far a run is, and the lines of our own that speak to whoever watches a run.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_console_constants();

// Keeps the built-in `input` as found at start-up; every question goes through it.
void keep_input(py::object input);

// Answers a command took from its arguments. While a `GivenAnswers` lives, on its thread, a
// question whose answer it holds is not asked; a null answer is asked as before.
struct GivenAnswers {
    py::object workbook, image_delay, port;

    GivenAnswers();
    ~GivenAnswers();
    GivenAnswers(const GivenAnswers&) = delete;
    GivenAnswers& operator=(const GivenAnswers&) = delete;

private:
    GivenAnswers* outer_;
};

// The questions, each answer as the launch takes it: the workbooks' paths and Chrome's port
// without the blanks around them, the image delay a whole number of seconds, 0 or more. Closed
// input raises EOFError, as `input` does.
py::object ask_workbook_path();
py::object ask_result_workbook_path();
py::object ask_image_delay();
py::object ask_chrome_port();

// A yes or no, asked again until it is one of them.
bool ask_yes_or_no(py::handle prompt);

// "40 s", "3 min 5 s", "1 h 2 min": a stretch of time as the console says it.
py::str duration_text(double seconds);

// Seconds on a steady clock: what a run's own durations are measured with, whatever the host has
// made of the module's `time`.
double steady_seconds();

// Writes the window's title: the console window's on Windows; elsewhere the terminal's, only where
// standard output is a terminal, so that nothing reaches output sent to a file or a pipe. A title
// that cannot be written leaves the run as it was.
void show_title(py::handle text);

// How far a workflow is, in the window's title: "vantrel 3/7 copies · <row> · about 2 min 40 s
// left". The time left starts from the stages' sleeps per item; once an item is done, it is the
// time the done items took on average.
class TitleProgress {
public:
    // `target` items to do; each takes `per_item` seconds by the stages' sleeps, and `ending`
    // seconds follow the last one.
    TitleProgress(const char* command, const char* unit, long target, double per_item, double ending);

    void working_on(py::handle name, long remaining);  // an item begins; `remaining` left to do with it
    void done_one(long remaining);                     // an item is done, `remaining` left after it
    void waiting(py::handle what);                     // the workflow waits for `what`
    void ended(py::handle how);                        // "<command> finished · 7/7 copies"

    long done() const { return done_; }
    long target() const { return target_; }
    long remaining() const { return remaining_; }
    double seconds_left() const;
    py::str left_text() const { return duration_text(seconds_left()); }

private:
    void show(py::handle tail) const;

    py::str command_, unit_;
    long target_, done_ = 0, remaining_;
    double per_item_, ending_, started_, last_done_;
    py::object name_;
};

// What a console command learns of the run it starts, for the summary line at the run's end. While
// a `RunRecord` lives, on its thread, the run fills it in; a workflow that a host calls has none.
struct RunRecord {
    RunRecord();
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // The record of the command on this thread; null where a host called the workflow.
    static RunRecord* current();

    bool pause = true;             // the closing pause after the finish line
    bool passes_began = false;     // the table and the result workbook below are the run's
    bool finished = false;         // the finish line was printed
    py::object df, res_path;
    long copies = 0;               // copies this run published
    double began = steady_seconds();

    // Prints the summary line and logs it, once: after the finish line, or after the error or
    // stop that ended the passes.
    void summarise();

private:
    RunRecord* outer_;
    bool summarised_ = false;
};

// KeyboardInterrupt, as Python's own handler raises it.
[[noreturn]] void raise_keyboard_interrupt();

// The console's Ctrl+C while a workflow runs. A single Ctrl+C raises KeyboardInterrupt as Python's
// own handler does, so it ends the row it lands in (or the run, between passes), except while a
// copy's publish is in flight: then it is held, and the row goes on to its saved outcome. A second
// Ctrl+C within five seconds of the first asks the run to stop at the next row's end.
//
// Only Python's default handler is replaced, and only for the life of the object; a host that
// handles Ctrl+C itself, or a workflow off the main thread, keeps what it has.
class ConsoleStops {
public:
    ConsoleStops();
    ~ConsoleStops();
    ConsoleStops(const ConsoleStops&) = delete;
    ConsoleStops& operator=(const ConsoleStops&) = delete;

    // From `hold` until `stop_holding`, an interrupt is noted instead of raised.
    void hold() noexcept { holding_ = true; held_ = false; }
    void stop_holding() noexcept { holding_ = false; }
    bool held() const noexcept { return held_; }

    bool stop_requested() const noexcept { return stop_requested_; }

    // Called by the installed handler, on the thread that runs the workflow.
    void interrupted();

private:
    py::object previous_;  // the handler replaced; null when none was
    ConsoleStops* outer_ = nullptr;
    bool holding_ = false, held_ = false, pressed_ = false, stop_requested_ = false;
    double last_press_ = 0;
};

}  // namespace vantrel
