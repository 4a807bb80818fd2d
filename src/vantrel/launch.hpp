// Launch and run control: the interactive launch `main`, the run driver `start`, and `resume`,
// which goes on with a stopped run from its result workbook.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_launch_constants();

extern const FunctionDef main_function;
extern const FunctionDef start_function;
extern const FunctionDef resume_function;

}  // namespace vantrel
