// The run log: records of a run on the host's logger "vantrel", at INFO for what an operator reads
// and at DEBUG for tracebacks, and the log file that VANTREL_LOG asks for. A record is built only
// when someone listens; otherwise it costs the logger's level check.
#pragma once

#include "host.hpp"

#include <functional>

namespace vantrel {

void create_runlog_constants();

namespace runlog {

// Attaches a UTF-8 file handler at INFO for the file VANTREL_LOG names, once per path and process,
// appending. A file that cannot be opened for appending raises an OSError naming it.
void attach_file();

// The module function a record names.
enum class In { main, start, get_res, resume, check };

// One INFO record, its message made by `make` only when someone hears it; `line` may be null. A
// failure of the logging itself never changes the run: it is dropped, interrupts and exits aside.
void record(In function, const Lines* line, const std::function<py::object()>& make);

// One INFO record: `format` filled in by the host's own str.format ("{}" for str, "{!r}" for
// repr), each argument typed; arguments the format does not name are left out.
template <typename... Args>
void info(In function, const Lines& line, const char* format, const Args&... args) {
    record(function, &line, [&] { return py::str(format).format(args...); });
}

// Called from inside a catch clause: the exception being handled, with the step line that raised
// it, and its traceback at DEBUG. `name` may be null when the row's title was not read yet;
// `kept`, when given, says where the page the attempt ended on was kept.
void row_failed(const Lines& line, py::handle name, py::handle kept = py::handle());

// With a log file asked for (VANTREL_LOG), what the browser shows goes beside it, into the folder
// "<log file>.pages", readable by its owner only: a screenshot (PNG) and the page's source (HTML),
// named by the moment and the row's label. The folder keeps the newest 200 pairs. Returns what
// the attempt's log line says of them; null without a log file. A capture that fails (the
// browser gone, the disk full) is said so in that text and changes nothing else.
py::object keep_page(py::handle driver, py::handle row);
void draft_reload(const Lines& line);

// The passes ended by an exception (an interrupt, a stop, a lost browser) on its way to the host.
void passes_ended(const Lines& line, const py::error_already_set& leaving);
// The trace of a copy about to be published could not be written: nothing is clicked.
void in_flight_unrecorded(py::handle name, const py::error_already_set& error);

// A save that failed, and what became of its temporary file.
enum class Leftover { none, removed, kept };
void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary,
                 Leftover leftover);

// "Type: first line of the message", the first line that says something; the type alone when
// there is none.
py::object describe(py::handle type, py::handle value);
py::object describe_error(const py::error_already_set& error);

}  // namespace runlog
}  // namespace vantrel
