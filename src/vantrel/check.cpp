// The preflight check. It asks as `main` does, attaches as a run does and runs each row's on-sale
// search as a run would, up to the copy button; then it counts the drafts the cleanup would delete.
// It presses no copy, publish, delete or confirm button and writes no workbook.

#include "check.hpp"

#include "browser.hpp"
#include "console.hpp"
#include "replication.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace vantrel {
namespace {

// The check's report: its labels and words, and where and how it looks.
struct CheckReport {
    py::handle loopback = intern("127.0.0.1");
    py::handle attr_drafts = intern("drafts");
    py::handle attr_pages = intern("pages");
    py::handle attr_problems = intern("problems");
    py::handle found_label = intern("found:");
    py::handle not_found_label = intern("not found, sign 1:");
    py::handle no_results_label = intern("no results, sign 2:");
    py::handle skipped_label = intern("skipped:");
    py::handle unchecked_label = intern("not checked:");
    py::handle rows_unchecked_label = intern("rows not checked:");
    py::handle problem_label = intern("not as expected:");
    py::handle drafts_label = intern("drafts to be deleted:");
    py::handle estimate_label = intern("run estimate:");
    py::handle verdict_label = intern("verdict:");
    py::handle page_word = intern("page");
    py::handle amount_word = intern("amount");
    py::handle copies_word = intern("copies");
    py::handle image_wait_word = intern("image wait");
    py::handle untitled = intern("(no title)");
    py::handle connect_timeout = keep(py::int_(3));  // seconds a Chrome gets to accept the connection
    py::handle image_wait = keep(py::int_(2));  // the image wait the estimate counts with: the least the prompt asks for
};
const CheckReport* check_report = nullptr;

constexpr long kFooterPollsBeforeGivingUp = 30;  // results that never finish loading: a run would wait for ever

// Whether anything accepts a connection on Chrome's debugging port; far quicker to say than
// ChromeDriver, which waits a minute for a browser that is not there.
bool chrome_answers(py::handle chrome_port) {
    try {
        py::object connection = call_method(import(host->name_socket), host->name_create_connection,
                                            py::make_tuple(check_report->loopback, chrome_port),
                                            check_report->connect_timeout);
        call_method(connection, host->name_close);
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

// "about 3 min 12 s"
py::object about(double seconds) { return py::str("about {}").format(duration_text(seconds)); }

// Copies a run makes of a found row if each one succeeds; 0 where `amount` is no number, which
// the caller counts as one per pass.
double wanted_copies(py::handle amount, py::handle added) {
    return static_cast<double>(std::max(copies_wanted(amount, added), 0L));
}

// How long a run would take, from the pages it walks and a run's own fixed sleeps.
struct RunEstimate {
    StagePacing pacing = stage_pacing();
    double seconds = 0, copies = 0, most_copies = 0;
    long copies_per_pass = 0;  // rows without a number in `amount`: a copy in every pass
    double seconds_per_pass = 0;

    // A row found on `pages` result pages, wanting `wanted` copies (0: one in every pass).
    void found(long pages, double wanted) {
        const double per_copy = walk(pages) + pacing.copy + check_report->image_wait.cast<double>();
        if (wanted > 0) {
            copies += wanted;
            seconds += wanted * per_copy;
            most_copies = std::max(most_copies, wanted);
        } else {
            ++copies_per_pass;
            seconds_per_pass += per_copy;
        }
    }

    // A row a run would mark after walking `pages` result pages.
    void marked(long pages) { seconds += walk(pages) + pacing.marked; }

    void drafts(long count) { seconds += pacing.drafts_page + pacing.draft * count; }

    // A row without a number in `amount` gets a copy in every pass, and the passes are as many as
    // the most copies any row wants.
    double total_seconds() const { return seconds + most_copies * seconds_per_pass; }
    long all_copies() const { return std::lround(copies + most_copies * copies_per_pass); }

private:
    double walk(long pages) const { return pacing.search + pacing.page_turn * (pages > 1 ? pages - 1 : 0); }
};

// One check: the table as a run would get it, the findings, and the report they make.
struct Check {
    Check(py::object table, Lines& line) : table(std::move(table)), line(line) {}

    py::object table;
    Lines& line;
    RunEstimate estimate;
    py::list rows;           // the report's line of each row
    py::list problems;       // whatever would keep a run from going as planned, rows included
    py::list page_problems;  // of those, Chrome's and the pages'
    py::dict pages;          // result pages walked, per row label; None where not searched to the end
    py::object drafts = py::none();
    py::list draft_titles;
    long not_found = 0, no_results = 0, unchecked = 0;
    bool searched = false;

    void problem(py::object text) {
        runlog::info(runlog::In::check, line, "check: not as expected: {}", text);
        problems.append(text);
        page_problems.append(text);
    }

    // Attaches as a run does; a null driver when Chrome, the attachment or the page is not what a
    // run needs.
    py::object attach(py::handle chrome_port) {
        line(328); if (!chrome_answers(chrome_port)) {
            problem(py::str("no Chrome answers at 127.0.0.1:{}: start Chrome with "
                            "--remote-debugging-port={} (step 1 of the guide)").format(chrome_port, chrome_port));
            return py::object();
        }
        py::object address = onsale_address();
        py::object driver, wrong_page;
        try {
            line(329); driver = call(global(host->name_init), address, address, chromedriver_path(), chrome_port);
            line(330); call_method(driver, host->name_implicitly_wait, run_implicit_wait());
            line(331); wrong_page = onsale_problem(driver, address);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            problem(py::str("attaching to Chrome at 127.0.0.1:{} or opening {} failed: {} (ChromeDriver: "
                            "step 1 of the guide; VANTREL_ORIGIN: step 2)")
                        .format(chrome_port, address, runlog::describe_error(error)));
            return py::object();
        }
        if (wrong_page) {
            problem(wrong_page);
            return py::object();
        }
        return driver;
    }

    // Each row a run would work, searched as the run searches it.
    void search_rows(py::handle driver) {
        searched = true;
        long remaining = tally_rows(table).unfinished;
        TitleProgress progress("vantrel-check", "rows", remaining, estimate.pacing.search, estimate.pacing.drafts_page);
        for (py::handle record : call_method(table, host->name_itertuples)) {
            py::object index = record.attr(sheet->field_index);
            py::object name = record.attr(sheet->column_name);
            py::object amount = record.attr(sheet->column_amount);
            py::object added = record.attr(sheet->column_added);
            py::object sign = record.attr(sheet->column_sign);
            try {
                line(332); if (compare_true(sign, sheet->zero, Py_NE) || compare_true(amount, added, Py_LE)) {
                    skipped(index, name, amount);
                } else {
                    progress.working_on(name, remaining);
                    --remaining;
                    searched_to(index, name, amount, added,
                                search_listing(driver, name, line, [](py::handle) { return AtCard::found; },
                                               kFooterPollsBeforeGivingUp));
                    progress.done_one(remaining);
                }
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_Exception)) throw;
                not_checked(index, name, py::str("{} at line {}").format(runlog::describe_error(error), line.current()));
            }
        }
    }

    void skipped(py::handle index, py::handle name, py::handle amount) {
        pages[index] = py::int_(0);
        rows.append(py::make_tuple(check_report->skipped_label, name, check_report->amount_word, plain_number(amount)));
        runlog::info(runlog::In::check, line, "check: row {!r} skipped, amount {}", name, amount);
    }

    void not_checked(py::handle index, py::handle name, py::object reason) {
        ++unchecked;
        pages[index] = py::none();
        rows.append(py::make_tuple(check_report->unchecked_label, name, reason));
        runlog::info(runlog::In::check, line, "check: row {!r} not checked: {}", name, reason);
        problems.append(py::str("row {!r} not checked: {}").format(name, reason));
    }

    void searched_to(py::handle index, py::handle name, py::handle amount, py::handle added,
                     const SearchOutcome& outcome) {
        switch (outcome.kind) {
        case SearchOutcome::found: {
            pages[index] = py::int_(outcome.pages);
            estimate.found(outcome.pages, wanted_copies(amount, added));
            rows.append(py::make_tuple(check_report->found_label, name, check_report->page_word, py::int_(outcome.pages)));
            runlog::info(runlog::In::check, line, "check: row {!r} found on result page {}", name, outcome.pages);
            return;
        }
        case SearchOutcome::not_found:
        case SearchOutcome::no_results: {
            const bool none = outcome.kind == SearchOutcome::no_results;
            py::handle code = none ? sheet->code_no_results : sheet->code_not_found;
            mark(table, index, code);
            pages[index] = py::int_(outcome.pages);
            estimate.marked(outcome.pages);
            none ? ++no_results : ++not_found;
            rows.append(py::make_tuple(none ? check_report->no_results_label : check_report->not_found_label, name));
            runlog::info(runlog::In::check, line, none ? "check: row {0!r}: no search results, a run writes sign 2"
                                                       : "check: row {0!r}: listing not found on {1} result pages, a run writes sign 1",
                         name, outcome.pages);
            return;
        }
        case SearchOutcome::results_stuck:
            not_checked(index, name, py::str("the search results never finished loading (the footer "
                                             "stayed shown, the page reloaded every poll)"));
            return;
        }
    }

    // The drafts the cleanup at the end of a run would delete, with their titles.
    void count_drafts(py::handle driver) {
        try {
            list_drafts(driver);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
            problem(py::str("the draft listings page {} could not be read: {} at line {}")
                        .format(draft_address(), runlog::describe_error(error), line.current()));
        }
    }

    void list_drafts(py::handle driver) {
        py::object entries = draft_entries(driver, line);
        line(333); py::object url = current_url(driver);
        if (!contains(url, page->draft_path)) {
            problem(py::str("the draft listings page {} did not open: the browser shows {}")
                        .format(draft_address(), url));
            return;
        }
        for (py::handle entry : entries) {
            line(334); py::object title = py::reinterpret_borrow<py::object>(check_report->untitled);
            try {
                title = call_method(find_element(entry, page->xpath_card_title).attr(host->name_text), host->name_strip);
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_Exception)) throw;
            }
            draft_titles.append(title);
        }
        drafts = py::int_(py::len(draft_titles));
        estimate.drafts(static_cast<long>(py::len(draft_titles)));
        runlog::info(runlog::In::check, line, "check: {} drafts the cleanup would delete: {!r}", py::len(draft_titles), draft_titles);
    }

    py::object verdict() {
        if (py::len(problems) == 0 && not_found == 0 && no_results == 0) {
            return py::str("ready: every row a run would work was found, and the pages are as expected");
        }
        py::list parts;
        if (not_found) parts.append(py::str("{} not found (sign 1)").format(not_found));
        if (no_results) parts.append(py::str("{} without search results (sign 2)").format(no_results));
        if (unchecked) parts.append(py::str("{} not checked").format(unchecked));
        if (py::len(page_problems) > 0) parts.append(py::str("pages not as expected"));
        return py::str("not ready: ") + call_method(py::str(", "), host->name_join, parts);
    }

    void report() {
        line(335); for (py::handle text : page_problems) print_line(py::make_tuple(check_report->problem_label, text));
        if (!searched) {
            print_line(py::make_tuple(check_report->rows_unchecked_label, py::len(table)));
            for (py::handle index : table.attr(host->name_index)) pages[index] = py::none();
        }
        for (py::handle row : rows) print_line(row);
        if (!drafts.is_none()) {
            print_line(py::make_tuple(check_report->drafts_label, drafts, draft_titles));
        }
        py::object took = py::str("not made: no row was searched");
        if (searched) {
            took = about(estimate.total_seconds());
            print_line(py::make_tuple(check_report->estimate_label, took, check_report->copies_word, estimate.all_copies(),
                                      check_report->image_wait_word, check_report->image_wait));
        }
        py::object said = verdict();
        print_line(py::make_tuple(check_report->verdict_label, said));
        show_title(py::str("vantrel-check {}").format(said));
        runlog::info(runlog::In::check, line, "check: run estimate {}; {}", took, said);

        py::object attrs = table.attr(host->name_attrs);
        attrs[check_report->attr_drafts] = drafts;
        attrs[check_report->attr_pages] = pages;
        attrs[check_report->attr_problems] = problems;
    }
};

py::object check_body(const py::object*, Lines& line) {
               runlog::attach_file();
    line(321); py::object file_path = ask_workbook_path();
    line(322); py::object chrome_port = ask_chrome_port();
               runlog::info(runlog::In::check, line, "check: commodity workbook {!r}, Chrome port {!r}", file_path, chrome_port);
    line(323); py::object df = call_method(global(host->name_pd), host->name_read_excel, file_path);
    line(324); set_item(df, sheet->column_added, sheet->zero);
    line(325); set_item(df, sheet->column_sign, sheet->zero);
    line(326); py::object names = df[sheet->column_name];  // the columns a run reads
               py::object amounts = df[sheet->column_amount];
    line(327); Check check(call_method(df, host->name_copy), line);
    py::object driver = check.attach(chrome_port);
    if (driver) {
        check.search_rows(driver);
        check.count_drafts(driver);
    }
    check.report();
    return check.table;
}

const char* const check_locals[] = {"file_path", "chrome_port", "df", "driver"};

}  // namespace

const FunctionDef check_function = {
    "check", "vantrel.check", 320, nullptr, 0, check_locals, std::size(check_locals),
    check_body,
};

bool check_ready(py::handle frame) {
    py::object problems = frame.attr(host->name_attrs)[check_report->attr_problems];
    const bool marked = py::bool_(call_method(compare(frame[sheet->column_sign], sheet->zero, Py_NE), host->name_any));
    return py::len(problems) == 0 && !marked;
}

void create_check_constants() {
    static const CheckReport report;
    check_report = &report;
}

}  // namespace vantrel
