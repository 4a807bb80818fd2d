// Listing replication: `get_res`, the plan and its passes over the table, the on-sale search with its
// page walk, the listing editor with publishing, and the draft cleanup after the last pass.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_replication_constants();

extern const FunctionDef get_res_function;

// Before a resumed run's passes: the copy a stop may have left in flight, settled from the tab of
// the operator's Chrome where the publish led, or, where that cannot tell, from the operator's
// answer to `ask` (the host's `input`). A copy that went out is counted and saved; afterwards no
// record is left. Never publishes anything.
void settle_in_flight(py::handle driver, py::handle df, py::handle res_path, py::handle ask,
                      Lines& line);

}  // namespace vantrel
