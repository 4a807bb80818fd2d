// The operator's console while a module function runs: the questions that `main`, `resume` and
// `check` ask, the Ctrl+C of a running workflow with its stop on request, and the lines of our own
// that speak to whoever watches a run.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_console_constants();

// Keeps the built-in `input` as found at start-up; every question goes through it.
void keep_input(py::object input);

// The questions, each answer as the launch takes it: the workbooks' paths and Chrome's port
// without the blanks around them, the image delay a whole number of seconds, 0 or more. Closed
// input raises EOFError, as `input` does.
py::object ask_workbook_path();
py::object ask_result_workbook_path();
py::object ask_image_delay();
py::object ask_chrome_port();

// A yes or no, asked again until it is one of them.
bool ask_yes_or_no(py::handle prompt);

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
