// The table as plan and record of a run, and its one kind of save.

#include "sheet.hpp"

#include "runlog.hpp"

#include <cmath>

namespace vantrel {

const SheetConstants* sheet = nullptr;

namespace {

// The result workbook's files: the workbook's and its unsaved copy's names, and the trace of the
// copies in flight beside it with its entries' keys and events.
struct WorkbookFiles {
    py::handle workbook_suffix = intern(".xlsx");
    py::handle unsaved_suffix = intern(" (unsaved).xlsx");
    py::handle in_flight_suffix = intern(".in-flight.json");
    py::handle write_mode = intern("w");
    py::handle record_row = intern("row");
    py::handle record_name = intern("name");
    py::handle record_added = intern("added");
    py::handle record_url = intern("url");
    py::handle record_window = intern("window");
    py::handle record_event = intern("event");
    py::handle record_copy = intern("copy");
    py::handle event_click = intern("click");
    py::handle event_published = intern("published");
    py::handle event_not_published = intern("not published");
    py::handle event_unknown = intern("outcome unknown");
    py::handle line_break = intern("\n");
    py::handle retry_pause = keep(py::int_(5));  // seconds between the attempts that make up for a failed save
    int retries = 3;
    // numbers.Integral: the integer types, NumPy's among them
    py::handle integral = keep(import(host->name_numbers).attr(host->name_integral));
};
const WorkbookFiles* workbook_files = nullptr;

py::object active_rows(py::handle df) {
    py::object mask = compare(df[sheet->column_sign], sheet->zero, Py_EQ);
    return df[mask];
}

}  // namespace

void create_sheet_constants() {
    static const SheetConstants constants;
    static const WorkbookFiles files;
    sheet = &constants;
    workbook_files = &files;
}

py::object plan(py::handle df) {
    py::object amount = active_rows(df)[sheet->column_amount];
    py::object added = active_rows(df)[sheet->column_added];
    return call_method(amount - added, host->name_max);
}

long copies_wanted(py::handle amount, py::handle added) {
    double wanted = 0;
    try {
        wanted = py::float_(py::reinterpret_borrow<py::object>(amount) - added).cast<double>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return -1;
    }
    if (std::isnan(wanted)) return -1;
    return wanted > 0 ? static_cast<long>(std::ceil(wanted)) : 0;
}

RowTally tally_rows(py::handle df) {
    RowTally tally;
    for (py::handle record : call_method(df, host->name_itertuples)) {
        py::object sign = record.attr(sheet->column_sign);
        if (compare_true(sign, sheet->code_not_found, Py_EQ)) {
            ++tally.not_found;
        } else if (compare_true(sign, sheet->code_no_results, Py_EQ)) {
            ++tally.no_results;
        } else if (compare_true(sign, sheet->zero, Py_EQ)) {
            py::object amount = record.attr(sheet->column_amount);
            py::object added = record.attr(sheet->column_added);
            // The run's own test of a row with its copies made.
            if (compare_true(amount, added, Py_LE)) {
                ++tally.done;
            } else {
                ++tally.unfinished;
                const long wanted = copies_wanted(amount, added);
                tally.wanted += wanted < 0 ? 1 : wanted;  // no number: a copy in every pass
            }
        }
    }
    return tally;
}

py::object plain_number(py::handle value) {
    if (py::isinstance<py::float_>(value)) {
        return py::float_(value.cast<double>());
    }
    // NumPy's integer types are registered as integral; its bool is not, and its index
    // conversion warns.
    if (!py::isinstance<py::int_>(value) && py::isinstance(value, workbook_files->integral)) {
        py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
        if (!index) throw py::error_already_set();
        return index;
    }
    return py::reinterpret_borrow<py::object>(value);
}

void mark(py::handle df, py::handle index, py::handle code) {
    set_item(df.attr(host->name_loc), py::make_tuple(index, sheet->column_sign), code);
}

py::object count_copy(py::handle df, py::handle index) {
    py::object loc = df.attr(host->name_loc);
    py::tuple key = py::make_tuple(index, sheet->column_added);
    py::object value = loc[key];
    set_item(loc, key, value + sheet->one);
    return loc[key];
}

namespace {

// ".<name><suffix>", hidden beside the result workbook, so that a rename stays on one file system.
py::object hidden_beside(py::handle res_path, py::handle suffix) {
    py::object path = host->os.attr(host->name_path);
    py::tuple folder_and_name = call_method(path, host->name_split, res_path);
    py::object name = py::str(".{}{}").format(folder_and_name[1], suffix);
    return call_method(path, host->name_join, folder_and_name[0], name);
}

// The save's temporary file: ".<name>.<pid>.tmp.xlsx".
py::object temporary_path(py::handle res_path) {
    py::object pid = call_method(host->os, host->name_getpid);
    return hidden_beside(res_path, py::str(".{}.tmp.xlsx").format(pid));
}

}  // namespace

void save(py::handle df, py::handle res_path) {
    py::handle os = host->os;
    py::object path = os.attr(host->name_path);
    py::object temporary = temporary_path(res_path);
    try {
        df.attr(host->name_to_excel)(temporary, py::arg("index") = false);
        call_method(os, host->name_replace, temporary, res_path);
    } catch (py::error_already_set& error) {
        // The failure is what the caller hears of; a temporary file the writer left goes away.
        runlog::Leftover leftover = runlog::Leftover::none;
        try {
            if (py::bool_(call_method(path, host->name_exists, temporary))) {
                leftover = runlog::Leftover::kept;
                call_method(os, host->name_remove, temporary);
                leftover = runlog::Leftover::removed;
            }
        } catch (py::error_already_set& cleanup) {
            if (!cleanup.matches(PyExc_Exception)) {  // an interrupt goes on, the save's error its context
                PyException_SetContext(cleanup.value().ptr(), error.value().inc_ref().ptr());
                throw;
            }
        }
        runlog::save_failed(res_path, error, temporary, leftover);
        throw;
    }
}


namespace {

// Written whole to a temporary file, forced to the disk and renamed over the file, so that a kill
// at any moment leaves the file as it was before or as it is after.
void write_durably(py::handle path, py::handle text) {
    py::object temporary = py::reinterpret_borrow<py::object>(path) + py::str(".tmp");
    py::object file = import(host->name_io)
                          .attr(host->name_open)(temporary, workbook_files->write_mode,
                                                  py::arg("encoding") = host->text_encoding);
    try {
        call_method(file, host->name_write, text);
        call_method(file, host->name_flush);
        call_method(host->os, host->name_fsync, call_method(file, host->name_fileno));
    } catch (py::error_already_set&) {
        call_method(file, host->name_close);
        try {
            call_method(host->os, host->name_remove, temporary);
        } catch (py::error_already_set& cleanup) {
            if (!cleanup.matches(PyExc_OSError)) throw;
        }
        throw;
    }
    call_method(file, host->name_close);
    call_method(host->os, host->name_replace, temporary, path);
}

// The keys every entry of the trace has: what happened to which copy of which row.
py::dict trace_entry(py::handle event, long copy, py::handle index, py::handle name) {
    py::dict entry;
    entry[workbook_files->record_event] = event;
    entry[workbook_files->record_copy] = py::int_(copy);
    entry[workbook_files->record_row] = plain_number(index);
    entry[workbook_files->record_name] = name;
    return entry;
}

// An entry's value, or None where the entry has none.
py::object field(py::handle entry, py::handle key) {
    return call_method(entry, host->name_get, key);
}

}  // namespace

py::object in_flight_path(py::handle res_path) { return hidden_beside(res_path, workbook_files->in_flight_suffix); }


void ResultWorkbook::mark(py::handle index, py::handle code) {
    behind_ = true;
    vantrel::mark(df_, index, code);
}

py::object ResultWorkbook::count_copy(py::handle index) {
    behind_ = true;
    return vantrel::count_copy(df_, index);
}

void ResultWorkbook::count_up_to(py::handle index, py::handle added) {
    behind_ = true;
    set_item(df_.attr(host->name_loc), py::make_tuple(index, sheet->column_added), added);
}

void ResultWorkbook::save() {
    try {
        vantrel::save(df_, res_path_);
    } catch (py::error_already_set&) {
        behind_ = true;
        throw;
    }
    behind_ = false;
    // The workbook now holds every copy the table counts. A click still open stays traced: only
    // the resume can tell where it led.
    if (py::len(journal_) > 0 && !click_open_) {
        try {
            clear_in_flight(res_path_);
            journal_ = py::list();
        } catch (py::error_already_set& error) {
            // A trace left behind names copies that the workbook holds, which a resume sees.
            if (!error.matches(PyExc_OSError)) throw;
        }
    }
}

void ResultWorkbook::trace(py::dict entry) {
    py::object json = import(host->name_json);
    py::list lines;
    for (py::handle each : journal_) {
        lines.append(call_method(json, host->name_dumps, each) + workbook_files->line_break);
    }
    lines.append(call_method(json, host->name_dumps, entry) + workbook_files->line_break);
    write_durably(in_flight_path(res_path_), call_method(py::str(""), host->name_join, lines));
    journal_.append(entry);
}

void ResultWorkbook::copy_clicking(py::handle index, py::handle name, py::handle added,
                                   py::handle url, py::handle window) {
    py::dict entry = trace_entry(workbook_files->event_click, copies_ + 1, index, name);
    entry[workbook_files->record_added] = plain_number(added);
    entry[workbook_files->record_url] = url;
    entry[workbook_files->record_window] = window;
    trace(entry);
    ++copies_;
    click_open_ = true;
}

py::object ResultWorkbook::copy_published(py::handle index, py::handle name) {
    py::object added = count_copy(index);
    py::dict entry = trace_entry(workbook_files->event_published, copies_, index, name);
    entry[workbook_files->record_added] = plain_number(added);
    trace(entry);
    click_open_ = false;
    return added;
}

void ResultWorkbook::copy_not_published(py::handle index, py::handle name) {
    trace(trace_entry(workbook_files->event_not_published, copies_, index, name));
    click_open_ = false;
}

void ResultWorkbook::copy_outcome_unknown(py::handle index, py::handle name) {
    trace(trace_entry(workbook_files->event_unknown, copies_, index, name));
}

std::vector<CopyTrace> read_in_flight(py::handle res_path) {
    py::object path = in_flight_path(res_path);
    py::object text;
    try {
        text = import(host->name_pathlib).attr(host->name_path_class)(path)
                   .attr(host->name_read_text)(py::arg("encoding") = host->text_encoding);
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_FileNotFoundError)) return {};
        throw;
    }
    std::vector<CopyTrace> entries;
    py::object json = import(host->name_json);
    for (py::handle line : call_method(text, host->name_splitlines)) {
        if (py::len(call_method(line, host->name_strip)) == 0) continue;
        py::object entry = call_method(json, host->name_loads, line);
        if (!py::isinstance<py::dict>(entry) || !contains(entry, workbook_files->record_row)) {
            throw py::value_error("the trace of the copies in flight beside the result workbook is not one: " +
                                  py::str(path).cast<std::string>());
        }
        py::object event = field(entry, workbook_files->record_event);
        entries.push_back(CopyTrace{
            compare_true(event, workbook_files->event_published, Py_EQ)       ? CopyTrace::published
            : compare_true(event, workbook_files->event_not_published, Py_EQ) ? CopyTrace::not_published
            : compare_true(event, workbook_files->event_unknown, Py_EQ)       ? CopyTrace::unknown
                                                                            : CopyTrace::click,
            field(entry, workbook_files->record_copy), field(entry, workbook_files->record_row),
            field(entry, workbook_files->record_name), field(entry, workbook_files->record_added),
            field(entry, workbook_files->record_url), field(entry, workbook_files->record_window)});
    }
    return entries;
}

void clear_in_flight(py::handle res_path) {
    try {
        call_method(host->os, host->name_remove, in_flight_path(res_path));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_FileNotFoundError)) throw;
    }
}

namespace {

// "<folder>/<name> (unsaved).xlsx" for "<folder>/<name>.xlsx"; any other name gets the suffix.
py::object unsaved_path(py::handle res_path) {
    py::str path = call_method(host->os, host->name_fsdecode, res_path);  // a host's Path too
    if (py::bool_(call_method(path, host->name_endswith, workbook_files->workbook_suffix))) {
        py::ssize_t stem = py::len(path) - py::len(workbook_files->workbook_suffix);
        py::object name = path[py::slice(0, stem, 1)];
        return name + workbook_files->unsaved_suffix;
    }
    return path + workbook_files->unsaved_suffix;
}

// The save's own error again, of its own type where that type takes a message, now naming both
// files; the original stays attached as its cause.
[[noreturn]] void raise_naming_both(py::error_already_set& failure, py::handle res_path,
                                    py::handle unsaved, bool unsaved_written) {
    py::object original = failure.value();
    py::str message = unsaved_written
        ? py::str("the result workbook {} could not be saved: {}; the table as it stands at the end "
                  "of the run is in {}").format(res_path, original, unsaved)
        : py::str("the result workbook {} could not be saved: {}; nor could the table be written to {}")
              .format(res_path, original, unsaved);
    py::object error;
    try {
        error = failure.type()(message);
    } catch (py::error_already_set&) {
        error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
    }
    PyException_SetCause(error.ptr(), original.inc_ref().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

}  // namespace

void ResultWorkbook::give_up(py::error_already_set& failure, const Lines& line) {
    py::object unsaved = unsaved_path(res_path_);
    bool written = true;
    try {
        vantrel::save(df_, unsaved);
    } catch (py::error_already_set&) {
        written = false;
    }
    runlog::info(runlog::In::get_res, line, written ? "the table as it stands written to {!r}"
                                                  : "the table could not be written to {!r} either", unsaved);
    raise_naming_both(failure, res_path_, unsaved, written);
}

void ResultWorkbook::catch_up_before(py::error_already_set& leaving, const Lines& line) {
    if (!behind_) {
        return;
    }
    try {
        catch_up(line);
    } catch (py::error_already_set& failure) {
        PyException_SetContext(failure.value().ptr(), leaving.value().inc_ref().ptr());
        throw;
    }
}

void ResultWorkbook::catch_up(const Lines& line) {
    for (int attempt = 1; behind_; ++attempt) {
        runlog::info(runlog::In::get_res, line, "result workbook {!r} behind the table after the last pass: save attempt {} of {}",
                     res_path_, attempt, workbook_files->retries);
        try {
            save();
        } catch (py::error_already_set& failure) {
            if (!failure.matches(PyExc_Exception)) {
                throw;  // an interrupt ends the run at once
            }
            if (attempt == workbook_files->retries) {
                give_up(failure, line);
            }
            sleep(workbook_files->retry_pause);
        }
    }
}

}  // namespace vantrel
