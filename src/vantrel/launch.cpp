// The operator's interactive launch `main`, the driver of one run `start`, and `resume`, which goes
// on with a stopped run.

#include "launch.hpp"

#include "browser.hpp"
#include "console.hpp"
#include "replication.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <iterator>

namespace vantrel {
namespace {

// The launch's own texts and numbers.
struct LaunchTexts {
    // The run's fixed arguments and the result workbook's name.
    py::handle stamp_format = intern("%Y%m%d %H-%M-%S");
    py::handle result_suffix = intern("res.xlsx");
    py::handle result_stem = keep(py::reinterpret_steal<py::object>(  // the path without its last five characters
        PySlice_New(nullptr, py::int_(-5).ptr(), nullptr)));
    py::handle s_date = intern("20190101");
    py::handle e_date = intern("20210909");
    // The begin and finish lines, and the closing pause of a run.
    py::handle begin_text = intern("Begin-----------------------");
    py::handle finish_text = intern("Finish-----------------------共耗时");
    py::handle pause_seconds = keep(py::int_(120));
};
const LaunchTexts* launch = nullptr;

// The begin line's moment: a command's summary counts the time taken from it.
void run_begins() {
    if (RunRecord* record = RunRecord::current()) record->began = steady_seconds();
}

// After the finish line: a command's summary, then the closing pause, unless the command leaves
// it out.
void after_finish(Lines& line, int pause_line) {
    RunRecord* record = RunRecord::current();
    if (record) {
        record->finished = true;
        record->summarise();
    }
    line(pause_line);
    if (!record || record->pause) sleep(launch->pause_seconds);
}

// --- main -----------------------------------------------------------------------------------------

const char* const main_locals[] = {"file_path",         "pic_wait", "chrome_port", "df",
                                   "key_words",         "domain",   "s_date",      "e_date",
                                   "chromedriver_path", "i",        "a_list_num",  "start_time"};

py::object main_body(const py::object*, Lines& line) {
               runlog::attach_file();
    line(279); py::object file_path = ask_workbook_path();
    line(280); py::object pic_wait = ask_image_delay();
    line(281); py::object chrome_port = ask_chrome_port();
               runlog::info(runlog::In::main, line, "launch: commodity workbook {!r}, image wait {} s, Chrome port {!r}", file_path, pic_wait, chrome_port);
    line(282); py::object df = call_method(global(host->name_pd), host->name_read_excel, file_path);
    line(284); set_item(df, sheet->column_added, sheet->zero);
    line(285); set_item(df, sheet->column_sign, sheet->zero);
    line(288); py::object key_words = df[sheet->column_name].attr(host->name_values);
    line(292); py::list domain;
               domain.append(onsale_address());
    line(303); py::object start_time = now();
    line(304); py::object start = global(host->name_start);
               py::object table = call_method(df, host->name_copy);
               py::object res_path = py::object(file_path[launch->result_stem]) +
                                     call_method(start_time, host->name_strftime, launch->stamp_format) +
                                     launch->result_suffix;
               call(start, pic_wait, launch->s_date, launch->e_date, table, key_words, res_path,
                    sheet->zero, domain[0], chromedriver_path(), chrome_port);
    return py::none();
}


// --- start ----------------------------------------------------------------------------------------

const char* const start_params[] = {"pic_wait",   "s_date", "e_date",           "df",
                                    "key_words",  "res_path", "a_list_num",     "domain",
                                    "chromedriver_path", "chrome_port"};
const char* const start_locals[] = {"start_time", "start_url", "driver", "handles", "end_time"};

py::object start_body(const py::object* args, Lines& line) {
    const py::object& pic_wait = args[0];
    const py::object& s_date = args[1];
    const py::object& e_date = args[2];
    const py::object& df = args[3];
    const py::object& key_words = args[4];
    const py::object& res_path = args[5];
    const py::object& a_list_num = args[6];
    const py::object& domain = args[7];
    const py::object& chromedriver_path = args[8];
    const py::object& chrome_port = args[9];

               runlog::attach_file();
    line(204); py::object start_time = now();
    line(205); print_line(py::make_tuple(start_time, launch->begin_text));
               run_begins();
               runlog::info(runlog::In::start, line, "begin: result workbook {!r}", res_path);
    line(206); const py::object& start_url = domain;
    line(207); py::object driver = call(global(host->name_init), start_url, domain, chromedriver_path, chrome_port);
    line(208); call_method(driver, host->name_implicitly_wait, run_implicit_wait());
    line(209); py::object handles = driver.attr(host->name_window_handles);
    line(210); call(global(host->name_get_res), pic_wait, start_url, s_date, e_date, df, key_words,
                                res_path, a_list_num, domain, driver, handles);
    line(212); py::object end_time = now();
    line(213); py::object took = end_time - start_time;
               print_line(py::make_tuple(end_time, launch->finish_text, took));
               runlog::info(runlog::In::start, line, "finish: took {}", took);
    after_finish(line, 214);
    return py::none();
}


// --- resume ---------------------------------------------------------------------------------------

const char* const resume_locals[] = {"res_path", "pic_wait",   "chrome_port", "df",
                                     "key_words", "domain",    "start_time",  "driver",
                                     "handles",  "end_time"};

// A result workbook carries the run's progress; a commodity workbook has none to go on from.
void require_progress_columns(py::handle df, py::handle res_path) {
    py::object columns = df.attr(host->name_columns);
    for (py::handle column : {sheet->column_name, sheet->column_amount, sheet->column_added, sheet->column_sign}) {
        if (!contains(columns, column)) {
            throw py::value_error(
                py::str("{!r} is not the result workbook of a run: it has no column {!r}")
                    .format(res_path, column)
                    .cast<std::string>());
        }
    }
}

// Goes on with a stopped run: its result workbook as it stands, the copy a stop may have left in
// flight settled first, then the passes, the draft cleanup and the closing pause of a run, saving
// into the same workbook.
py::object resume_body(const py::object*, Lines& line) {
               runlog::attach_file();
    line(402); py::object res_path = ask_result_workbook_path();
    line(403); py::object pic_wait = ask_image_delay();
    line(404); py::object chrome_port = ask_chrome_port();
               runlog::info(runlog::In::resume, line, "resume: result workbook {!r}, image wait {} s, Chrome port {!r}", res_path, pic_wait, chrome_port);
    line(405); py::object df = call_method(global(host->name_pd), host->name_read_excel, res_path);
    line(406); require_progress_columns(df, res_path);
    line(407); py::object key_words = df[sheet->column_name].attr(host->name_values);
    line(408); py::object domain = onsale_address();
    line(410); py::object start_time = now();
    line(411); print_line(py::make_tuple(start_time, launch->begin_text));
               run_begins();
               runlog::info(runlog::In::start, line, "begin: result workbook {!r}", res_path);
    line(412); Lines attach_lines(line.current());
               py::object driver = attach_to_chrome(chromedriver_path(), chrome_port, attach_lines);
    line(413); settle_in_flight(driver, df, res_path, line);
    line(414); call_method(driver, host->name_get, domain);
    line(415); call_method(driver, host->name_implicitly_wait, run_implicit_wait());
    line(416); py::object handles = driver.attr(host->name_window_handles);
    line(417); call(global(host->name_get_res), pic_wait, domain, launch->s_date, launch->e_date, df,
                    key_words, res_path, sheet->zero, domain, driver, handles);
    line(418); py::object end_time = now();
    line(419); py::object took = end_time - start_time;
               print_line(py::make_tuple(end_time, launch->finish_text, took));
               runlog::info(runlog::In::resume, line, "finish: took {}", took);
    after_finish(line, 420);
    return py::none();
}

}  // namespace

const FunctionDef main_function = {
    "main", "vantrel.main", 277, nullptr, 0, main_locals, std::size(main_locals),
    main_body,
};

const FunctionDef start_function = {
    "start", "vantrel.start", 202,
    start_params, std::size(start_params),
    start_locals, std::size(start_locals),
    start_body,
};

const FunctionDef resume_function = {
    "resume", "vantrel.resume", 400, nullptr, 0, resume_locals, std::size(resume_locals),
    resume_body,
};

void create_launch_constants() {
    static const LaunchTexts texts;
    launch = &texts;
}

}  // namespace vantrel
