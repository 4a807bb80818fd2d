// The run log: records of a run on the host's logger "vantrel", at INFO for what an operator reads
// and at DEBUG for tracebacks, and the log file that VANTREL_LOG asks for. A record is built only
// when someone listens; otherwise it costs the logger's level check.
#pragma once

#include "host.hpp"

namespace vantrel {

void create_runlog_constants();

namespace runlog {

// Attaches a UTF-8 file handler at INFO for the file VANTREL_LOG names, once per path and process,
// appending. A file that cannot be opened for appending raises an OSError naming it.
void attach_file();

// Each record is one call. A failure of the logging itself never changes the run: it is dropped,
// interrupts and exits aside.
void launch_answers(const Lines& line, py::handle file_path, py::handle pic_wait,
                    py::handle chrome_port);
void begin(const Lines& line, py::handle res_path);
void finish(const Lines& line, py::handle start_time, py::handle end_time);
void plan(const Lines& line, long pass, py::handle max_times);
void row_reached(const Lines& line, py::handle name, long pass, py::handle amount, py::handle added);
void row_marked(const Lines& line, py::handle name, py::handle sign);
void row_complete(const Lines& line, py::handle name, py::handle amount, py::handle added);
void no_results(const Lines& line, py::handle name, py::handle added);
void not_found(const Lines& line, py::handle name, py::handle added);
void images_missing(const Lines& line, py::handle name);
void still_in_editor(const Lines& line, py::handle name);
void published(const Lines& line, py::handle name, py::handle added);
void draft_deleted(const Lines& line, long deleted);

// Called from inside a catch clause: the exception being handled, with the step line that raised
// it, and its traceback at DEBUG. `name` may be null when the row's title was not read yet.
void row_failed(const Lines& line, py::handle name);
void draft_reload(const Lines& line);

// After the last pass, while the result workbook is behind the table: each further attempt to save
// it, and whether the table then went to the unsaved workbook beside it.
void save_again(const Lines& line, py::handle res_path, int attempt, int attempts);
void unsaved_written(const Lines& line, py::handle unsaved, bool written);

// A Ctrl+C that came while a copy's publish was in flight, held until its outcome was saved.
void interrupt_held(const Lines& line, py::handle name);
// A second Ctrl+C within five seconds: the run stops where no row is in flight.
void stop_on_request(const Lines& line);
// ChromeDriver or Chrome is gone: the run ends.
void browser_gone(const Lines& line, const char* what);
// The passes ended by an exception (an interrupt, a stop, a lost browser) on its way to the host.
void passes_ended(const Lines& line, const py::error_already_set& leaving);
// The record of a copy in flight could not be written; the publish goes on without it.
void in_flight_unrecorded(py::handle name, const py::error_already_set& error);

// A resume: its answers, and what it decided about a copy a stop left in flight.
void resume_answers(const Lines& line, py::handle res_path, py::handle pic_wait, py::handle chrome_port);
void in_flight_settled(const Lines& line, py::handle name, bool counted, const char* why);

// "Type: first line of the message", or the type alone when that line is empty.
py::object describe(py::handle type, py::handle value);

// A save that failed, and what became of its temporary file.
enum class Leftover { none, removed, kept };
void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary,
                 Leftover leftover);

// "Type: first line of the message" of a caught error, as a dropped attempt is logged.
py::object describe_error(const py::error_already_set& error);

// The preflight check's findings, each one record of the function "check".
void check_launch(const Lines& line, py::handle file_path, py::handle chrome_port);
void check_found(const Lines& line, py::handle name, long page);
void check_missing(const Lines& line, py::handle name, py::handle code, long pages);
void check_skipped(const Lines& line, py::handle name, py::handle amount);
void check_unchecked(const Lines& line, py::handle name, py::handle reason);
void check_problem(const Lines& line, py::handle problem);
void check_drafts(const Lines& line, py::handle titles);
void check_verdict(const Lines& line, py::handle estimate, py::handle verdict);

}  // namespace runlog
}  // namespace vantrel
