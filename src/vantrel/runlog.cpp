// The run log. The logger is looked up through the host's `logging` for every record, so that the
// host's configuration at that moment decides; a record is made only when the logger is enabled
// for its level or a log file of VANTREL_LOG is attached. That file hears every INFO record
// whatever the host's levels are, and the host hears only what its own configuration lets through.

#include "runlog.hpp"

namespace vantrel {
namespace {

#define VANTREL_RUNLOG_TEXTS(X)                    \
    X(name_logging, "logging")                     \
    X(logger_name, "vantrel")                      \
    X(source_file, kSourceFile)                    \
    X(name_get_logger, "getLogger")                \
    X(name_logger_class, "Logger")                 \
    X(name_manager, "manager")                     \
    X(name_logger_dict, "loggerDict")              \
    X(name_is_enabled_for, "isEnabledFor")         \
    X(name_make_record, "makeRecord")              \
    X(name_handle, "handle")                       \
    X(name_handlers, "handlers")                   \
    X(name_file_handler, "FileHandler")            \
    X(name_formatter, "Formatter")                 \
    X(name_set_formatter, "setFormatter")          \
    X(name_set_level, "setLevel")                  \
    X(name_add_handler, "addHandler")              \
    X(name_environ, "environ")                     \
    X(name_get, "get")                             \
    X(name_path, "path")                           \
    X(name_abspath, "abspath")                     \
    X(name_normcase, "normcase")                   \
    X(name_strerror, "strerror")                   \
    X(name_type_name, "__name__")                  \
    X(log_variable, "VANTREL_LOG")                 \
    X(append_mode, "a")                            \
    X(file_encoding, "utf-8")                      \
    X(line_format, "%(asctime)s %(message)s")      \
    X(in_main, "main")                             \
    X(in_start, "start")                           \
    X(in_get_res, "get_res")                       \
    X(in_resume, "resume")                         \
    X(in_check, "check")

struct RunLogTexts {
    VANTREL_RUNLOG_TEXTS(VANTREL_TEXT_FIELD)
    py::handle info, debug;      // the levels of logging, fixed by its interface
    py::handle no_arguments;     // a record's message is complete: nothing to format into it
    py::handle attached_paths;   // the log files attached in this process, by absolute path
    py::handle own_handlers;     // their handlers
};
RunLogTexts logs;

// A message made by the host's own formatting of objects; only ever for a record that is heard.
template <typename... Args>
py::object text(const char* format, Args... args) {
    return detail::owned(PyUnicode_FromFormat(format, args...));
}

py::object logging_module() {
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), logs.name_logging.ptr());
    if (found) {
        return py::reinterpret_borrow<py::object>(found);
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return import(logs.name_logging);
}

// The logger `getLogger("vantrel")` gives, read off the manager's table of loggers as getLogger
// itself finds it, without taking logging's module lock for every record; getLogger makes it
// when the table does not hold it yet.
py::object logger() {
    py::object logging = logging_module();
    py::object logger_class = logging.attr(logs.name_logger_class);
    py::object known = logger_class.attr(logs.name_manager).attr(logs.name_logger_dict);
    PyObject* found = PyDict_Check(known.ptr())
                          ? PyDict_GetItemWithError(known.ptr(), logs.logger_name.ptr())
                          : nullptr;
    if (found) {
        const int is_logger = PyObject_IsInstance(found, logger_class.ptr());
        if (is_logger > 0) {
            return py::reinterpret_borrow<py::object>(found);
        }
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return call_method(logging, logs.name_get_logger, logs.logger_name);
}

// Who hears a record of one level: the host through its logger, and our log files.
struct Listeners {
    py::object logger;
    bool host = false;
    bool files = false;

    explicit operator bool() const { return host || files; }
};

Listeners listeners(py::handle level) {
    Listeners who;
    who.logger = logger();
    who.host = py::bool_(call_method(who.logger, logs.name_is_enabled_for, level));
    who.files = level.is(logs.info) && PyList_GET_SIZE(logs.own_handlers.ptr()) > 0;
    return who;
}

// The record names the module's pseudo source file and the step line, as traceback entries do.
void emit(const Listeners& who, py::handle level, py::handle function, const Lines* line,
          const py::object& message, py::handle exc_info = py::none()) {
    py::object record = call_method(who.logger, logs.name_make_record, logs.logger_name, level,
                                    logs.source_file, py::int_(line ? line->current() : 0),
                                    message, logs.no_arguments, exc_info, function);
    if (who.host) {
        call_method(who.logger, logs.name_handle, record);  // our files are among its handlers
        return;
    }
    py::object attached = who.logger.attr(logs.name_handlers);  // unless the host took one off
    for (py::handle handler : py::reinterpret_borrow<py::list>(logs.own_handlers)) {
        if (contains(attached, handler)) {
            call_method(handler, logs.name_handle, record);
        }
    }
}

// Runs one record's work; what goes wrong in logging is dropped, interrupts and exits aside.
template <typename Body>
void guarded(Body&& body) {
    try {
        body();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
    }
}

// One INFO record of get_res, its message made only when it is heard.
template <typename Make>
void info(const Lines& line, Make&& make) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_get_res, &line, make());
        }
    });
}

// "Type: first line of the message"; a multi-line message (a driver's, with its stack) keeps its
// first line, so that every line of the log file starts with its timestamp.
py::object describe_exception(py::handle type, py::handle value) {
    py::object message = py::str(value);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(message.ptr());
    const Py_ssize_t end = PyUnicode_FindChar(message.ptr(), '\n', 0, length, 1);
    if (end == -2) {
        throw py::error_already_set();
    }
    if (end >= 0) {
        message = detail::owned(PyUnicode_Substring(message.ptr(), 0, end));
        message = call_method(message, host.name_strip);
    }
    py::object name = type.attr(logs.name_type_name);
    if (PyUnicode_GET_LENGTH(message.ptr()) == 0) {
        return name;
    }
    return text("%S: %S", name.ptr(), message.ptr());
}

// The exception being handled, as the host would see it raised from the step: type, value and a
// traceback that ends in the module's own entry for that line.
struct Caught {
    py::object type, value, traceback;
};

Caught caught(const Lines& line) {
    raise_from_cpp();
    add_traceback("vantrel.get_res", line.current());
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Caught error{py::reinterpret_steal<py::object>(type), py::reinterpret_steal<py::object>(value),
                 py::reinterpret_steal<py::object>(traceback)};
    if (error.traceback) {
        PyException_SetTraceback(error.value.ptr(), error.traceback.ptr());
    }
    return error;
}

// The INFO record of a dropped exception, and its traceback at DEBUG for a host that asks.
void dropped(const Lines& line, const char* what, py::handle name) {
    guarded([&] {
        Listeners who = listeners(logs.info);
        Listeners deep = listeners(logs.debug);
        if (!who && !deep) {
            return;
        }
        Caught error = caught(line);
        py::object cause = describe_exception(error.type, error.value);
        py::object message =
            name ? text("row %R: %s at line %d: %S", name.ptr(), what, line.current(), cause.ptr())
                 : text("%s at line %d: %S", what, line.current(), cause.ptr());
        if (who) {
            emit(who, logs.info, logs.in_get_res, &line, message);
        }
        if (deep) {
            emit(deep, logs.debug, logs.in_get_res, &line, message,
                 py::make_tuple(error.type, error.value,
                                error.traceback ? error.traceback : py::none()));
        }
    });
}

}  // namespace

void create_runlog_constants() {
    RunLogTexts& table = logs;
    VANTREL_RUNLOG_TEXTS(VANTREL_TEXT_CREATE)
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
    py::object logging = logging_module();
    py::object handler;
    try {
        handler = call(logging.attr(logs.name_file_handler), path, logs.append_mode, logs.file_encoding);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
        py::object reason = error.value().attr(logs.name_strerror);
        if (reason.is_none()) {
            reason = py::str(error.value());
        }
        const std::string message =
            py::str(text("VANTREL_LOG names a log file that cannot be opened for appending: %R (%S)",
                         value.ptr(), reason.ptr()))
                .cast<std::string>();
        py::raise_from(error, error.type().ptr(), message.c_str());
        throw py::error_already_set();
    }
    call_method(handler, logs.name_set_level, logs.info);
    call_method(handler, logs.name_set_formatter, call(logging.attr(logs.name_formatter), logs.line_format));
    call_method(logger(), logs.name_add_handler, handler);
    if (PySet_Add(logs.attached_paths.ptr(), key.ptr()) < 0 ||
        PyList_Append(logs.own_handlers.ptr(), handler.ptr()) < 0) {
        throw py::error_already_set();
    }
}

void launch_answers(const Lines& line, py::handle file_path, py::handle pic_wait,
                    py::handle chrome_port) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_main, &line,
                 text("launch: commodity workbook %R, image wait %S s, Chrome port %R",
                      file_path.ptr(), pic_wait.ptr(), chrome_port.ptr()));
        }
    });
}

void begin(const Lines& line, py::handle res_path) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_start, &line, text("begin: result workbook %R", res_path.ptr()));
        }
    });
}

void finish(const Lines& line, py::handle start_time, py::handle end_time) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            py::object elapsed = py::reinterpret_borrow<py::object>(end_time) - start_time;
            emit(who, logs.info, logs.in_start, &line, text("finish: took %S", elapsed.ptr()));
        }
    });
}

void plan(const Lines& line, long pass, py::handle max_times) {
    info(line, [&] {
        return pass == 0 ? text("plan: max_times %S", max_times.ptr())
                         : text("plan after pass %ld: max_times %S", pass, max_times.ptr());
    });
}

void row_reached(const Lines& line, py::handle name, long pass, py::handle amount, py::handle added) {
    info(line, [&] {
        return text("row %R: pass %ld, amount %S, added %S", name.ptr(), pass, amount.ptr(), added.ptr());
    });
}

void row_marked(const Lines& line, py::handle name, py::handle sign) {
    info(line, [&] { return text("row %R: left early, sign is %S", name.ptr(), sign.ptr()); });
}

void row_complete(const Lines& line, py::handle name, py::handle amount, py::handle added) {
    info(line, [&] {
        return text("row %R: left early, amount %S reached (added %S)", name.ptr(), amount.ptr(), added.ptr());
    });
}

void no_results(const Lines& line, py::handle name, py::handle added) {
    info(line, [&] {
        return holds(added, py::int_(0), Py_EQ)
                   ? text("row %R: no search results, sign 2 written", name.ptr())
                   : text("row %R: no search results, sign stays 0 (added %S)", name.ptr(), added.ptr());
    });
}

void not_found(const Lines& line, py::handle name, py::handle added) {
    info(line, [&] {
        return holds(added, py::int_(0), Py_EQ)
                   ? text("row %R: listing not found on any result page, sign 1 written", name.ptr())
                   : text("row %R: listing not found on any result page, sign stays 0 (added %S)",
                          name.ptr(), added.ptr());
    });
}

void images_missing(const Lines& line, py::handle name) {
    info(line, [&] {
        return text("row %R: left early, the editor's images were not in place after the image wait",
                    name.ptr());
    });
}

void still_in_editor(const Lines& line, py::handle name) {
    info(line, [&] {
        return text("row %R: left early, still in the editor after publishing, not counted", name.ptr());
    });
}

void published(const Lines& line, py::handle name, py::handle added) {
    info(line, [&] {
        py::object now_added = py::reinterpret_borrow<py::object>(added) + py::int_(1);
        return text("row %R: copy published, added %S", name.ptr(), now_added.ptr());
    });
}

void draft_deleted(const Lines& line, long deleted) {
    info(line, [&] { return text("draft cleanup: draft %ld deleted", deleted); });
}

void save_again(const Lines& line, py::handle res_path, int attempt, int attempts) {
    info(line, [&] {
        return text("result workbook %R behind the table after the last pass: save attempt %d of %d",
                    res_path.ptr(), attempt, attempts);
    });
}

void unsaved_written(const Lines& line, py::handle unsaved, bool written) {
    info(line, [&] {
        return written ? text("the table as it stands written to %R", unsaved.ptr())
                       : text("the table could not be written to %R either", unsaved.ptr());
    });
}

void row_failed(const Lines& line, py::handle name) { dropped(line, "attempt dropped", name); }

py::object describe(py::handle type, py::handle value) { return describe_exception(type, value); }

void interrupt_held(const Lines& line, py::handle name) {
    info(line, [&] {
        return text("row %R: Ctrl+C during the publish, held until the copy's outcome was saved; "
                    "the row ends here", name.ptr());
    });
}

void stop_on_request(const Lines& line) {
    info(line, [&] {
        return text("stop: a second Ctrl+C within 5 s asked the run to stop; no row is in flight");
    });
}

void browser_gone(const Lines& line, const char* what) {
    info(line, [&] { return text("%s is gone: the run ends; vantrel-resume goes on with it", what); });
}

void passes_ended(const Lines& line, const py::error_already_set& leaving) {
    info(line, [&] {
        py::object cause = describe_exception(leaving.type(), leaving.value());
        return text("passes ended by %S: the result workbook is made whole before the run ends", cause.ptr());
    });
}

void in_flight_unrecorded(py::handle name, const py::error_already_set& error) {
    guarded([&] {
        Listeners who = listeners(logs.info);
        if (!who) {
            return;
        }
        py::object cause = describe_exception(error.type(), error.value());
        emit(who, logs.info, logs.in_get_res, nullptr,
             text("row %R: the copy in flight could not be recorded (%S); it is published all the same",
                  name.ptr(), cause.ptr()));
    });
}

void resume_answers(const Lines& line, py::handle res_path, py::handle pic_wait, py::handle chrome_port) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_resume, &line,
                 text("resume: result workbook %R, image wait %S s, Chrome port %R",
                      res_path.ptr(), pic_wait.ptr(), chrome_port.ptr()));
        }
    });
}

void in_flight_settled(const Lines& line, py::handle name, bool counted, const char* why) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_resume, &line,
                 counted ? text("resume: row %R: the copy in flight went out (%s): counted", name.ptr(), why)
                         : text("resume: row %R: the copy in flight did not go out (%s): not counted",
                                name.ptr(), why));
        }
    });
}

void draft_reload(const Lines& line) {
    dropped(line, "draft cleanup: reload after a failed cycle", py::handle());
}

void save_failed(py::handle res_path, const py::error_already_set& error, py::handle temporary,
                 Leftover leftover) {
    guarded([&] {
        Listeners who = listeners(logs.info);
        if (!who) {
            return;
        }
        py::object cause = describe_exception(error.type(), error.value());
        py::object message =
            leftover == Leftover::removed
                ? text("save failed: %R, %S; temporary file %R removed", res_path.ptr(), cause.ptr(), temporary.ptr())
            : leftover == Leftover::kept
                ? text("save failed: %R, %S; temporary file %R could not be removed", res_path.ptr(), cause.ptr(), temporary.ptr())
                : text("save failed: %R, %S; no temporary file left", res_path.ptr(), cause.ptr());
        emit(who, logs.info, logs.in_get_res, nullptr, message);
    });
}

py::object describe_error(const py::error_already_set& error) { return describe(error.type(), error.value()); }

namespace {

// One INFO record of the check, its message made only when it is heard.
template <typename Make>
void check_info(const Lines& line, Make&& make) {
    guarded([&] {
        if (Listeners who = listeners(logs.info)) {
            emit(who, logs.info, logs.in_check, &line, make());
        }
    });
}

}  // namespace

void check_launch(const Lines& line, py::handle file_path, py::handle chrome_port) {
    check_info(line, [&] {
        return text("check: commodity workbook %R, Chrome port %R", file_path.ptr(), chrome_port.ptr());
    });
}

void check_found(const Lines& line, py::handle name, long page) {
    check_info(line, [&] { return text("check: row %R found on result page %ld", name.ptr(), page); });
}

void check_missing(const Lines& line, py::handle name, py::handle code, long pages) {
    check_info(line, [&] {
        return holds(code, py::int_(2), Py_EQ)
                   ? text("check: row %R: no search results, a run writes sign 2", name.ptr())
                   : text("check: row %R: listing not found on %ld result pages, a run writes sign 1",
                          name.ptr(), pages);
    });
}

void check_skipped(const Lines& line, py::handle name, py::handle amount) {
    check_info(line, [&] { return text("check: row %R skipped, amount %S", name.ptr(), amount.ptr()); });
}

void check_unchecked(const Lines& line, py::handle name, py::handle reason) {
    check_info(line, [&] { return text("check: row %R not checked: %S", name.ptr(), reason.ptr()); });
}

void check_problem(const Lines& line, py::handle problem) {
    check_info(line, [&] { return text("check: not as expected: %S", problem.ptr()); });
}

void check_drafts(const Lines& line, py::handle titles) {
    check_info(line, [&] {
        return text("check: %zd drafts the cleanup would delete: %R", static_cast<Py_ssize_t>(py::len(titles)),
                    titles.ptr());
    });
}

void check_verdict(const Lines& line, py::handle estimate, py::handle verdict) {
    check_info(line, [&] { return text("check: run estimate %S; %S", estimate.ptr(), verdict.ptr()); });
}

}  // namespace runlog
}  // namespace vantrel
