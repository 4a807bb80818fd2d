// The table as plan and record of a run, and its one kind of save.

#include "sheet.hpp"

#include "runlog.hpp"

namespace vantrel {

SheetTexts sheet;

namespace {

#define VANTREL_SAVE_TEXTS(X)            \
    X(name_to_excel, "to_excel")         \
    X(name_loc, "loc")                   \
    X(name_max, "max")                   \
    X(name_index, "index")               \
    X(name_path, "path")                 \
    X(name_split, "split")               \
    X(name_join, "join")                 \
    X(name_getpid, "getpid")             \
    X(name_replace, "replace")           \
    X(name_exists, "exists")             \
    X(name_remove, "remove")

struct SaveTexts {
    VANTREL_SAVE_TEXTS(VANTREL_TEXT_FIELD)
    py::handle index_keyword;   // ("index",): to_excel's one keyword argument
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
    saving.index_keyword = keep(py::make_tuple(saving.name_index));
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

namespace {

// The hidden temporary beside the result workbook: ".<name>.<pid>.tmp.xlsx".
py::object temporary_path(py::handle path, py::handle res_path) {
    py::tuple folder_and_name = call_method(path, saving.name_split, res_path);
    py::object pid = call_method(host.os, saving.name_getpid);
    py::object name = py::reinterpret_steal<py::object>(
        PyUnicode_FromFormat(".%S.%S.tmp.xlsx", folder_and_name[1].ptr(), pid.ptr()));
    if (!name) {
        throw py::error_already_set();
    }
    return call_method(path, saving.name_join, folder_and_name[0], name);
}

}  // namespace

void save(py::handle df, py::handle res_path) {
    py::handle os = host.os;
    py::object path = os.attr(saving.name_path);
    // Beside the result workbook, so that the rename stays on one file system.
    py::object temporary = temporary_path(path, res_path);
    try {
        call_method_with_keywords(df, saving.name_to_excel, saving.index_keyword, temporary,
                                  py::handle(Py_False));
        call_method(os, saving.name_replace, temporary, res_path);
    } catch (py::error_already_set& error) {
        // The failure is what the caller hears of; a temporary file the writer left goes away.
        runlog::Leftover leftover = runlog::Leftover::none;
        try {
            if (py::bool_(call_method(path, saving.name_exists, temporary))) {
                leftover = runlog::Leftover::kept;
                call_method(os, saving.name_remove, temporary);
                leftover = runlog::Leftover::removed;
            }
        } catch (py::error_already_set&) {
        }
        runlog::save_failed(res_path, error, temporary, leftover);
        throw;
    }
}

}  // namespace vantrel
