// The run log, on the logger `logging.getLogger("vantrel")`, whose level and handlers are read
// for every record, so that the host's configuration at that moment decides; a record is made
// only when the logger is enabled for its level or a log file of VANTREL_LOG is attached. That
// file hears every INFO record whatever the host's levels are, and the host hears only what its
// own configuration lets through.

#include "runlog.hpp"

#include <atomic>

namespace vantrel {
namespace {

// The run log's names and formats, and what it keeps for the life of the process.
struct RunLogNames {
    py::handle logger_name = intern("vantrel");
    py::handle source_file = intern(kSourceFile);
    py::handle log_variable = intern("VANTREL_LOG");
    py::handle append_mode = intern("a");
    py::handle line_format = intern("%(asctime)s %(message)s");
    py::handle in_main = intern("main");
    py::handle in_resume = intern("resume");
    // What the pages showed, kept beside the log file.
    py::handle pages_suffix = intern(".pages");
    py::handle stamp_format = intern("%Y%m%d-%H%M%S-%f");
    py::handle png_suffix = intern(".png");
    py::handle html_suffix = intern(".html");
    py::handle write_bytes = intern("wb");
    py::handle write_text = intern("w");
    py::handle owner_only = keep(py::int_(0700));
    py::handle pages_kept = keep(py::int_(200));  // the newest pairs kept in the folder
    py::handle line_break = intern("\n");
    py::handle info = keep(py::int_(20));     // the levels of logging, fixed by its interface
    py::handle debug = keep(py::int_(10));
    py::handle no_arguments = keep(py::tuple());    // a record's message is complete: nothing to format into it
    py::handle attached_paths = keep(py::set());    // the log files attached in this process, by absolute path
    py::handle own_handlers = keep(py::list());     // their handlers
    // held while a log file is attached
    py::handle attaching = keep(call_method(import(host->name_threading), host->name_lock));
    py::handle logger = keep(call_method(import(host->name_logging), host->name_get_logger, logger_name));
};
const RunLogNames* log_names = nullptr;

// logging hands out one logger of a name for the life of the process; its level and handlers are
// read afresh for every record.
py::handle logger() { return log_names->logger; }

py::handle function_name(runlog::In function) {
    switch (function) {
    case runlog::In::main: return log_names->in_main;
    case runlog::In::start: return host->name_start;
    case runlog::In::resume: return log_names->in_resume;
    case runlog::In::check: return host->name_check;
    default: return host->name_get_res;
    }
}

// One record of `level`. It names the module's pseudo source file and the step line, as traceback
// entries do. The host hears it through its logger; our files hear every INFO record, even one the
// host's levels turn away, unless the host took their handler off the logger.
void emit(py::handle level, runlog::In function, const Lines* line, const std::function<py::object()>& make,
          py::handle exc_info = py::none()) {
    try {
        py::handle log = logger();
        const bool host_hears = py::bool_(call_method(log, host->name_is_enabled_for, level));
        const bool files_hear = level.is(log_names->info) && py::len(log_names->own_handlers) > 0;
        if (!host_hears && !files_hear) return;
        py::object entry = call_method(log, host->name_make_record, log_names->logger_name, level,
                                       log_names->source_file, line ? line->current() : 0, make(),
                                       log_names->no_arguments, exc_info, function_name(function));
        if (host_hears) {
            call_method(log, host->name_handle, entry);  // our files are among its handlers
            return;
        }
        py::object attached = log.attr(host->name_handlers);
        for (py::handle handler : py::reinterpret_borrow<py::list>(log_names->own_handlers)) {
            if (contains(attached, handler)) call_method(handler, host->name_handle, entry);
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
void dropped(const Lines& line, const char* what, py::handle name, py::handle kept = py::handle()) {
    try {
        py::error_already_set error = caught(line);
        auto make = [&] {
            py::object cause = runlog::describe_error(error);
            py::str said = name ? py::str("row {!r}: {} at line {}: {}").format(name, what, line.current(), cause)
                                : py::str("{} at line {}: {}").format(what, line.current(), cause);
            return kept ? py::str("{}; {}").format(said, kept) : said;
        };
        emit(log_names->info, runlog::In::get_res, &line, make);
        py::object trace = error.trace() ? error.trace() : py::none();
        emit(log_names->debug, runlog::In::get_res, &line, make, py::make_tuple(error.type(), error.value(), trace));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

}  // namespace

void create_runlog_constants() {
    static const RunLogNames names;
    log_names = &names;
}

namespace runlog {

void record(In function, const Lines* line, const std::function<py::object()>& make) {
    emit(log_names->info, function, line, make);
}

namespace {

// A handler of the file at `path` on the logger, once per file and process.
void attach_handler(py::handle value, py::handle path, py::handle key) {
    if (contains(log_names->attached_paths, key)) return;
    py::object logging = import(host->name_logging);
    py::object handler;
    try {
        handler = call(logging.attr(host->name_file_handler), path, log_names->append_mode, host->text_encoding);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) throw;
        py::object reason = error.value().attr(host->name_strerror);
        if (reason.is_none()) reason = py::str(error.value());
        const std::string message =
            py::str("VANTREL_LOG names a log file that cannot be opened for appending: {!r} ({})")
                .format(value, reason).cast<std::string>();
        py::raise_from(error, error.type().ptr(), message.c_str());
        throw py::error_already_set();
    }
    call_method(handler, host->name_set_level, log_names->info);
    call_method(handler, host->name_set_formatter, call(logging.attr(host->name_formatter), log_names->line_format));
    call_method(logger(), host->name_add_handler, handler);
    py::reinterpret_borrow<py::set>(log_names->attached_paths).add(key);
    py::reinterpret_borrow<py::list>(log_names->own_handlers).append(handler);
}

}  // namespace

void attach_file() {
    py::object value = call_method(host->os.attr(host->name_environ), host->name_get, log_names->log_variable);
    if (value.is_none() || py::len(value) == 0) return;
    py::object os_path = host->os.attr(host->name_path);
    py::object path = call_method(os_path, host->name_abspath, value);
    py::object key = call_method(os_path, host->name_normcase, path);  // one file, however spelt
    // Runs in two threads attach one handler between them, and neither goes on before it is
    // attached. Python's lock waits without the GIL, which its holder may need meanwhile.
    call_method(log_names->attaching, host->name_acquire);
    try {
        attach_handler(value, path, key);
    } catch (...) {
        call_method(log_names->attaching, host->name_release);
        throw;
    }
    call_method(log_names->attaching, host->name_release);
}

// "Type: first line of the message"; a multi-line message (a driver's, with its stack) keeps its
// first line that says something, so that every line of the log file starts with its timestamp.
py::object describe(py::handle type, py::handle value) {
    py::str message(value);
    py::list lines = message.attr(host->name_split)(log_names->line_break);
    if (py::len(lines) > 1) {
        message = py::str("");
        for (py::handle part : lines) {
            message = call_method(part, host->name_strip);
            if (py::len(message) > 0) break;
        }
    }
    py::object name = type.attr(host->name_type_name);
    return py::len(message) == 0 ? name : py::str("{}: {}").format(name, message);
}

py::object describe_error(const py::error_already_set& error) { return describe(error.type(), error.value()); }

void row_failed(const Lines& line, py::handle name, py::handle kept) { dropped(line, "attempt dropped", name, kept); }

namespace {

std::atomic<long> pages_taken{0};  // captures in this process: apart the names of one moment

void write_file(py::handle path, py::handle mode, py::handle data) {
    py::object io = import(host->name_io);
    py::object file = mode.is(log_names->write_bytes)
                          ? call_method(io, host->name_open, path, mode)
                          : call_method(io, host->name_open, path, mode, py::arg("encoding") = host->text_encoding);
    try {
        call_method(file, host->name_write, data);
    } catch (...) {
        call_method(file, host->name_close);
        throw;
    }
    call_method(file, host->name_close);
}

// The oldest pairs beyond the newest `pages_kept`; their names begin with the moment taken.
void prune(py::handle folder) {
    py::object os_path = host->os.attr(host->name_path);
    py::list names = call(global(host->name_sorted), call_method(host->os, host->name_listdir, folder));
    py::list stems;
    for (py::handle name : names) {
        if (py::bool_(call_method(name, host->name_endswith, log_names->png_suffix))) {
            stems.append(py::str(name)[py::slice(0, -static_cast<py::ssize_t>(py::len(log_names->png_suffix)), 1)]);
        }
    }
    const py::ssize_t excess = static_cast<py::ssize_t>(py::len(stems)) - log_names->pages_kept.cast<py::ssize_t>();
    for (py::ssize_t i = 0; i < excess; ++i) {
        for (py::handle suffix : {log_names->png_suffix, log_names->html_suffix}) {
            py::object path = call_method(os_path, host->name_join, folder, py::object(stems[i]) + suffix);
            try {
                call_method(host->os, host->name_remove, path);
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_FileNotFoundError)) throw;
            }
        }
    }
}

}  // namespace

py::object keep_page(py::handle driver, py::handle row) {
    py::object value = call_method(host->os.attr(host->name_environ), host->name_get, log_names->log_variable);
    if (value.is_none() || py::len(value) == 0) return py::object();
    try {
        py::object os_path = host->os.attr(host->name_path);
        py::object folder = call_method(os_path, host->name_abspath, value) + log_names->pages_suffix;
        call_method(host->os, host->name_makedirs, folder, log_names->owner_only, true);
        call_method(host->os, host->name_chmod, folder, log_names->owner_only);
        py::str stem = py::str("{}-{:05d}-row{}").format(call_method(now(), host->name_strftime, log_names->stamp_format),
                                                         ++pages_taken % 100000, row);
        py::object png = call_method(os_path, host->name_join, folder, stem + log_names->png_suffix);
        py::object html = call_method(os_path, host->name_join, folder, stem + log_names->html_suffix);
        write_file(png, log_names->write_bytes, call_method(driver, host->name_get_screenshot_as_png));
        write_file(html, log_names->write_text, driver.attr(host->name_page_source));
        prune(folder);
        return py::str("page kept: {} and {}").format(png, stem + log_names->html_suffix);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return py::str("page not kept: {}").format(describe_error(error));
    }
}

void draft_reload(const Lines& line) { dropped(line, "draft cleanup: reload after a failed cycle", py::handle()); }

void passes_ended(const Lines& line, const py::error_already_set& leaving) {
    emit(log_names->info, In::get_res, &line, [&]() -> py::object {
        return py::str("passes ended by {}: the result workbook is made whole before the run ends")
            .format(describe_error(leaving));
    });
}

void in_flight_unrecorded(py::handle name, const py::error_already_set& error) {
    emit(log_names->info, In::get_res, nullptr, [&]() -> py::object {
        return py::str("row {!r}: the copy could not be traced ({}): nothing clicked; the row comes up again")
            .format(name, describe_error(error));
    });
}

void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary, Leftover leftover) {
    emit(log_names->info, In::get_res, nullptr, [&]() -> py::object {
        const char* format = leftover == Leftover::removed ? "save failed: {!r}, {}; temporary file {!r} removed"
                             : leftover == Leftover::kept
                                 ? "save failed: {!r}, {}; temporary file {!r} could not be removed"
                                 : "save failed: {!r}, {}; no temporary file left";
        return py::str(format).format(res_path, describe_error(error), temporary);
    });
}

}  // namespace runlog
}  // namespace vantrel
