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

}  // namespace vantrel
