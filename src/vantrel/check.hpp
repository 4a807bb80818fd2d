// The preflight check `check`: what a run would meet, before it publishes anything.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_check_constants();

extern const FunctionDef check_function;

// Whether the table `check` returned lets a run start: every row a run would work was found, and
// the pages are as a run needs them.
bool check_ready(py::handle frame);

}  // namespace vantrel
