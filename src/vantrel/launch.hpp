// Launch and run control: the start-up body that binds the module's globals, the interactive
// launch `main` and the run driver `start`.
#pragma once

#include "host.hpp"

namespace vantrel {

// Creates every subsystem's constants; once per process.
void create_constants();

// Keeps the built-in `input` as found at start-up; `main` asks its questions through it.
void keep_input(py::object input);

// Binds the globals in their order; `line` follows the binding so a failure names its line.
void run_module_body(py::module_ module, int& line);

}  // namespace vantrel
