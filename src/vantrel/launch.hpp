// Launch and run control: the start-up body that binds the module's globals, the interactive
// launch `main` and the run driver `start`.
#pragma once

#include "host.hpp"

namespace vantrel {

// Creates every subsystem's constants; once per process.
void create_constants();

// Keeps the built-in `input` as found at start-up; `main` asks its questions through it.
void keep_input(py::object input);

// What the preflight check shares with `main` and `start`: main's first and third questions (the
// answer stripped), the driver's name, and the implicit wait a run works with.
py::object ask_workbook_path();
py::object ask_chrome_port();
py::handle chromedriver_path();
py::handle run_implicit_wait();

// Binds the globals in their order; `line` follows the binding so a failure names its line.
void run_module_body(py::module_ module, int& line);

// The console's Ctrl+C while a workflow runs. A single Ctrl+C raises KeyboardInterrupt as Python's
// own handler does, so it ends the row it lands in (or the run, between passes), except while a
// copy's publish is in flight: then it is held, and the row goes on to its saved outcome. A second
// Ctrl+C within five seconds of the first asks the run to stop at the next row's end.
//
// Only Python's default handler is replaced, and only for the life of the object; a host that
// handles Ctrl+C itself, or a workflow off the main thread, keeps what it has.
// KeyboardInterrupt, as Python's own handler raises it.
[[noreturn]] void raise_keyboard_interrupt();

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
