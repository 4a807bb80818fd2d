// Listing replication: `get_res`, the plan and its passes over the table, the on-sale search with its
// page walk, the listing editor with publishing, and the draft cleanup after the last pass.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_replication_constants();

extern const FunctionDef get_res_function;

}  // namespace vantrel
