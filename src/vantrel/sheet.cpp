// The table as plan and record of a run, and its one kind of save.

#include "sheet.hpp"

namespace vantrel {

SheetTexts sheet;

namespace {

#define VANTREL_SAVE_TEXTS(X)            \
    X(name_to_excel, "to_excel")         \
    X(name_loc, "loc")                   \
    X(name_max, "max")                   \
    X(temporary_suffix, ".tmp.xlsx")     \
    X(temporary_format, ".{}.{}{}")      \
    X(name_os, "os")                     \
    X(name_path, "path")                 \
    X(name_basename, "basename")         \
    X(name_dirname, "dirname")           \
    X(name_join, "join")                 \
    X(name_getpid, "getpid")             \
    X(name_replace, "replace")           \
    X(name_exists, "exists")             \
    X(name_remove, "remove")             \
    X(name_format, "format")

struct SaveTexts {
    VANTREL_SAVE_TEXTS(VANTREL_TEXT_FIELD)
    py::handle os;  // the host's `os`, imported once for every save
};
SaveTexts saving;

py::object active_rows(py::handle df) {
    py::object mask = compare(df[sheet.column_sign], sheet.zero, Py_EQ);
    return df[mask];
}

}  // namespace

void create_sheet_constants() {
    {
        SheetTexts& table = sheet;
        VANTREL_SHEET_TEXTS(VANTREL_TEXT_CREATE)
        VANTREL_INT_CREATE(zero, 0)
        VANTREL_INT_CREATE(one, 1)
        VANTREL_INT_CREATE(code_not_found, 1)
        VANTREL_INT_CREATE(code_no_results, 2)
    }
    SaveTexts& table = saving;
    VANTREL_SAVE_TEXTS(VANTREL_TEXT_CREATE)
    saving.os = keep(import(saving.name_os));
}

py::object plan(py::handle df) {
    py::object amount = active_rows(df)[sheet.column_amount];
    py::object added = active_rows(df)[sheet.column_added];
    return call_method(amount - added, saving.name_max);
}

void mark(py::handle df, py::handle index, py::handle code) {
    df.attr(saving.name_loc)[py::make_tuple(index, sheet.column_sign)] = code;
}

void count_copy(py::handle df, py::handle index) {
    py::object loc = df.attr(saving.name_loc);
    py::tuple key = py::make_tuple(index, sheet.column_added);
    py::object value = loc[key];
    loc[key] = value + sheet.one;
}

void save(py::handle df, py::handle res_path) {
    py::handle os = saving.os;
    py::object path = os.attr(saving.name_path);
    // Beside the result workbook, so that the rename stays on one file system.
    py::object temporary = call_method(
        path, saving.name_join, call_method(path, saving.name_dirname, res_path),
        call_method(saving.temporary_format, saving.name_format,
                    call_method(path, saving.name_basename, res_path),
                    call_method(os, saving.name_getpid), saving.temporary_suffix));
    try {
        df.attr(saving.name_to_excel)(temporary, py::arg("index") = false);
        call_method(os, saving.name_replace, temporary, res_path);
    } catch (py::error_already_set&) {
        // The failure is what the caller hears of; a temporary file the writer left goes away.
        try {
            if (py::bool_(call_method(path, saving.name_exists, temporary))) {
                call_method(os, saving.name_remove, temporary);
            }
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

}  // namespace vantrel
