// The commodity sheet: the table's columns and progress codes, the replication plan read off it,
// and the result workbook, rewritten whole after every change.
#pragma once

#include "host.hpp"

namespace vantrel {

// The table's columns and progress codes.
#define VANTREL_SHEET_CONSTANTS(X)     \
    X(column_name, "name")         \
    X(column_amount, "amount")     \
    X(column_added, "added")       \
    X(column_sign, "sign")         \
    X(field_index, "Index")        \
    X(name_values, "values")       \
    X(name_copy, "copy")           \
    X(name_pd, "pd")               \
    X(name_read_excel, "read_excel")

struct SheetConstants {
    VANTREL_SHEET_CONSTANTS(VANTREL_TEXT_FIELD)
    py::handle zero;               // `added` and `sign` at launch; the active code
    py::handle one;                // one published copy
    py::handle code_not_found;     // every result page walked, no card opened the editor
    py::handle code_no_results;    // the search showed nothing at all
};
extern SheetConstants sheet;

void create_sheet_constants();

// The largest number of copies still wanted by an active row; NaN when no row is active.
py::object plan(py::handle df);

// The plan as the console shows it: the plain Python number a table's scalar stands for (an
// integer type's int, a float type's float), which displays the same on every NumPy; any other
// value as it is.
py::object plain_number(py::handle value);

// Writes a progress code into the row's `sign` cell.
void mark(py::handle df, py::handle index, py::handle code);

// Adds one published copy to the row's `added` cell, reading the cell from the table.
void count_copy(py::handle df, py::handle index);

// Writes the whole table to a temporary workbook beside the result workbook and renames it over
// the result workbook, so that the file on disk is always a whole workbook. A failed save leaves the
// previous file as it was, removes its temporary file and raises.
void save(py::handle df, py::handle res_path);

// The result workbook of one run. Every save writes the whole table, so the file on disk is behind
// the table from each write to the table until a save succeeds; `catch_up` mends that before the
// run ends, whichever way the passes end.
//
// Beside it, while a copy's publish is in flight (from just before the publish click until the
// count is saved), a small record names that copy: after a kill in that window nothing else
// tells whether the copy went out, and the resume settles it from the record.
class ResultWorkbook {
public:
    ResultWorkbook(py::handle df, py::handle res_path) : df_(df), res_path_(res_path) {}

    // The table's writes: a progress code into the row's `sign`, one more copy into its `added`.
    void mark(py::handle index, py::handle code);
    void count_copy(py::handle index);

    // A save as `save` makes it; a failure leaves the workbook behind the table and raises. A
    // save that succeeds closes the record of a copy in flight.
    void save();

    // Records, durably, that the row's copy is about to be published: the row, its title, its
    // `added` before the copy, and the tab and address of the editor. A record that cannot be
    // written is noted in the run log and the publish goes on, as it did before records.
    void copy_in_flight(py::handle index, py::handle name, py::handle added, py::handle url,
                        py::handle window);

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

    py::handle df_, res_path_;
    bool behind_ = false;
    bool in_flight_ = false;
};

// The record of a copy in flight beside the result workbook, as `copy_in_flight` wrote it; empty
// (false) when there is none.
struct InFlightCopy {
    py::object row, name, added, url, window;
    explicit operator bool() const { return static_cast<bool>(row); }
};
InFlightCopy read_in_flight(py::handle res_path);

// Removes that record; a record already gone is no error.
void clear_in_flight(py::handle res_path);

}  // namespace vantrel
