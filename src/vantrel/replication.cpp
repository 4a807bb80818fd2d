// The replication workflow. Each row of a pass gets at most one copy; whatever goes wrong inside a
// row is dropped and the row comes up again in the next pass. The table is saved after every change.

#include "replication.hpp"

#include "browser.hpp"
#include "console.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <cmath>
#include <iterator>

namespace vantrel {
namespace {

// The replication steps: their console lines, then the sleeps and poll counts that pace them.
struct StepConstants {
    py::handle plan_label = intern("max_times:");
    py::handle no_results_label = intern("没有该商品:");
    py::handle not_found_label = intern("所有页都没有该商品:");
    py::handle next_page_line = intern("下一页");
    py::handle line_feed = intern("\n");
    py::handle unsettled_label = intern("发布未确认:");
    py::handle prompt_published = intern("该副本已发布？(y/n)：");
    // A login lost, and back; a rest.
    py::handle login_lost_label = intern("登录已失效，请在浏览器中重新登录:");
    py::handle login_back_label = intern("已重新登录，继续:");
    py::handle bell = intern("\a");
    py::handle no_line_end = intern("");
    py::handle rest_label = intern("休息:");
    py::handle minutes_word = intern("分钟");
    py::handle login_title = intern("waiting for a login: log in to the marketplace in Chrome");
    py::handle login_poll = keep(py::int_(30));  // seconds between looks at the on-sale page while a login is awaited
    py::handle seconds_per_minute = keep(py::int_(60));
    // The settings a run reads from its environment.
    py::handle login_wait_variable = intern("VANTREL_LOGIN_WAIT");
    py::handle rest_variable = intern("VANTREL_REST");
    py::handle comma = intern(",");
    // The window's title when the run waits or ends.
    py::handle stopping_title = intern("stopping: a stop was asked for");
    py::handle finished_title = intern("finished");
    py::handle stopped_title = intern("stopped");
    py::handle failed_title = intern("ended by an error");
    // The item list without its first entry and its last two.
    py::handle cards = keep(py::reinterpret_steal<py::object>(PySlice_New(py::int_(1).ptr(), py::int_(-2).ptr(), nullptr)));
    // Sleeps, in seconds, integers and decimals as the pages need them.
    py::handle after_open = keep(py::int_(4));
    py::handle after_search = keep(py::float_(1.5));
    py::handle footer_poll = keep(py::float_(0.6));
    py::handle after_negative = keep(py::float_(0.8));
    py::handle after_copy_click = keep(py::int_(1));
    py::handle after_page_turn = keep(py::int_(2));
    py::handle before_editor = keep(py::int_(5));
    py::handle after_visibility = keep(py::float_(0.5));
    py::handle image_poll = keep(py::int_(1));
    py::handle after_scroll = keep(py::float_(0.3));
    py::handle before_buttons = keep(py::int_(1));
    py::handle after_first_button = keep(py::float_(0.5));
    py::handle after_publish = keep(py::int_(4));
    py::handle editor_recheck = keep(py::int_(1));
    py::handle after_draft_page = keep(py::int_(5));
    py::handle after_delete_click = keep(py::int_(1));
    py::handle after_confirm = keep(py::int_(2));
    py::handle after_refresh = keep(py::float_(3.6));
    py::handle footer_polls_before_reload = keep(py::int_(6));  // from the poll after this many on, each poll reloads
    py::handle image_polls = keep(py::int_(9));                 // image polls that sleep before the wait gives up
};
const StepConstants* steps = nullptr;

const char* const get_res_params[] = {"pic_wait", "start_url", "s_date",     "e_date",
                                      "df",       "key_words", "res_path",   "a_list_num",
                                      "domain",   "driver",    "handles"};
const char* const get_res_locals[] = {"max_times", "row",        "index",      "name",
                                      "amount",    "added",      "sign",       "wait_times",
                                      "div_list",  "div",        "search_name", "scroll_js1",
                                      "scroll_js2"};

// An error that ends the run from inside a row, past the row's catch-all: going on would leave a
// copy published twice or counted without being there.
struct RunEnds : py::error_already_set {};

// Ends the run with a RuntimeError saying `message`, the error that led to it as its cause.
[[noreturn]] void end_run(py::str message, py::error_already_set& cause) {
    // Built from the cause's value, which the row's log may have taken already: pybind11's
    // raise_from would restore the cause a second time.
    py::object ending = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
    PyException_SetCause(ending.ptr(), py::reinterpret_borrow<py::object>(cause.value()).release().ptr());
    PyErr_SetObject(PyExc_RuntimeError, ending.ptr());
    throw RunEnds();
}

// Ends the run with a RuntimeError saying `message`.
[[noreturn]] void end_run(py::str message) {
    PyErr_SetObject(PyExc_RuntimeError, message.ptr());
    throw RunEnds();
}

// A Ctrl+C where the run waits with no row in flight ends the run, past the row's catch-all, as
// one between passes does; anything else goes on as it is.
template <typename Wait>
void ended_by_ctrl_c(Wait wait) {
    try {
        wait();
    } catch (RunEnds&) {
        throw;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyboardInterrupt)) throw;
        error.restore();
        throw RunEnds();
    }
}

// What a run reads from its environment at its start: how long it waits for a lost login, and its
// rests.
struct RunSettings {
    long login_polls = 120;  // looks at the on-sale page, 30 s apart: 60 minutes
    py::object login_minutes = py::int_(60);
    long rest_every = 0;     // copies between rests; 0: no rests
    py::object rest_minutes = py::int_(0);
};

// A number of minutes, 0 or more, as a setting gives it.
py::object minutes_of(py::handle variable, py::handle text) {
    py::object minutes;
    try {
        minutes = py::float_(py::reinterpret_borrow<py::object>(text));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ValueError)) throw;
    }
    if (!minutes || !std::isfinite(minutes.cast<double>()) || minutes.cast<double>() < 0) {
        throw py::value_error(py::str("{} must give a number of minutes, 0 or more; got {!r}")
                                  .format(variable, text).cast<std::string>());
    }
    const double value = minutes.cast<double>();
    return value == std::floor(value) ? py::object(py::int_(static_cast<long>(value))) : minutes;
}

void read_login_wait(RunSettings& settings, py::handle name, py::handle text) {
    settings.login_minutes = minutes_of(name, text);
    settings.login_polls = static_cast<long>(std::ceil(settings.login_minutes.cast<double>() * 60 /
                                                       steps->login_poll.cast<double>()));
}

void read_rest(RunSettings& settings, py::handle name, py::handle text) {
    py::list parts = call_method(text, host->name_split, steps->comma);
    long every = 0;
    if (py::len(parts) == 2) {
        try {
            every = py::int_(call_method(parts[0], host->name_strip)).cast<long>();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_ValueError)) throw;
        }
    }
    if (every < 1) {
        throw py::value_error(py::str("{} must be N,MINUTES: a rest of MINUTES after every N copies published, N 1 "
                                      "or more; got {!r}").format(name, text).cast<std::string>());
    }
    settings.rest_every = every;
    settings.rest_minutes = minutes_of(name, call_method(parts[1], host->name_strip));
}

RunSettings run_settings() {
    RunSettings settings;
    py::object environment = host->os.attr(host->name_environ);
    py::object wait = call_method(environment, host->name_get, steps->login_wait_variable);
    if (!wait.is_none() && py::len(call_method(wait, host->name_strip)) > 0) {
        read_login_wait(settings, steps->login_wait_variable, wait);
    }
    py::object rest = call_method(environment, host->name_get, steps->rest_variable);
    if (!rest.is_none() && py::len(call_method(rest, host->name_strip)) > 0) {
        read_rest(settings, steps->rest_variable, rest);
    }
    return settings;
}

// The seller's session on the marketplace, as the run finds it where each row's search begins. A
// page without the search box there is a login page, a challenge or a session gone: the run waits
// for the operator to log in again instead of failing row after row, and goes on with the same
// row.
class SellerSession {
public:
    SellerSession(const RunSettings& settings, TitleProgress& progress, py::handle res_path)
        : settings_(settings), progress_(progress), res_path_(res_path) {}

    // At the on-sale page a row's search opened: returns once it shows its search box. Before any
    // row found it, a page outside the marketplace's origin is a wrong origin: the run ends.
    void at_onsale_page(py::handle driver, py::handle name, Lines& line) {
        if (onsale_ready(driver)) {
            seen_search_box_ = true;
            return;
        }
        if (!seen_search_box_ &&
            !py::bool_(call_method(current_url(driver), host->name_startswith, marketplace_origin()))) {
            py::object problem = onsale_problem(driver, onsale_address());
            runlog::info(runlog::In::get_res, line, "row {!r}: {}: the run ends", name, problem);
            end_run(py::str("the run cannot start: {}").format(problem));
        }
        wait_for_login(driver, name, line);
    }

    // Opens the on-sale page every 30 s until it shows its search box, and says so; the run ends
    // when the wait's bound passes first.
    void wait_for_login(py::handle driver, py::handle name, Lines& line) {
        py::object url = current_url(driver);
        print_line(py::make_tuple(steps->login_lost_label, url));
        call(global(host->name_print), steps->bell, py::arg("end") = steps->no_line_end, py::arg("flush") = true);
        progress_.waiting(steps->login_title);
        runlog::info(runlog::In::get_res, line, "login lost: the browser shows {} without the search box; waiting for a login, the on-sale page opened again every 30 s for up to {} min",
                     url, settings_.login_minutes);
        for (long poll = 1; poll <= settings_.login_polls; ++poll) {
            ended_by_ctrl_c([&] {
                sleep(steps->login_poll);
                call_method(driver, host->name_get, onsale_address());
            });
            if (onsale_ready(driver)) {
                seen_search_box_ = true;
                print_line(py::make_tuple(steps->login_back_label, name));
                runlog::info(runlog::In::get_res, line, "login back after {} looks at the on-sale page: the run goes on with row {!r}", poll, name);
                progress_.working_on(name, progress_.remaining());
                return;
            }
        }
        runlog::info(runlog::In::get_res, line, "login not back within {} min: the run ends; vantrel-resume goes on with it", settings_.login_minutes);
        end_run(py::str("the login to the marketplace was not restored within {} min: the run has stopped; its record "
                        "is the result workbook {}. Log in to the marketplace in that Chrome and run vantrel-resume "
                        "to go on with it").format(settings_.login_minutes, res_path_));
    }

private:
    const RunSettings& settings_;
    TitleProgress& progress_;
    py::handle res_path_;
    bool seen_search_box_ = false;  // a row of this run found the search box
};

// From just before the publish click until the copy's outcome is in its trace and saved: a
// Ctrl+C waits (an interrupt there would leave a published copy uncounted), and the trace beside
// the workbook says what is known of the copy.
class PublishWindow {
public:
    PublishWindow(ConsoleStops& stops, ResultWorkbook& result, py::handle index, py::handle name,
                  py::handle res_path, Lines& line)
        : stops_(stops), result_(result), index_(index), name_(name), res_path_(res_path), line_(line) {
        stops_.hold();
    }
    ~PublishWindow() { stops_.stop_holding(); }
    PublishWindow(const PublishWindow&) = delete;
    PublishWindow& operator=(const PublishWindow&) = delete;

    // No click without its entry on the disk: where it cannot be written, the row fails here,
    // nothing clicked, and comes up again.
    void record(py::handle added, py::handle url, py::handle window) {
        try {
            result_.copy_clicking(index_, name_, added, url, window);
        } catch (py::error_already_set& error) {
            runlog::in_flight_unrecorded(name_, error);
            throw;
        }
    }

    // The outcome into the trace, a published copy counted in the table first (its new count
    // returned). Where the trace cannot say it, the run ends here: the tab still shows what the
    // click did, and the resume settles the copy from it.
    py::object close(bool published) {
        try {
            if (published) {
                return result_.copy_published(index_, name_);
            }
            result_.copy_not_published(index_, name_);
            return py::none();
        } catch (py::error_already_set& error) {
            runlog::info(runlog::In::get_res, line_, "row {!r}: the copy's outcome ({}) could not be written into its trace ({}): the run ends; vantrel-resume settles the copy from its tab",
                         name_, published ? "published" : "not published", runlog::describe_error(error));
            end_run(py::str("the outcome of the publish of {!r} could not be written into its trace {} ({}): the run "
                            "has stopped while its tab still shows what the publish did; its record is the result "
                            "workbook {}. Leave that tab as it is and run vantrel-resume: it settles the copy and goes on")
                        .format(name_, in_flight_path(res_path_), runlog::describe_error(error), res_path_),
                    error);
        }
    }

    // Where the publish led cannot tell the outcome, and the tab is about to be used for other
    // pages: the trace says so, the click stays open, and from here a Ctrl+C ends the run (one
    // held meanwhile, now). Where the trace cannot say it, the run ends here, the tab untouched.
    void outcome_unknown() {
        try {
            result_.copy_outcome_unknown(index_, name_);
        } catch (py::error_already_set& error) {
            runlog::info(runlog::In::get_res, line_, "row {!r}: the copy's unknown outcome could not be written into its trace ({}): the run ends; vantrel-resume settles the copy",
                         name_, runlog::describe_error(error));
            end_run(py::str("the publish of {!r} led to a login page, and its trace {} could not say so ({}): the run "
                            "has stopped; its record is the result workbook {}. Log in again and run vantrel-resume: "
                            "it settles the copy and goes on")
                        .format(name_, in_flight_path(res_path_), runlog::describe_error(error), res_path_),
                    error);
        }
        stops_.stop_holding();
        if (stops_.held()) {
            ended_by_ctrl_c([] { raise_keyboard_interrupt(); });
        }
    }

    // The outcome is saved: a Ctrl+C held meanwhile ends the row now.
    void done() {
        stops_.stop_holding();
        if (stops_.held()) {
            runlog::info(runlog::In::get_res, line_, "row {!r}: Ctrl+C during the publish, held until the copy's outcome was saved; the row ends here", name_);
        }
    }

private:
    ConsoleStops& stops_;
    ResultWorkbook& result_;
    py::handle index_, name_, res_path_;
    Lines& line_;
};

// The copies the table still wants, for the window's title: never a reason for a row to fail.
long copies_still_wanted(py::handle df, long otherwise) {
    try {
        return tally_rows(df).wanted;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return otherwise;
    }
}

bool on_sale_page(py::handle driver) { return contains(current_url(driver), page->marker_onsale); }

py::object cards(py::handle driver) { return find_elements(driver, page->xpath_item_list)[steps->cards]; }

// One row of a run, up to the moment its outcome is known; returning ends the row as a `continue`
// would.
// Where a publish led: still the listing editor, a page of the marketplace's, or a page that cannot
// say, a login or challenge page or one outside the marketplace.
enum class Landing { editor, marketplace, unknown };

Landing where_publish_led(py::handle driver) {
    py::object url = current_url(driver);
    if (contains(url, page->marker_editor)) return Landing::editor;
    if (!py::bool_(call_method(url, host->name_startswith, marketplace_origin())) || login_page(driver)) {
        return Landing::unknown;
    }
    return Landing::marketplace;
}

struct Row {
    py::handle driver, df, pic_wait, res_path;
    ResultWorkbook& result;
    ConsoleStops& stops;
    TitleProgress& progress;
    SellerSession& session;
    py::object index, name, added;
    Lines& line;

    void mark_and_save(py::handle code) {
        if (compare_true(added, sheet->zero, Py_EQ)) {
            result.mark(index, code);
            result.save();
        }
    }

    bool in_editor() { return contains(current_url(driver), page->marker_editor); }

    bool images_in_place() { return contains(page_source(driver), page->marker_image_delete); }

    // At each card of the row's title: its copy button, and the next card of that title while the
    // on-sale page stays.
    AtCard press_copy(py::handle div) {
        line(86); call_method(find_element(div, page->xpath_copy_button), host->name_click);
        line(87); sleep(steps->after_copy_click);
        line(88); return on_sale_page(driver) ? AtCard::next_card : AtCard::stop_cards;
    }

    // Searches for the row's title and books what the search met; true when a copy of its listing
    // is open in the editor.
    bool open_copy() {
        SearchOutcome outcome = search_listing(driver, name, line, [this](py::handle div) { return press_copy(div); },
                                               0, [this] { session.at_onsale_page(driver, name, line); });
        if (outcome.kind == SearchOutcome::no_results) {
            line(73); print_line(py::make_tuple(steps->no_results_label, name));
                      runlog::info(runlog::In::get_res, line, compare_true(added, sheet->zero, Py_EQ) ? "row {!r}: no search results, sign 2 written"
                                                                                         : "row {!r}: no search results, sign stays 0 (added {})", name, added);
            line(74); mark_and_save(sheet->code_no_results);
            line(77); sleep(steps->after_negative);
            return false;
        }
        if (outcome.kind == SearchOutcome::not_found) {
            line(99); print_line(py::make_tuple(steps->not_found_label, name));
                      runlog::info(runlog::In::get_res, line, compare_true(added, sheet->zero, Py_EQ) ? "row {!r}: listing not found on any result page, sign 1 written"
                                                                                         : "row {!r}: listing not found on any result page, sign stays 0 (added {})", name, added);
            line(100); mark_and_save(sheet->code_not_found);
            line(103); sleep(steps->after_negative);
            return false;
        }
        line(106); sleep(steps->before_editor);
        return true;
    }

    // Sets the copy's options and publishes it; counts and saves only when the editor was left.
    void publish_copy() {
        line(108); choose_visibility(driver, page->option_listed);
        line(109); sleep(steps->after_visibility);
        line(110); py::object wait_times = py::reinterpret_borrow<py::object>(sheet->zero);
        line(111); while (!images_in_place()) {
            line(112); wait_times = wait_times + sheet->one;
            line(113); if (compare_true(wait_times, steps->image_polls, Py_GT)) break;
            line(114); sleep(steps->image_poll);
        }
        line(115); sleep(pic_wait);
        line(116); if (!images_in_place()) { left_early("the editor's images were not in place after the image wait"); return; }
        line(118); call_method(driver, host->name_execute_script, page->script_scroll_bottom);
        line(119); sleep(steps->after_scroll);
        line(121); call_method(driver, host->name_execute_script, page->script_scroll_top);
        line(122); sleep(steps->after_scroll);
        line(123); if (!py::bool_(call_method(find_element(driver, page->xpath_checkbox), host->name_is_selected))) {
            line(124); call_method(find_element(driver, page->xpath_checkbox), host->name_click);
        }
        line(125); choose_visibility(driver, page->option_unlisted);
        line(126); sleep(steps->after_visibility);
        line(127); choose_visibility(driver, page->option_listed);
        line(128); sleep(steps->before_buttons);
        line(129); script_click(driver, find_element(driver, page->xpath_first_editor_button));
        line(130); sleep(steps->after_first_button);
        PublishWindow window(stops, result, index, name, res_path, line);
        window.record(added, current_url(driver), py::getattr(driver, host->name_current_window_handle, py::none()));
        py::object button;
        try {
            line(131); button = find_element(driver, page->xpath_publish_button);
        } catch (py::error_already_set&) {
            window.close(false);  // no publish button, nothing clicked: the row fails, and comes up again
            throw;
        }
        Landing landing = Landing::editor;
        try {
            script_click(driver, button);
            landing = left_editor();
        } catch (py::error_already_set& error) {
            landing = settle_after(error);
        }
        if (landing == Landing::unknown) {
            landing = settle_after_login(window);
        }
        line(135); if (landing == Landing::editor) {
                       left_early("still in the editor after publishing, not counted");
                       window.close(false);
                       window.done();
                       return;
                   }
        line(136); py::object added_now = window.close(true);
                   runlog::info(runlog::In::get_res, line, "row {!r}: copy published, added {}", name, added_now);
        line(137); result.save();
                   progress.done_one(copies_still_wanted(df, 0));
                   if (RunRecord* record = RunRecord::current()) ++record->copies;
        window.done();
    }

    // Where the publish led, after the waits that give it its time.
    Landing left_editor() {
        line(132); sleep(steps->after_publish);
        line(133); if (in_editor()) {
            line(134); sleep(steps->editor_recheck);
        }
        line(135); return where_publish_led(driver);
    }

    // The row ends without its copy: the run log says why, and where the page it ended on is kept.
    void left_early(const char* why) {
        py::object kept = runlog::keep_page(driver, index);
        if (kept) {
            runlog::info(runlog::In::get_res, line, "row {!r}: left early, {}; {}", name, why, kept);
        } else {
            runlog::info(runlog::In::get_res, line, "row {!r}: left early, {}", name, why);
        }
    }

    // The publish led to a login or challenge page, which cannot say whether the copy went out.
    // Once the operator has logged in again, they say it; with no one to answer, the run ends
    // with the click open in the trace, for the resume to settle.
    Landing settle_after_login(PublishWindow& window) {
        py::object url = current_url(driver);
        runlog::info(runlog::In::get_res, line, "row {!r}: the publish led to {}, which does not say whether the copy went out: the operator is asked once logged in again", name, url);
        window.outcome_unknown();
        session.wait_for_login(driver, name, line);
        print_line(py::make_tuple(steps->unsettled_label, name));
        bool published = false;
        ended_by_ctrl_c([&] {
            try {
                published = ask_yes_or_no(steps->prompt_published);
            } catch (py::error_already_set& error) {
                if (!error.matches(PyExc_EOFError)) throw;
                runlog::info(runlog::In::get_res, line, "row {!r}: no answer (standard input is closed): the run ends with the copy traced; vantrel-resume asks again", name);
                end_run(py::str("the publish of {!r} led to {}, a page that does not say whether the copy went out, "
                                "and standard input is closed, so no one can say it: the run has stopped with the copy "
                                "traced in {}; its record is the result workbook {}. Run vantrel-resume at a console "
                                "and answer, or look for the copy on the marketplace")
                            .format(name, url, in_flight_path(res_path), res_path),
                        error);
            }
        });
        runlog::info(runlog::In::get_res, line, published ? "row {!r}: the operator says the copy went out" : "row {!r}: the operator says the copy did not go out", name);
        return published ? Landing::marketplace : Landing::editor;
    }

    // The publish click, or the reading of where it led, failed: the copy may be out all the
    // same. The same waits and address tests settle it; where the browser cannot answer them, the
    // run ends with the click open in the trace, and the resume settles it from the tab, which
    // the run has not touched since the click. Never a blind retry in the next pass.
    Landing settle_after(py::error_already_set& error) {
        runlog::info(runlog::In::get_res, line, "row {!r}: the publish click or the address after it failed ({}): settled by the waits and address tests of a publish",
                     name, runlog::describe_error(error));
        try {
            return left_editor();
        } catch (py::error_already_set& again) {
            runlog::info(runlog::In::get_res, line, "row {!r}: the browser cannot say where the publish led ({}): the run ends; vantrel-resume settles the copy from its tab",
                         name, runlog::describe_error(again));
            end_run(py::str("the publish of {!r} cannot be settled: the browser does not say where it led ({}). The "
                            "run has stopped with the copy traced in {}; its record is the result workbook {}. "
                            "Leave the run's tab as it is, start Chrome again if it is gone, and run vantrel-resume: "
                            "it settles the copy and goes on")
                        .format(name, in_flight_path(res_path), runlog::describe_error(again), res_path),
                    again);
        }
    }
};

// Deletes the draft entries one per cycle until the page lists none; a failed cycle reloads.
void clear_drafts(py::handle driver, Lines& line) {
    long deleted = 0;
    line(143); call_method(driver, host->name_get, draft_address());
    line(144); sleep(steps->after_draft_page);
    for (;;) {
        line(145); if (!contains(page_source(driver), page->marker_item_detail)) break;
        line(146); py::object div_list = find_elements(driver, page->xpath_item_list)[steps->cards];
        try {
            line(148); py::object button = find_element(div_list[py::int_(0)], page->xpath_draft_delete);
            line(149); script_click(driver, button);
            line(150); sleep(steps->after_delete_click);
            line(151); call_method(find_element(driver, page->xpath_dialog_confirm), host->name_click);
            line(152); sleep(steps->after_confirm);
                       runlog::info(runlog::In::get_res, line, "draft cleanup: draft {} deleted", ++deleted);
        } catch (...) {
                       runlog::draft_reload(line);
            line(154); call_method(driver, host->name_refresh);
            line(155); sleep(steps->after_refresh);
        }
    }
}

// NumPy 2 shows its scalars as np.int64(3); the line shows the plan as ('max_times:', 3).
void print_plan(py::handle max_times) { print_line(py::make_tuple(steps->plan_label, plain_number(max_times))); }

// The browser is gone: the run cannot go on, and says so instead of failing every row for ever.
// The driver's error stays attached as the cause.
[[noreturn]] void raise_browser_gone(const char* what, py::error_already_set& error,
                                     py::handle res_path) {
    end_run(py::str("{} is gone ({}): the run has stopped; its record is the result workbook {}. Start {} "
                    "again and run vantrel-resume to go on with it")
                .format(what, runlog::describe(error.type(), error.value()), res_path, what),
            error);
}

// A stop asked for with a second Ctrl+C ends the run here, where no row is in flight, as a Ctrl+C
// between passes would. The run log says so where the passes end: a second Ctrl+C outside a row
// and outside a publish ends them where it lands.
void stop_if_requested(const ConsoleStops& stops, Lines& line) {
    if (stops.stop_requested()) {
        line(46); raise_keyboard_interrupt();
    }
}

// A rest after every so many copies, where the settings ask for one and copies are still wanted.
void rest_if_due(const RunSettings& settings, TitleProgress& progress, long done_before, py::handle df, Lines& line) {
    const long done = progress.done();
    if (settings.rest_every == 0 || done == done_before || done % settings.rest_every != 0 ||
        copies_still_wanted(df, 0) == 0) {
        return;
    }
    print_line(py::make_tuple(steps->rest_label, settings.rest_minutes, steps->minutes_word));
    progress.waiting(py::str("resting {} min after {} copies").format(settings.rest_minutes, done));
    runlog::info(runlog::In::get_res, line, "rest: {} min after {} copies published", settings.rest_minutes, done);
    sleep(settings.rest_minutes * steps->seconds_per_minute);
}

void passes(py::handle driver, py::handle df, py::handle pic_wait, py::handle res_path, ResultWorkbook& result,
            ConsoleStops& stops, TitleProgress& progress, const RunSettings& settings, py::object max_times, Lines& line) {
    SellerSession session(settings, progress, res_path);
    long pass = 0;
    // The record exists from before the first row: a stop after the first publish leaves a
    // workbook to resume from. A failed save here is one more save to make good later.
    line(45); if (compare_true(max_times, sheet->zero, Py_GT)) {
        try {
            result.save();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }
    line(45); while (compare_true(max_times, sheet->zero, Py_GT)) {
        ++pass;
        line(46); for (py::handle record : call_method(df, host->name_itertuples)) {
            stop_if_requested(stops, line);
            // Whatever a row raises, an interrupt included, is dropped here: the row comes up
            // again in the next pass. The run log says why. Only a browser that is gone ends
            // the run from here.
            py::object name, index;
            const long done_before = progress.done();
            try {
                line(48); index = record.attr(sheet->field_index);
                line(49); name = record.attr(sheet->column_name);
                line(50); py::object amount = record.attr(sheet->column_amount);
                line(51); py::object added = record.attr(sheet->column_added);
                line(52); py::object sign = record.attr(sheet->column_sign);
                          runlog::info(runlog::In::get_res, line, "row {!r}: pass {}, amount {}, added {}", name, pass, amount, added);
                Row row{driver, df, pic_wait, res_path, result, stops, progress, session, index, name, added, line};
                line(53); if (compare_true(sign, sheet->zero, Py_NE)) { runlog::info(runlog::In::get_res, line, "row {!r}: left early, sign is {}", name, sign); continue; }
                line(54); if (compare_true(amount, added, Py_LE)) { runlog::info(runlog::In::get_res, line, "row {!r}: left early, amount {} reached (added {})", name, amount, added); continue; }
                progress.working_on(name, copies_still_wanted(df, 0));
                if (row.open_copy()) {
                    row.publish_copy();
                }
            } catch (RunEnds&) {
                throw;
            } catch (py::error_already_set& error) {
                runlog::row_failed(line, name, what_is_gone(error) ? py::object() : runlog::keep_page(driver, index));
                if (const char* gone = browser_lost(driver, error)) {
                    runlog::info(runlog::In::get_res, line, "{} is gone: the run ends; vantrel-resume goes on with it", gone);
                    raise_browser_gone(gone, error, res_path);
                }
            } catch (...) {
                runlog::row_failed(line, name);
            }
            if (stops.stop_requested()) progress.waiting(steps->stopping_title);
            rest_if_due(settings, progress, done_before, df, line);
            line(46);
        }
        stop_if_requested(stops, line);
        line(140); max_times = plan(df);
        line(141); print_plan(max_times);
                   runlog::info(runlog::In::get_res, line, "plan after pass {}: max_times {}; {} of {} copies made, about {} left",
                                pass, max_times, progress.done(), progress.target(), progress.left_text());
    }
}

py::object get_res_body(const py::object* args, Lines& line) {
    const py::object& pic_wait = args[0];
    const py::object& df = args[4];
    const py::object& res_path = args[6];
    const py::object& driver = args[9];
    ResultWorkbook result(df, res_path);
    ConsoleStops stops;
              runlog::attach_file();
              const RunSettings settings = run_settings();
    line(43); py::object max_times = plan(df);
    RunRecord* record = RunRecord::current();
    if (record) {
        record->df = df;
        record->res_path = res_path;
        record->passes_began = true;
    }
    const StagePacing pacing = stage_pacing();
    double image_wait = 0;
    try {
        image_wait = py::float_(pic_wait).cast<double>();
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // a delay no sleep takes: each row fails at it
    }
    TitleProgress progress("vantrel", "copies", copies_still_wanted(df, 0), pacing.search + pacing.copy + image_wait,
                           pacing.drafts_page);
    line(44); print_plan(max_times);
              runlog::info(runlog::In::get_res, line, "plan: max_times {}; {} copies to make, about {} by the stages' sleeps",
                           max_times, progress.target(), progress.left_text());
    try {
        passes(driver, df, pic_wait, res_path, result, stops, progress, settings, max_times, line);
    } catch (py::error_already_set& leaving) {
        // Whichever way the passes end, the record on disk is made whole before the run ends.
        const bool interrupted = leaving.matches(PyExc_KeyboardInterrupt);
        if (stops.stop_requested() && interrupted) {
            runlog::info(runlog::In::get_res, line, "stop: a second Ctrl+C within 5 s asked the run to stop; no row is in flight");
        }
        progress.ended(interrupted ? steps->stopped_title : steps->failed_title);
        runlog::passes_ended(line, leaving);
        result.catch_up_before(leaving, line);
        throw;
    }
    try {
        // A save that failed inside a row left the workbook behind the table; the run does not end so.
        line(142); result.catch_up(line);
        clear_drafts(driver, line);
    } catch (py::error_already_set&) {
        progress.ended(steps->failed_title);
        throw;
    }
    progress.ended(steps->finished_title);
    line(157); return py::none();
}

// Where the resume cannot settle a traced copy, it changes nothing and says what the operator can
// do; the trace and the workbook stay as they are for the next resume.
[[noreturn]] void refuse_to_settle(py::handle name, py::str why, const char* remedy, py::handle res_path) {
    runlog::record(runlog::In::resume, nullptr, [&]() -> py::object {
        return py::str("resume: row {!r}: the traced copy cannot be settled ({}): nothing changed").format(name, why);
    });
    throw std::runtime_error(
        py::str("the copy of {!r} traced when the run stopped cannot be settled: {}. Nothing was changed. {}; "
                "or look for that copy on the marketplace, count it in the result workbook {} if it is there, "
                "and remove the trace {}")
            .format(name, why, remedy, res_path, in_flight_path(res_path))
            .cast<std::string>());
}

// The operator's yes or no on a copy only they can see. With standard input closed no one can
// answer.
bool operator_says_published(py::handle name, py::handle res_path) {
    print_line(py::make_tuple(steps->unsettled_label, name));
    try {
        return ask_yes_or_no(steps->prompt_published);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_EOFError)) throw;
        refuse_to_settle(name, py::str("its tab no longer shows where the publish led, and standard input "
                                       "is closed, so no one can say whether it went out"),
                         "Resume at a console and answer", res_path);
    }
}

// The row a traced copy belongs to: its label where that row still has its title, else the one
// row of that title. Rows may have been removed or moved since the stop.
py::object traced_row(py::handle df, const CopyTrace& copy, py::handle res_path, Lines& line) {
    py::object names = df[sheet->column_name];
    if (contains(df.attr(host->name_index), copy.row) &&
        compare_true(names.attr(host->name_loc)[copy.row], copy.name, Py_EQ)) {
        return copy.row;
    }
    py::object labels = df.attr(host->name_index)[compare(names, copy.name, Py_EQ)];
    if (py::len(labels) != 1) {
        refuse_to_settle(copy.name,
                         py::len(labels) == 0 ? py::str("the result workbook has no row of that title (its trace names row {})").format(copy.row)
                                              : py::str("the result workbook has {} rows of that title, none of them row {} that its trace names")
                                                    .format(py::len(labels), copy.row),
                         "Put the row back as it was and resume again", res_path);
    }
    py::object found = labels[py::int_(0)];
    runlog::info(runlog::In::resume, line, "resume: row {!r}: its trace names row {}, which the workbook has not with that title; settled on row {}, the one row of that title", copy.name, copy.row, found);
    return found;
}

// What the tab of the run's Chrome says of a click: true or false, or None where it cannot tell.
py::object tab_says_published(py::handle driver, const CopyTrace& click, const char*& why) {
    if (click.window.is_none() || !contains(driver.attr(host->name_window_handles), click.window)) {
        return py::none();
    }
    driver.attr(host->name_switch_to).attr(host->name_window)(click.window);
    Landing landing = where_publish_led(driver);
    if (landing == Landing::editor) {
        sleep(steps->after_publish);  // a publish still under way has the time the run gives it
        landing = where_publish_led(driver);
    }
    if (landing == Landing::editor) {
        why = "its tab is still in the listing editor";
        return py::bool_(false);
    }
    if (landing == Landing::marketplace) {
        why = "its tab left the listing editor for the marketplace's pages";
        return py::bool_(true);
    }
    return py::none();  // a login or challenge page, or a page elsewhere, says nothing of it
}

}  // namespace

namespace {

// A click of the trace with no outcome after it.
bool left_open(const std::vector<CopyTrace>& traced, std::size_t click) {
    for (std::size_t later = click + 1; later < traced.size(); ++later) {
        const CopyTrace& entry = traced[later];
        if ((entry.event == CopyTrace::published || entry.event == CopyTrace::not_published) && !entry.copy.is_none() &&
            compare_true(entry.copy, traced[click].copy, Py_EQ)) {
            return false;
        }
    }
    return true;
}

// Whether an open click's copy went out, and why that is known. The tab shows where the publish
// led only while the run has not used it since: the click must be the trace's last entry.
bool click_went_out(py::handle driver, const CopyTrace& click, py::handle count_before, bool last,
                    py::handle res_path, const char*& why) {
    if (compare_true(count_before, click.added, Py_GT)) {
        why = "the workbook counts it already";  // counted and saved, the trace not removed yet
        return true;
    }
    py::object tab = last ? tab_says_published(driver, click, why) : py::none();
    if (!tab.is_none()) {
        return py::bool_(tab);
    }
    why = "the operator's answer";
    return operator_says_published(click.name, res_path);
}

}  // namespace

void settle_in_flight(py::handle driver, py::handle df, py::handle res_path, Lines& line) {
    std::vector<CopyTrace> traced = read_in_flight(res_path);
    if (traced.empty()) {
        return;
    }
    // Every decision is made before anything is written: a trace that cannot be settled leaves
    // the trace and the workbook as they were.
    std::vector<py::object> rows;
    for (const CopyTrace& entry : traced) {
        rows.push_back(traced_row(df, entry, res_path, line));
    }
    py::dict counts;  // row label -> the count the workbook ends with
    auto count_of = [&](py::handle row) -> py::object {
        if (contains(counts, row)) return counts[row];
        return df.attr(host->name_loc)[py::make_tuple(row, sheet->column_added)];
    };
    for (std::size_t i = 0; i < traced.size(); ++i) {
        const CopyTrace& entry = traced[i];
        py::handle row = rows[i];
        if (entry.event == CopyTrace::published) {
            // Counted in the table when it went out; the workbook may not have held it yet.
            const bool held = compare_true(count_of(row), entry.added, Py_GE);
            runlog::info(runlog::In::resume, line, held ? "resume: row {!r}: copy {} went out (its trace says published): the workbook holds it"
                                                        : "resume: row {!r}: copy {} went out (its trace says published): counted",
                         entry.name, entry.copy);
            if (!held) counts[row] = entry.added;
        } else if (entry.event == CopyTrace::click && left_open(traced, i)) {
            py::object before = count_of(row);
            const char* why = nullptr;
            const bool published = click_went_out(driver, entry, before, i + 1 == traced.size(), res_path, why);
            if (published && !compare_true(before, entry.added, Py_GT)) counts[row] = before + sheet->one;
            runlog::info(runlog::In::resume, line, published ? "resume: row {!r}: the copy in flight went out ({}): counted"
                                                           : "resume: row {!r}: the copy in flight did not go out ({}): not counted",
                         entry.name, why);
        }
    }
    if (py::len(counts) > 0) {
        ResultWorkbook result(df, res_path);
        for (auto item : counts) {
            result.count_up_to(item.first, item.second);
        }
        result.save();
    }
    clear_in_flight(res_path);
}

const FunctionDef get_res_function = {
    "get_res", "vantrel.get_res", 40,
    get_res_params, std::size(get_res_params),
    get_res_locals, std::size(get_res_locals),
    get_res_body,
};

SearchOutcome search_listing(py::handle driver, py::handle name, Lines& line, const CardAction& at_card,
                             long give_up_after, const std::function<void()>& at_onsale_page) {
    line(56); call_method(driver, host->name_get, onsale_address());
    line(57); sleep(steps->after_open);
              if (at_onsale_page) at_onsale_page();
    line(58); print_line(name);
    line(59); call_method(find_element(driver, page->xpath_search_box), host->name_clear);
    line(60); call_method(find_element(driver, page->xpath_search_box), host->name_send_keys, name + steps->line_feed);
    line(61); sleep(steps->after_search);
    line(62); py::object wait_times = py::reinterpret_borrow<py::object>(sheet->zero);
    for (;;) {
        line(64); py::object style = call_method(find_element(driver, page->xpath_results_footer),
                                                     host->name_get_attribute, page->attribute_style);
        line(65); if (compare_true(style, page->style_hidden, Py_EQ)) break;
        line(66); wait_times = wait_times + sheet->one;
        line(67); if (compare_true(wait_times, steps->footer_polls_before_reload, Py_GT)) call_method(driver, host->name_refresh);
                  if (give_up_after > 0 && compare_true(wait_times, py::int_(give_up_after), Py_GT)) return {SearchOutcome::results_stuck, 0};
        line(68); sleep(steps->footer_poll);
    }
    line(70); py::object div_list = cards(driver);
    line(71); print_line(py::int_(py::len(div_list)));
    line(72); if (!contains(page_source(driver), page->marker_item_detail)) return {SearchOutcome::no_results, 0};
    long result_page = 1;
    for (;;) {
        line(81); div_list = cards(driver);
        for (py::handle div : div_list) {
            line(83); py::object search_name = call_method(find_element(div, page->xpath_card_title).attr(host->name_text),
                                                               host->name_strip);
            line(84); if (!compare_true(name, search_name, Py_EQ)) continue;
            line(85); if (!on_sale_page(driver)) break;
                      const AtCard next = at_card(div);
                      if (next == AtCard::found) return {SearchOutcome::found, result_page};
                      if (next == AtCard::stop_cards) break;
        }
        line(90); if (!on_sale_page(driver)) break;
        line(91); if (!contains(page_source(driver), page->marker_pager)) break;
        line(92); py::object pager = call_method(find_element(driver, page->xpath_pager_item),
                                                     host->name_get_attribute, page->attribute_inner_html);
        line(93); if (!contains(pager, page->marker_link_end)) break;
        line(94); script_click(driver, find_element(driver, page->xpath_pager_link));
        line(95); sleep(steps->after_page_turn);
        line(96); print_line(steps->next_page_line);
        ++result_page;
    }
    line(98); return {on_sale_page(driver) ? SearchOutcome::not_found : SearchOutcome::found, result_page};
}

py::object draft_entries(py::handle driver, Lines& line) {
    line(143); call_method(driver, host->name_get, draft_address());
    line(144); sleep(steps->after_draft_page);
    line(145); if (!contains(page_source(driver), page->marker_item_detail)) return py::list();
    line(146); return find_elements(driver, page->xpath_item_list)[steps->cards];
}

StagePacing stage_pacing() {
    auto seconds = [](py::handle value) { return value.cast<double>(); };
    StagePacing pacing;
    pacing.search = seconds(steps->after_open) + seconds(steps->after_search);
    pacing.page_turn = seconds(steps->after_page_turn);
    pacing.marked = seconds(steps->after_negative);
    pacing.copy = seconds(steps->after_copy_click) + seconds(steps->before_editor) +
                  2 * seconds(steps->after_visibility) + 2 * seconds(steps->after_scroll) +
                  seconds(steps->before_buttons) + seconds(steps->after_first_button) +
                  seconds(steps->after_publish);
    pacing.drafts_page = seconds(steps->after_draft_page);
    pacing.draft = seconds(steps->after_delete_click) + seconds(steps->after_confirm);
    return pacing;
}

void check_login_wait(py::handle name, py::handle text) {
    RunSettings settings;
    read_login_wait(settings, name, text);
}

void check_rest(py::handle name, py::handle text) {
    RunSettings settings;
    read_rest(settings, name, text);
}

void create_replication_constants() {
    static const StepConstants constants;
    steps = &constants;
}

}  // namespace vantrel
