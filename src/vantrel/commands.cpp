// The console commands. Their arguments stand for the answers to the prompts and for the
// environment's settings; a run's exit status says how it ended, and a summary line says what it
// did.

#include "commands.hpp"

#include "browser.hpp"
#include "check.hpp"
#include "console.hpp"
#include "replication.hpp"
#include "runlog.hpp"

#include <iterator>
#include <utility>

namespace vantrel {
namespace {

py::object image_wait_argument(py::object text);
py::object port_argument(py::object text);
py::object minutes_argument(py::object text);
py::object rest_argument(py::object text);

// The commands' exit statuses, besides 0 and the check's 1.
constexpr int kStatusError = 1;
constexpr int kStatusStopped = 130;  // as a shell reports a command that Ctrl+C ended

struct CommandTexts {
    py::handle origin_variable = intern("VANTREL_ORIGIN");
    py::handle log_variable = intern("VANTREL_LOG");
    py::handle login_wait_variable = intern("VANTREL_LOGIN_WAIT");
    py::handle rest_variable = intern("VANTREL_REST");
    py::handle image_wait_type = keep(py::cpp_function(image_wait_argument));
    py::handle port_type = keep(py::cpp_function(port_argument));
    py::handle minutes_type = keep(py::cpp_function(minutes_argument));
    py::handle rest_type = keep(py::cpp_function(rest_argument));
    py::handle lowest_port = keep(py::int_(1));
    py::handle highest_port = keep(py::int_(65535));
    py::handle no_seconds = keep(py::int_(0));
    // vantrel-chrome
    py::handle default_port = intern("9222");
    py::handle profile_folder = intern("vantrel-chrome");
    py::handle home = intern("~");
    py::handle end_of_options = intern("--");
    py::handle chrome_wait = keep(py::float_(0.5));  // seconds between looks at a starting Chrome's port
    py::handle started_label = intern("Chrome started:");
    py::handle running_label = intern("Chrome is running already:");
    py::handle next_label = intern("next:");
    py::handle port_word = intern("port");
    py::handle profile_word = intern("profile");
};
const CommandTexts* commands = nullptr;

constexpr int kChromeLooks = 60;  // 30 s for a starting Chrome to answer on its port

[[noreturn]] void reject_argument(py::str message) {
    py::object error_type = import(host->name_argparse).attr(host->name_argument_type_error);
    PyErr_SetObject(error_type.ptr(), message.ptr());
    throw py::error_already_set();
}

// `int(text)`; where the text is no whole number the argument is refused, `refusal` saying why.
py::object whole_number(py::object text, const char* refusal) {
    try {
        return py::int_(text);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        reject_argument(py::str(refusal).format(text));
    }
}

// A whole number of seconds, 0 or more, as the image delay's prompt takes it.
py::object image_wait_argument(py::object text) {
    py::object seconds = whole_number(text, "not a whole number of seconds: {!r}");
    if (compare_true(seconds, commands->no_seconds, Py_LT)) {
        reject_argument(py::str("the image wait must be 0 or more seconds, got {}").format(seconds));
    }
    return seconds;
}

// A TCP port, as text: the port's prompt hands the launch its answer as text.
py::object port_argument(py::object text) {
    py::object port = whole_number(text, "not a port number: {!r}");
    if (compare_true(port, commands->lowest_port, Py_LT) || compare_true(port, commands->highest_port, Py_GT)) {
        reject_argument(py::str("not a port number: {} (1 to 65535)").format(port));
    }
    return py::str(port);
}

// An argument that stands for a run's setting, read as the run reads the setting.
template <typename Check>
py::object setting_argument(py::object text, const char* flag, Check check) {
    try {
        check(py::str(flag), text);
    } catch (py::value_error& refused) {
        reject_argument(py::str(refused.what()));
    }
    return call_method(text, host->name_strip);
}

// A number of minutes, 0 or more: how long a lost login is waited for.
py::object minutes_argument(py::object text) { return setting_argument(text, "--login-wait", check_login_wait); }

// "N,MINUTES": a rest of MINUTES after every N copies published.
py::object rest_argument(py::object text) { return setting_argument(text, "--rest", check_rest); }

enum class Command { run, resume, check, chrome };

// vantrel-chrome's parser.
py::object chrome_parser() {
    py::object parser = import(host->name_argparse).attr(host->name_argument_parser)(
        py::arg("prog") = "vantrel-chrome",
        py::arg("description") =
            "Starts Chrome for a run: with its remote debugging port, on 127.0.0.1, and a profile folder "
            "of its own, never Chrome's default profile. Log in to the marketplace in the window it opens; "
            "a run then attaches to that Chrome. If a Chrome answers on the port already, nothing is started.",
        py::arg("epilog") =
            "Arguments after -- go to Chrome. Exit status: 0 Chrome answers on the port, 1 it did not come "
            "up, 2 a wrong argument or no Chrome found.");
    auto add = [&](const char* flag, auto... options) {
        call_method(parser, host->name_add_argument, flag, std::move(options)...);
    };
    add("--chrome", py::arg("metavar") = "PATH",
        py::arg("help") = "the Chrome to start (chrome.exe with its whole path); else the Chrome installed for all "
                          "users, then for you (on Linux google-chrome or chromium)");
    add("--port", py::arg("type") = commands->port_type, py::arg("metavar") = "PORT",
        py::arg("default") = commands->default_port, py::arg("help") = "the remote debugging port (9222 unless given)");
    add("--profile", py::arg("metavar") = "DIR",
        py::arg("help") = "Chrome's profile folder for runs (vantrel-chrome in your home folder unless given)");
    add("--origin", py::arg("metavar") = "URL",
        py::arg("help") = "the marketplace's address, whose on-sale page the window opens; stands for "
                          "VANTREL_ORIGIN and wins over it");
    add("chrome_arguments", py::arg("nargs") = "*", py::arg("metavar") = "-- CHROME_ARGUMENT",
        py::arg("help") = "more arguments for Chrome, after --");
    return parser;
}

// The command's parser. Its help says what each argument stands for.
py::object parser_for(Command command) {
    if (command == Command::chrome) return chrome_parser();
    py::object argparse = import(host->name_argparse);
    const bool run = command == Command::run, resume = command == Command::resume;
    py::object parser = argparse.attr(host->name_argument_parser)(
        py::arg("prog") = run ? "vantrel" : resume ? "vantrel-resume" : "vantrel-check",
        py::arg("description") =
            run ? "Publishes the copies the commodity workbook asks for, through the Chrome started with "
                  "remote debugging and logged in to the marketplace. Whatever is not given here is asked "
                  "at its prompt."
            : resume ? "Goes on with a stopped run from its result workbook: the copy a stop left in flight "
                       "is settled first, then the passes go on, saving into the same workbook. Whatever is "
                       "not given here is asked at its prompt."
                     : "Checks before a run what it would meet: Chrome, the on-sale page, every row's search "
                       "and the drafts the cleanup would delete. It publishes and writes nothing. Whatever is "
                       "not given here is asked at its prompt.",
        py::arg("epilog") =
            command == Command::check
                ? "Exit status: 0 ready to run, 1 not ready or an error, 2 a wrong argument."
                : "Exit status: 0 the run reached its finish line, 130 stopped by Ctrl+C, 1 an error ended "
                  "it, 2 a wrong argument. The run summary is the last line on the console and in the log.");
    auto add = [&](const char* flag, auto... options) {
        // As rvalues: pybind11 tells keyword arguments by their type.
        call_method(parser, host->name_add_argument, flag, std::move(options)...);
    };
    if (resume) {
        add("workbook", py::arg("nargs") = "?", py::arg("metavar") = "RESULT_WORKBOOK",
            py::arg("help") = "the result workbook of the run to go on with (its name ends in res.xlsx)");
    } else {
        add("workbook", py::arg("nargs") = "?", py::arg("metavar") = "WORKBOOK",
            py::arg("help") = "the commodity workbook (.xlsx, columns name and amount)");
    }
    if (command != Command::check) {
        add("--image-wait", py::arg("type") = commands->image_wait_type, py::arg("metavar") = "SECONDS",
            py::arg("help") = "seconds to wait for a copy's images: a whole number, 0 or more (2 or more advised)");
    }
    add("--port", py::arg("type") = commands->port_type, py::arg("metavar") = "PORT",
        py::arg("help") = "the remote debugging port of the Chrome to attach to, such as 9222");
    add("--origin", py::arg("metavar") = "URL",
        py::arg("help") = "the marketplace's address; stands for VANTREL_ORIGIN and wins over it");
    add("--log", py::arg("metavar") = "FILE",
        py::arg("help") = "the run log, appended to; stands for VANTREL_LOG and wins over it");
    if (command != Command::check) {
        add("--login-wait", py::arg("type") = commands->minutes_type, py::arg("metavar") = "MINUTES",
            py::arg("help") = "how long a lost login is waited for before the run ends (60 unless given); stands "
                              "for VANTREL_LOGIN_WAIT and wins over it");
        add("--rest", py::arg("type") = commands->rest_type, py::arg("metavar") = "N,MINUTES",
            py::arg("help") = "rest MINUTES after every N copies published; stands for VANTREL_REST and wins over it");
        add("--no-pause", py::arg("action") = "store_true",
            py::arg("help") = "end without the two-minute pause after the finish line");
    }
    return parser;
}

// Runs a step of argparse's that may end the command: the help shown (0), or a wrong argument,
// with the usage on standard error (2). The status, or -1 where the command goes on.
template <typename Step>
int unless_ended(Step step) {
    try {
        step();
        return -1;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_SystemExit)) throw;
        py::object code = py::reinterpret_borrow<py::object>(error.value()).attr(host->name_code);
        return code.is_none() ? 0 : code.cast<int>();
    }
}

// The command line parsed, or null with `status` set where argparse ended it.
py::object parse(Command command, py::handle argv, int& status) {
    py::object parsed;
    const int ended = unless_ended([&] { parsed = call_method(parser_for(command), host->name_parse_args, argv); });
    if (ended < 0) return parsed;
    status = ended;
    return py::object();
}

// A setting of the environment that an argument stands for, for the length of the command; what
// was there before is put back.
class EnvironmentSetting {
public:
    EnvironmentSetting(py::handle variable, py::object value) : variable_(variable) {
        if (value.is_none()) return;
        py::object environment = host->os.attr(host->name_environ);
        previous_ = call_method(environment, host->name_get, variable);
        environment[variable] = value;
        set_ = true;
    }
    ~EnvironmentSetting() {
        if (!set_) return;
        try {
            py::object environment = host->os.attr(host->name_environ);
            if (previous_.is_none()) {
                call_method(environment, host->name_pop, variable_, py::none());
            } else {
                environment[variable_] = previous_;
            }
        } catch (py::error_already_set&) {
            // On the way out there is nothing to report it to; the process ends with the command.
        }
    }
    EnvironmentSetting(const EnvironmentSetting&) = delete;
    EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;

private:
    py::handle variable_;
    py::object previous_;
    bool set_ = false;
};

py::object answer(py::handle parsed, py::handle name) {
    py::object value = parsed.attr(name);
    return value.is_none() ? py::object() : value;
}

// `main` or `resume`, with what the command line gives, and how it ended as the exit status. An
// error is shown as Python shows one that nobody caught.
int run_command(Command command, py::handle argv, Lines& line) {
    const int first = line.current();
    int status = 0;
    line(first + 1); py::object parsed = parse(command, argv, status);
    if (!parsed) return status;
    line(first + 2);
    EnvironmentSetting origin(commands->origin_variable, parsed.attr(host->name_origin));
    EnvironmentSetting log(commands->log_variable, parsed.attr(host->name_log));
    EnvironmentSetting login_wait(commands->login_wait_variable, parsed.attr(host->name_login_wait));
    EnvironmentSetting rest(commands->rest_variable, parsed.attr(host->name_rest));
    GivenAnswers answers;
    answers.workbook = answer(parsed, host->name_workbook);
    answers.image_delay = answer(parsed, host->name_image_wait);
    answers.port = answer(parsed, host->name_port);
    RunRecord record;
    record.pause = !py::bool_(parsed.attr(host->name_no_pause));
    try {
        line(first + 3); call(global(command == Command::run ? host->name_main : host->name_resume));
    } catch (py::error_already_set& error) {
        if (error.matches(PyExc_KeyboardInterrupt)) {
            // A Ctrl+C in the closing pause comes after the finish line.
            status = record.finished ? 0 : kStatusStopped;
        } else if (error.matches(PyExc_Exception)) {
            call(import(host->name_sys).attr(host->name_excepthook), error.type(), error.value(), error.trace());
            status = kStatusError;
        } else {
            throw;
        }
    }
    record.summarise();
    return status;
}

const char* const cli_params[] = {"argv"};
const char* const cli_locals[] = {"parsed", "status"};

py::object run_cli_body(const py::object* args, Lines& line) {
    return py::int_(run_command(Command::run, args[0], line));
}

py::object resume_cli_body(const py::object* args, Lines& line) {
    return py::int_(run_command(Command::resume, args[0], line));
}

// The check's exit status: 0 when every row a run would work was found and the pages are as a run
// needs them, else 1.
py::object check_cli_body(const py::object* args, Lines& line) {
    int status = 0;
    line(390); py::object parsed = parse(Command::check, args[0], status);
    if (!parsed) return py::int_(status);
    EnvironmentSetting origin(commands->origin_variable, parsed.attr(host->name_origin));
    EnvironmentSetting log(commands->log_variable, parsed.attr(host->name_log));
    GivenAnswers answers;
    answers.workbook = answer(parsed, host->name_workbook);
    answers.port = answer(parsed, host->name_port);
    line(391); py::object frame = call(global(host->name_check));
    line(392); return py::int_(check_ready(frame) ? 0 : 1);
}

// Starts Chrome for a run, unless one answers on the port already.
py::object chrome_cli_body(const py::object* args, Lines& line) {
    line(451); py::object parser = chrome_parser();
    py::object parsed;
    if (int status = unless_ended([&] { parsed = call_method(parser, host->name_parse_args, args[0]); }); status >= 0) {
        return py::int_(status);
    }
    EnvironmentSetting origin(commands->origin_variable, parsed.attr(host->name_origin));
    py::object port = parsed.attr(host->name_port);
    line(452); if (chrome_debugging_at(port)) {
        print_line(py::make_tuple(commands->running_label, commands->port_word, py::int_(port), commands->next_label,
                                  py::str("nothing started; log in to the marketplace in that Chrome's window, then run "
                                          "vantrel-check --port {}").format(port)));
        return py::int_(0);
    }
    line(453); py::object chrome = parsed.attr(host->name_chrome_path);
    py::object os_path = host->os.attr(host->name_path);
    const char* missing = nullptr;
    if (!chrome.is_none() && !py::bool_(call_method(os_path, host->name_isfile, chrome))) {
        missing = "no Chrome at {!r}: give chrome.exe with its whole path";
    } else if (chrome.is_none() && !(chrome = installed_chrome())) {
        missing = "Chrome was not found where it is installed: give its path with --chrome PATH";
    }
    if (missing) {
        const std::string said = py::str(missing).format(chrome).cast<std::string>();
        return py::int_(unless_ended([&] { call_method(parser, host->name_error, said); }));
    }
    py::object profile = parsed.attr(host->name_profile);
    if (profile.is_none()) {
        profile = call_method(os_path, host->name_join, call_method(os_path, host->name_expanduser, commands->home),
                              commands->profile_folder);
    }
    py::list arguments;
    arguments.append(py::str("--remote-debugging-port={}").format(port));
    arguments.append(py::str("--user-data-dir={}").format(call_method(os_path, host->name_abspath, profile)));
    for (py::handle argument : parsed.attr(host->name_chrome_arguments)) {
        if (!compare_true(argument, commands->end_of_options, Py_EQ)) arguments.append(argument);
    }
    py::object wanted_origin = call_method(host->os.attr(host->name_environ), host->name_get, commands->origin_variable);
    if (!wanted_origin.is_none() && py::len(wanted_origin) > 0) arguments.append(onsale_address());
    line(454); py::object process = start_chrome(chrome, arguments);
    line(455); for (int look = 0; look < kChromeLooks; ++look) {
        if (chrome_debugging_at(port)) {
            print_line(py::make_tuple(commands->started_label, chrome, commands->port_word, py::int_(port),
                                      commands->profile_word, profile));
            print_line(py::make_tuple(commands->next_label,
                                      py::str("log in to the marketplace in that Chrome's window, then run vantrel-check "
                                              "--port {}; close that Chrome when the runs are done").format(port)));
            return py::int_(0);
        }
        if (!call_method(process, host->name_poll).is_none()) break;
        sleep(commands->chrome_wait);
    }
    py::object ended = call_method(process, host->name_poll);
    print_line(py::make_tuple(py::str("Chrome did not answer on port {}").format(port),
                              ended.is_none() ? py::str("it is still starting, or its port is taken")
                                              : py::str("it ended with status {}: a Chrome with that profile folder may "
                                                        "be open already; close it and try again").format(ended)));
    return py::int_(1);
}

const char* const chrome_cli_locals[] = {"parsed", "chrome", "profile", "process"};

}  // namespace

const FunctionDef chrome_cli_function = {
    "chrome_cli", "vantrel.chrome_cli", 450, cli_params, std::size(cli_params), chrome_cli_locals,
    std::size(chrome_cli_locals), chrome_cli_body, 1,
};

const FunctionDef run_cli_function = {
    "run_cli", "vantrel.run_cli", 430, cli_params, std::size(cli_params), cli_locals, std::size(cli_locals),
    run_cli_body, 1,
};

const FunctionDef resume_cli_function = {
    "resume_cli", "vantrel.resume_cli", 440, cli_params, std::size(cli_params), cli_locals, std::size(cli_locals),
    resume_cli_body, 1,
};

const FunctionDef check_cli_function = {
    "check_cli", "vantrel.check_cli", 390, cli_params, std::size(cli_params), cli_locals, std::size(cli_locals),
    check_cli_body, 1,
};

void create_command_constants() {
    static const CommandTexts texts;
    commands = &texts;
}

}  // namespace vantrel
