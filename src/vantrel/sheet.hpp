// The commodity sheet: the table's columns and progress codes, the replication plan read off it,
// and the result workbook, rewritten whole after every change.
#pragma once

#include "host.hpp"

#include <vector>

namespace vantrel {

// The table's columns, the row tuple's label field and the progress codes.
struct SheetConstants {
    py::handle column_name = intern("name");
    py::handle column_amount = intern("amount");
    py::handle column_added = intern("added");
    py::handle column_sign = intern("sign");
    py::handle field_index = intern("Index");
    py::handle zero = keep(py::int_(0));             // `added` and `sign` at launch; the active code
    py::handle one = keep(py::int_(1));              // one published copy
    py::handle code_not_found = keep(py::int_(1));   // every result page walked, no card opened the editor
    py::handle code_no_results = keep(py::int_(2));  // the search showed nothing at all
};
extern const SheetConstants* sheet;

void create_sheet_constants();

// The largest number of copies still wanted by an active row; NaN when no row is active.
py::object plan(py::handle df);

// The plan as the console shows it: the plain Python number a table's scalar stands for (an
// integer type's int, a float type's float), which displays the same on every NumPy; any other
// value as it is.
py::object plain_number(py::handle value);

// The copies a row still wants: `amount` less `added`, rounded up, 0 at least; -1 where `amount`
// is no number (such a row is worked in every pass).
long copies_wanted(py::handle amount, py::handle added);

// The rows of a table by how a run left them.
struct RowTally {
    long done = 0;          // active, with their copies made
    long not_found = 0;     // sign 1
    long no_results = 0;    // sign 2
    long unfinished = 0;    // active, still wanting copies
    long wanted = 0;        // the copies those still want
};
RowTally tally_rows(py::handle df);

// Writes a progress code into the row's `sign` cell.
void mark(py::handle df, py::handle index, py::handle code);

// Adds one published copy to the row's `added` cell, reading the cell from the table; returns the
// cell's new value.
py::object count_copy(py::handle df, py::handle index);

// Writes the whole table to a temporary workbook beside the result workbook and renames it over
// the result workbook, so that the file on disk is always a whole workbook. A failed save leaves the
// previous file as it was, removes its temporary file and raises.
void save(py::handle df, py::handle res_path);

// The result workbook of one run. Every save writes the whole table, so the file on disk is behind
// the table from each write to the table until a save succeeds; `catch_up` mends that before the
// run ends, whichever way the passes end.
//
// Beside it lies the trace of the copies in flight, a journal: one entry before each publish
// click and one for that copy's outcome, each forced to the disk before the run takes its next
// step. After a kill nothing else tells whether a clicked copy went out, or which copies the
// table counted that the workbook does not hold yet; the resume settles them from the trace.
// Only a save that holds every copy counted so far, with no click left open, removes it.
class ResultWorkbook {
public:
    ResultWorkbook(py::handle df, py::handle res_path) : df_(df), res_path_(res_path) {}

    // The table's writes: a progress code into the row's `sign`, one more copy into its `added`
    // (the cell's new value returned), or `added` raised to a count settled by the resume.
    void mark(py::handle index, py::handle code);
    py::object count_copy(py::handle index);
    void count_up_to(py::handle index, py::handle added);

    // A save as `save` makes it; a failure leaves the workbook behind the table and raises. A
    // save that succeeds with no click open removes the trace: the workbook holds its copies.
    void save();

    // The trace's entries, each durable when the call returns, or an error raised and the trace
    // on disk as it was. Before a publish click: the row, its title, its `added` before the copy,
    // and the tab and address of the editor; nothing may be clicked when this raises. Then the
    // outcome of that click: published (the copy counted in the table first, the cell's new
    // value returned) or not published.
    void copy_clicking(py::handle index, py::handle name, py::handle added, py::handle url,
                       py::handle window);
    py::object copy_published(py::handle index, py::handle name);
    void copy_not_published(py::handle index, py::handle name);
    // The click's outcome could not be read where it led, and its tab is used for other pages
    // from here on: the click stays open, and its tab no longer says what the click did.
    void copy_outcome_unknown(py::handle index, py::handle name);

    // When the file is behind: tries again a few times, a pause apart; if the workbook still
    // cannot be written, writes the table to "<name> (unsaved).xlsx" beside it and raises the
    // save's own error, its message naming both files. Never returns while the file is behind.
    void catch_up(const Lines& line);

    // The same on a way out of the passes by an exception: afterwards the caller lets that
    // exception go on. An error of the catch-up itself goes on instead, with the first as its
    // context.
    void catch_up_before(py::error_already_set& leaving, const Lines& line);

private:
    // The table to "<name> (unsaved).xlsx", then the save's error naming both files.
    [[noreturn]] void give_up(py::error_already_set& failure, const Lines& line);

    // Adds one entry to the trace, written whole; on failure the trace stays as it was.
    void trace(py::dict entry);

    py::handle df_, res_path_;
    bool behind_ = false;
    py::list journal_;        // the trace's entries as on disk; empty when there is no trace
    long copies_ = 0;         // clicks traced by this run, numbering their entries
    bool click_open_ = false; // the last click's outcome is not in the trace yet
};

// One entry of the trace of the copies in flight, as read back; `copy` ties an outcome to its
// click. A click's `added` is the row's count before it, a published copy's the count with it. The
// record a release before the journal left, one copy in flight, reads as a click without a number.
struct CopyTrace {
    enum Event { click, published, not_published, unknown } event;
    py::object copy, row, name, added, url, window;
};
std::vector<CopyTrace> read_in_flight(py::handle res_path);

// Where the trace of a result workbook lies.
py::object in_flight_path(py::handle res_path);

// Removes the trace; a trace already gone is no error.
void clear_in_flight(py::handle res_path);

}  // namespace vantrel
