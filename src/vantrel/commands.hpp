// The console commands: `run_cli`, `resume_cli` and `check_cli` take a command line, ask for what
// it leaves out, run `main`, `resume` or `check`, and return the command's exit status;
// `chrome_cli` starts Chrome for a run, apart from any run.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_command_constants();

extern const FunctionDef run_cli_function;
extern const FunctionDef resume_cli_function;
extern const FunctionDef check_cli_function;
extern const FunctionDef chrome_cli_function;

}  // namespace vantrel
