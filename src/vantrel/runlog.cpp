// The run log. The logger `logging.getLogger("vantrel")` is fetched for every record, so that the
// host's configuration at that moment decides; a record is made only when the logger is enabled
// for its level or a log file of VANTREL_LOG is attached. That file hears every INFO record
// whatever the host's levels are, and the host hears only what its own configuration lets through.

#include "runlog.hpp"

namespace vantrel {
namespace {

#define VANTREL_RUNLOG_NAMES(X)                \
    X(name_logging, "logging")                 \
    X(logger_name, "vantrel")                  \
    X(source_file, kSourceFile)                \
    X(name_get_logger, "getLogger")            \
    X(name_is_enabled_for, "isEnabledFor")     \
    X(name_make_record, "makeRecord")          \
    X(name_handle, "handle")                   \
    X(name_handlers, "handlers")               \
    X(name_file_handler, "FileHandler")        \
    X(name_formatter, "Formatter")             \
    X(name_set_formatter, "setFormatter")      \
    X(name_set_level, "setLevel")              \
    X(name_add_handler, "addHandler")          \
    X(name_environ, "environ")                 \
    X(name_get, "get")                         \
    X(name_path, "path")                       \
    X(name_abspath, "abspath")                 \
    X(name_normcase, "normcase")               \
    X(name_strerror, "strerror")               \
    X(name_type_name, "__name__")              \
    X(log_variable, "VANTREL_LOG")             \
    X(append_mode, "a")                        \
    X(file_encoding, "utf-8")                  \
    X(line_format, "%(asctime)s %(message)s")  \
    X(in_main, "main")                         \
    X(in_start, "start")                       \
    X(in_get_res, "get_res")                   \
    X(in_resume, "resume")                     \
    X(in_check, "check")

struct RunLogNames {
    VANTREL_RUNLOG_NAMES(VANTREL_TEXT_FIELD)
    py::handle info, debug;      // the levels of logging, fixed by its interface
    py::handle no_arguments;     // a record's message is complete: nothing to format into it
    py::handle attached_paths;   // the log files attached in this process, by absolute path
    py::handle own_handlers;     // their handlers
};
RunLogNames logs;

py::object logger() {
    return call_method(import(logs.name_logging), logs.name_get_logger, logs.logger_name);
}

// One record of `level`, its message made by `make` only when someone hears it. It names the
// module's pseudo source file and the step line, as traceback entries do. The host hears it
// through its logger; our files hear every INFO record, even one the host's levels turn away,
// unless the host took their handler off the logger. What goes wrong in logging is dropped,
// interrupts and exits aside.
template <typename Make>
void record(py::handle level, py::handle function, const Lines* line, Make&& make,
            py::handle exc_info = py::none()) {
    try {
        py::object log = logger();
        const bool host = py::bool_(call_method(log, logs.name_is_enabled_for, level));
        const bool files = level.is(logs.info) && py::len(logs.own_handlers) > 0;
        if (!host && !files) {
            return;
        }
        py::object entry = call_method(log, logs.name_make_record, logs.logger_name, level, logs.source_file,
                                       line ? line->current() : 0, make(), logs.no_arguments, exc_info, function);
        if (host) {
            call_method(log, logs.name_handle, entry);  // our files are among its handlers
            return;
        }
        py::object attached = log.attr(logs.name_handlers);
        for (py::handle handler : py::reinterpret_borrow<py::list>(logs.own_handlers)) {
            if (contains(attached, handler)) call_method(handler, logs.name_handle, entry);
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

// One INFO record of `function`: the host's own formatting of `args` into `format` ("{}" for
// str, "{!r}" for repr); arguments that `format` does not name are left out.
template <typename... Args>
void info(py::handle function, const Lines* line, const char* format, const Args&... args) {
    record(logs.info, function, line, [&] { return py::str(format).format(args...); });
}

template <typename... Args>
void info(const Lines& line, const char* format, const Args&... args) {
    info(logs.in_get_res, &line, format, args...);
}

// The exception being handled, raised as the host would see it from the step: its traceback ends
// in the module's own entry for that line.
py::error_already_set caught(const Lines& line) {
    raise_from_cpp();
    add_traceback("vantrel.get_res", line.current());
    py::error_already_set error;
    if (error.trace()) PyException_SetTraceback(error.value().ptr(), error.trace().ptr());
    return error;
}

// The INFO record of a dropped exception, and its traceback at DEBUG for a host that asks.
void dropped(const Lines& line, const char* what, py::handle name) {
    try {
        py::error_already_set error = caught(line);
        auto make = [&] {
            py::object cause = runlog::describe_error(error);
            return name ? py::str("row {!r}: {} at line {}: {}").format(name, what, line.current(), cause)
                        : py::str("{} at line {}: {}").format(what, line.current(), cause);
        };
        record(logs.info, logs.in_get_res, &line, make);
        py::object trace = error.trace() ? error.trace() : py::none();
        record(logs.debug, logs.in_get_res, &line, make, py::make_tuple(error.type(), error.value(), trace));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

}  // namespace

void create_runlog_constants() {
    RunLogNames& table = logs;
    VANTREL_RUNLOG_NAMES(VANTREL_TEXT_CREATE)
    VANTREL_INT_CREATE(info, 20)
    VANTREL_INT_CREATE(debug, 10)
    logs.no_arguments = keep(py::tuple());
    logs.attached_paths = keep(py::set());
    logs.own_handlers = keep(py::list());
}

namespace runlog {

void attach_file() {
    py::object value = call_method(host.os.attr(logs.name_environ), logs.name_get, logs.log_variable);
    if (value.is_none() || py::len(value) == 0) {
        return;
    }
    py::object os_path = host.os.attr(logs.name_path);
    py::object path = call_method(os_path, logs.name_abspath, value);
    py::object key = call_method(os_path, logs.name_normcase, path);  // one file, however spelt
    if (contains(logs.attached_paths, key)) {
        return;
    }
    py::object logging = import(logs.name_logging);
    py::object handler;
    try {
        handler = call(logging.attr(logs.name_file_handler), path, logs.append_mode, logs.file_encoding);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;
        py::object reason = error.value().attr(logs.name_strerror);
        if (reason.is_none()) reason = py::str(error.value());
        const std::string message =
            py::str("VANTREL_LOG names a log file that cannot be opened for appending: {!r} ({})")
                .format(value, reason).cast<std::string>();
        py::raise_from(error, error.type().ptr(), message.c_str());
        throw py::error_already_set();
    }
    call_method(handler, logs.name_set_level, logs.info);
    call_method(handler, logs.name_set_formatter, call(logging.attr(logs.name_formatter), logs.line_format));
    call_method(logger(), logs.name_add_handler, handler);
    py::reinterpret_borrow<py::set>(logs.attached_paths).add(key);
    py::reinterpret_borrow<py::list>(logs.own_handlers).append(handler);
}

// "Type: first line of the message"; a multi-line message (a driver's, with its stack) keeps its
// first line that says something, so that every line of the log file starts with its timestamp.
py::object describe(py::handle type, py::handle value) {
    py::str message(value);
    py::list lines = message.attr("split")("\n");
    if (py::len(lines) > 1) {
        message = py::str("");
        for (py::handle part : lines) {
            message = call_method(part, host.name_strip);
            if (py::len(message) > 0) break;
        }
    }
    py::object name = type.attr(logs.name_type_name);
    return py::len(message) == 0 ? name : py::str("{}: {}").format(name, message);
}

py::object describe_error(const py::error_already_set& error) { return describe(error.type(), error.value()); }

void launch_answers(const Lines& line, py::handle file_path, py::handle pic_wait, py::handle chrome_port) {
    info(logs.in_main, &line, "launch: commodity workbook {!r}, image wait {} s, Chrome port {!r}", file_path,
         pic_wait, chrome_port);
}

void begin(const Lines& line, py::handle res_path) {
    info(logs.in_start, &line, "begin: result workbook {!r}", res_path);
}

void finish(const Lines& line, py::handle start_time, py::handle end_time) {
    record(logs.info, logs.in_start, &line, [&] {
        return py::str("finish: took {}").format(py::reinterpret_borrow<py::object>(end_time) - start_time);
    });
}

void plan(const Lines& line, long pass, py::handle max_times) {
    if (pass == 0) info(line, "plan: max_times {}", max_times);
    else info(line, "plan after pass {}: max_times {}", pass, max_times);
}

void row_reached(const Lines& line, py::handle name, long pass, py::handle amount, py::handle added) {
    info(line, "row {!r}: pass {}, amount {}, added {}", name, pass, amount, added);
}

void row_marked(const Lines& line, py::handle name, py::handle sign) {
    info(line, "row {!r}: left early, sign is {}", name, sign);
}

void row_complete(const Lines& line, py::handle name, py::handle amount, py::handle added) {
    info(line, "row {!r}: left early, amount {} reached (added {})", name, amount, added);
}

void no_results(const Lines& line, py::handle name, py::handle added) {
    info(line, compare_true(added, py::int_(0), Py_EQ) ? "row {!r}: no search results, sign 2 written"
                                                       : "row {!r}: no search results, sign stays 0 (added {})",
         name, added);
}

void not_found(const Lines& line, py::handle name, py::handle added) {
    info(line, compare_true(added, py::int_(0), Py_EQ)
                   ? "row {!r}: listing not found on any result page, sign 1 written"
                   : "row {!r}: listing not found on any result page, sign stays 0 (added {})",
         name, added);
}

void images_missing(const Lines& line, py::handle name) {
    info(line, "row {!r}: left early, the editor's images were not in place after the image wait", name);
}

void still_in_editor(const Lines& line, py::handle name) {
    info(line, "row {!r}: left early, still in the editor after publishing, not counted", name);
}

void published(const Lines& line, py::handle name, py::handle added) {
    record(logs.info, logs.in_get_res, &line, [&] {
        return py::str("row {!r}: copy published, added {}").format(name, py::reinterpret_borrow<py::object>(added) + py::int_(1));
    });
}

void draft_deleted(const Lines& line, long deleted) { info(line, "draft cleanup: draft {} deleted", deleted); }

void row_failed(const Lines& line, py::handle name) { dropped(line, "attempt dropped", name); }

void draft_reload(const Lines& line) { dropped(line, "draft cleanup: reload after a failed cycle", py::handle()); }

void save_again(const Lines& line, py::handle res_path, int attempt, int attempts) {
    info(line, "result workbook {!r} behind the table after the last pass: save attempt {} of {}", res_path,
         attempt, attempts);
}

void unsaved_written(const Lines& line, py::handle unsaved, bool written) {
    info(line, written ? "the table as it stands written to {!r}" : "the table could not be written to {!r} either",
         unsaved);
}

void interrupt_held(const Lines& line, py::handle name) {
    info(line, "row {!r}: Ctrl+C during the publish, held until the copy's outcome was saved; the row ends here",
         name);
}

void stop_on_request(const Lines& line) {
    info(line, "stop: a second Ctrl+C within 5 s asked the run to stop; no row is in flight");
}

void browser_gone(const Lines& line, const char* what) {
    info(line, "{} is gone: the run ends; vantrel-resume goes on with it", what);
}

void passes_ended(const Lines& line, const py::error_already_set& leaving) {
    record(logs.info, logs.in_get_res, &line, [&] {
        return py::str("passes ended by {}: the result workbook is made whole before the run ends")
            .format(describe_error(leaving));
    });
}

void in_flight_unrecorded(py::handle name, const py::error_already_set& error) {
    record(logs.info, logs.in_get_res, nullptr, [&] {
        return py::str("row {!r}: the copy in flight could not be recorded ({}); it is published all the same")
            .format(name, describe_error(error));
    });
}

void resume_answers(const Lines& line, py::handle res_path, py::handle pic_wait, py::handle chrome_port) {
    info(logs.in_resume, &line, "resume: result workbook {!r}, image wait {} s, Chrome port {!r}", res_path,
         pic_wait, chrome_port);
}

void in_flight_settled(const Lines& line, py::handle name, bool counted, const char* why) {
    info(logs.in_resume, &line,
         counted ? "resume: row {!r}: the copy in flight went out ({}): counted"
                 : "resume: row {!r}: the copy in flight did not go out ({}): not counted",
         name, why);
}

void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary, Leftover leftover) {
    record(logs.info, logs.in_get_res, nullptr, [&] {
        const char* format = leftover == Leftover::removed ? "save failed: {!r}, {}; temporary file {!r} removed"
                             : leftover == Leftover::kept
                                 ? "save failed: {!r}, {}; temporary file {!r} could not be removed"
                                 : "save failed: {!r}, {}; no temporary file left";
        return py::str(format).format(res_path, describe_error(error), temporary);
    });
}

void check_launch(const Lines& line, py::handle file_path, py::handle chrome_port) {
    info(logs.in_check, &line, "check: commodity workbook {!r}, Chrome port {!r}", file_path, chrome_port);
}

void check_found(const Lines& line, py::handle name, long page) {
    info(logs.in_check, &line, "check: row {!r} found on result page {}", name, page);
}

void check_missing(const Lines& line, py::handle name, py::handle code, long pages) {
    info(logs.in_check, &line,
         compare_true(code, py::int_(2), Py_EQ) ? "check: row {0!r}: no search results, a run writes sign 2"
                                                : "check: row {0!r}: listing not found on {1} result pages, a run "
                                                  "writes sign 1",
         name, pages);
}

void check_skipped(const Lines& line, py::handle name, py::handle amount) {
    info(logs.in_check, &line, "check: row {!r} skipped, amount {}", name, amount);
}

void check_unchecked(const Lines& line, py::handle name, py::handle reason) {
    info(logs.in_check, &line, "check: row {!r} not checked: {}", name, reason);
}

void check_problem(const Lines& line, py::handle problem) {
    info(logs.in_check, &line, "check: not as expected: {}", problem);
}

void check_drafts(const Lines& line, py::handle titles) {
    info(logs.in_check, &line, "check: {} drafts the cleanup would delete: {!r}", py::len(titles), titles);
}

void check_verdict(const Lines& line, py::handle estimate, py::handle verdict) {
    info(logs.in_check, &line, "check: run estimate {}; {}", estimate, verdict);
}

}  // namespace runlog
}  // namespace vantrel
