// The run log, on the logger `logging.getLogger("vantrel")`, whose level and handlers are read
// for every record, so that the host's configuration at that moment decides; a record is made
// only when the logger is enabled for its level or a log file of VANTREL_LOG is attached. That
// file hears every INFO record whatever the host's levels are, and the host hears only what its
// own configuration lets through.

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
    X(name_abspath, "abspath")                 \
    X(name_normcase, "normcase")               \
    X(name_strerror, "strerror")               \
    X(name_type_name, "__name__")              \
    X(log_variable, "VANTREL_LOG")             \
    X(append_mode, "a")                        \
    X(line_format, "%(asctime)s %(message)s")  \
    X(in_main, "main")                         \
    X(in_resume, "resume")                     \
    X(name_threading, "threading")             \
    X(name_lock, "Lock")                       \
    X(name_acquire, "acquire")                 \
    X(name_release, "release")

struct RunLogNames {
    VANTREL_RUNLOG_NAMES(VANTREL_TEXT_FIELD)
    py::handle info, debug;      // the levels of logging, fixed by its interface
    py::handle no_arguments;     // a record's message is complete: nothing to format into it
    py::handle attached_paths;   // the log files attached in this process, by absolute path
    py::handle own_handlers;     // their handlers
    py::handle logger;           // logging.getLogger("vantrel")
    py::handle attaching;        // held while a log file is attached
};
RunLogNames log_names;

// logging hands out one logger of a name for the life of the process; its level and handlers are
// read afresh for every record.
py::handle logger() { return log_names.logger; }

py::handle function_name(runlog::In function) {
    switch (function) {
    case runlog::In::main: return log_names.in_main;
    case runlog::In::start: return host.name_start;
    case runlog::In::resume: return log_names.in_resume;
    case runlog::In::check: return host.name_check;
    default: return host.name_get_res;
    }
}

// One record of `level`. It names the module's pseudo source file and the step line, as traceback
// entries do. The host hears it through its logger; our files hear every INFO record, even one the
// host's levels turn away, unless the host took their handler off the logger.
void emit(py::handle level, runlog::In function, const Lines* line, const std::function<py::object()>& make,
          py::handle exc_info = py::none()) {
    try {
        py::handle log = logger();
        const bool host_hears = py::bool_(call_method(log, log_names.name_is_enabled_for, level));
        const bool files_hear = level.is(log_names.info) && py::len(log_names.own_handlers) > 0;
        if (!host_hears && !files_hear) return;
        py::object entry = call_method(log, log_names.name_make_record, log_names.logger_name, level,
                                       log_names.source_file, line ? line->current() : 0, make(),
                                       log_names.no_arguments, exc_info, function_name(function));
        if (host_hears) {
            call_method(log, log_names.name_handle, entry);  // our files are among its handlers
            return;
        }
        py::object attached = log.attr(log_names.name_handlers);
        for (py::handle handler : py::reinterpret_borrow<py::list>(log_names.own_handlers)) {
            if (contains(attached, handler)) call_method(handler, log_names.name_handle, entry);
        }
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
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
        emit(log_names.info, runlog::In::get_res, &line, make);
        py::object trace = error.trace() ? error.trace() : py::none();
        emit(log_names.debug, runlog::In::get_res, &line, make, py::make_tuple(error.type(), error.value(), trace));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

}  // namespace

void create_runlog_constants() {
    RunLogNames& table = log_names;
    VANTREL_RUNLOG_NAMES(VANTREL_TEXT_CREATE)
    VANTREL_INT_CREATE(info, 20)
    VANTREL_INT_CREATE(debug, 10)
    log_names.no_arguments = keep(py::tuple());
    log_names.attached_paths = keep(py::set());
    log_names.own_handlers = keep(py::list());
    log_names.attaching = keep(call_method(import(log_names.name_threading), log_names.name_lock));
    log_names.logger = keep(call_method(import(log_names.name_logging), log_names.name_get_logger, log_names.logger_name));
}

namespace runlog {

void record(In function, const Lines* line, const std::function<py::object()>& make) {
    emit(log_names.info, function, line, make);
}

namespace {

// A handler of the file at `path` on the logger, once per file and process.
void attach_handler(py::handle value, py::handle path, py::handle key) {
    if (contains(log_names.attached_paths, key)) return;
    py::object logging = import(log_names.name_logging);
    py::object handler;
    try {
        handler = call(logging.attr(log_names.name_file_handler), path, log_names.append_mode, host.text_encoding);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;
        py::object reason = error.value().attr(log_names.name_strerror);
        if (reason.is_none()) reason = py::str(error.value());
        const std::string message =
            py::str("VANTREL_LOG names a log file that cannot be opened for appending: {!r} ({})")
                .format(value, reason).cast<std::string>();
        py::raise_from(error, error.type().ptr(), message.c_str());
        throw py::error_already_set();
    }
    call_method(handler, log_names.name_set_level, log_names.info);
    call_method(handler, log_names.name_set_formatter, call(logging.attr(log_names.name_formatter), log_names.line_format));
    call_method(logger(), log_names.name_add_handler, handler);
    py::reinterpret_borrow<py::set>(log_names.attached_paths).add(key);
    py::reinterpret_borrow<py::list>(log_names.own_handlers).append(handler);
}

}  // namespace

void attach_file() {
    py::object value = call_method(host.os.attr(host.name_environ), host.name_get, log_names.log_variable);
    if (value.is_none() || py::len(value) == 0) return;
    py::object os_path = host.os.attr(host.name_path);
    py::object path = call_method(os_path, log_names.name_abspath, value);
    py::object key = call_method(os_path, log_names.name_normcase, path);  // one file, however spelt
    // Runs in two threads attach one handler between them, and neither goes on before it is
    // attached. Python's lock waits without the GIL, which its holder may need meanwhile.
    call_method(log_names.attaching, log_names.name_acquire);
    try {
        attach_handler(value, path, key);
    } catch (...) {
        call_method(log_names.attaching, log_names.name_release);
        throw;
    }
    call_method(log_names.attaching, log_names.name_release);
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
    py::object name = type.attr(log_names.name_type_name);
    return py::len(message) == 0 ? name : py::str("{}: {}").format(name, message);
}

py::object describe_error(const py::error_already_set& error) { return describe(error.type(), error.value()); }

void row_failed(const Lines& line, py::handle name) { dropped(line, "attempt dropped", name); }

void draft_reload(const Lines& line) { dropped(line, "draft cleanup: reload after a failed cycle", py::handle()); }

void passes_ended(const Lines& line, const py::error_already_set& leaving) {
    emit(log_names.info, In::get_res, &line, [&]() -> py::object {
        return py::str("passes ended by {}: the result workbook is made whole before the run ends")
            .format(describe_error(leaving));
    });
}

void in_flight_unrecorded(py::handle name, const py::error_already_set& error) {
    emit(log_names.info, In::get_res, nullptr, [&]() -> py::object {
        return py::str("row {!r}: the copy could not be traced ({}): nothing clicked; the row comes up again")
            .format(name, describe_error(error));
    });
}

void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary, Leftover leftover) {
    emit(log_names.info, In::get_res, nullptr, [&]() -> py::object {
        const char* format = leftover == Leftover::removed ? "save failed: {!r}, {}; temporary file {!r} removed"
                             : leftover == Leftover::kept
                                 ? "save failed: {!r}, {}; temporary file {!r} could not be removed"
                                 : "save failed: {!r}, {}; no temporary file left";
        return py::str(format).format(res_path, describe_error(error), temporary);
    });
}

}  // namespace runlog
}  // namespace vantrel
