// The preflight check `check`: what a run would meet, before it publishes anything; and
// `check_cli`, the same as a command whose exit status says whether a run may start.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_check_constants();

extern const FunctionDef check_function;
extern const FunctionDef check_cli_function;

}  // namespace vantrel
