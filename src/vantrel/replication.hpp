// Listing replication: `get_res`, the plan and its passes over the table, the on-sale search with its
// page walk, the listing editor with publishing, and the draft cleanup after the last pass.
#pragma once

#include "host.hpp"

#include <functional>

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
// What the on-sale search of one row met. `pages` counts the result pages walked: the page where
// the search ended at a card, or every page.
struct SearchOutcome {
    enum Kind { found, not_found, no_results, results_stuck } kind = not_found;
    long pages = 0;
};

// What the search does at a card whose title equals the row's while the on-sale page shows: a run
// presses its copy button and goes on to the next card of that title while the page stays; a check
// ends the search there.
enum class AtCard { next_card, stop_cards, found };
using CardAction = std::function<AtCard(py::handle card)>;

// The on-sale search of one row as a run makes it, with its steps, prints, sleeps and step lines:
// the on-sale page, the search for `name`, the wait for its results, then the result pages card by
// card. It writes nothing; the caller books the outcome. `found`: `at_card` ended the search, or
// the browser left the on-sale page. Results that never finish loading are polled for ever, or,
// with `give_up_after` above 0, until that many polls have passed. `at_onsale_page`, when given,
// runs once the on-sale page is open, before the search.
SearchOutcome search_listing(py::handle driver, py::handle name, Lines& line, const CardAction& at_card,
                             long give_up_after = 0, const std::function<void()>& at_onsale_page = {});

// Opens the draft listings page as the draft cleanup does and returns the entries it would delete,
// an empty list when the page lists none.
py::object draft_entries(py::handle driver, Lines& line);

// A run's own reading of its settings, VANTREL_LOGIN_WAIT (minutes) and VANTREL_REST
// ("N,MINUTES"): a value that says nothing sound raises ValueError naming `name`. The commands
// check the arguments that stand for them with these.
void check_login_wait(py::handle name, py::handle text);
void check_rest(py::handle name, py::handle text);

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
