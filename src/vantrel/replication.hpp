// Listing replication: `get_res`, the plan and its passes over the table, the on-sale search with its
// page walk, the listing editor with publishing, and the draft cleanup after the last pass.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_replication_constants();

extern const FunctionDef get_res_function;

// Before a resumed run's passes: the copies the trace beside the result workbook names, settled
// from the trace, from the tab of the operator's Chrome where the last publish led, or, where that
// cannot tell, from the operator's answer at the console. Each copy is found by its row and
// title. Copies that went out are counted and saved; afterwards no trace is left. Where a copy
// cannot be settled, nothing is changed and the error says what the operator can do. Never
// publishes anything.
void settle_in_flight(py::handle driver, py::handle df, py::handle res_path, Lines& line);
// What the on-sale search of one row met, up to where a run presses a copy button or marks the
// row. `pages` counts the result pages walked: the page of the card found, or every page.
struct SearchOutcome {
    enum Kind { found, not_found, no_results, results_stuck } kind = not_found;
    long pages = 0;
};

// A run's on-sale search for one row, with its steps, prints, sleeps and step lines, stopped at
// the first card whose title equals `name`, before its copy button is pressed; it never presses a
// button and never writes the table. A check gives up where the results never finish loading.
SearchOutcome search_listing(py::handle driver, py::handle df, py::handle index, py::handle name,
                             py::handle added, Lines& line);

// Opens the draft listings page as the draft cleanup does and returns the entries it would delete,
// an empty list when the page lists none.
py::object draft_entries(py::handle driver, Lines& line);

// A run's fixed sleeps per stage, in seconds, from the workflow's own constants.
struct StagePacing {
    double search;       // opening the on-sale page and submitting the search
    double page_turn;    // each result page after the first
    double marked;       // after a row is found missing
    double copy;         // from the copy button to a counted copy, the image wait aside
    double drafts_page;  // opening the draft listings page
    double draft;        // each draft deleted
};
StagePacing stage_pacing();

}  // namespace vantrel
