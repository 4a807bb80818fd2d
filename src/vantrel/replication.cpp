// The replication workflow. Each row of a pass gets at most one copy; whatever goes wrong inside a
// row is dropped and the row comes up again in the next pass. The table is saved after every change.

#include "replication.hpp"

#include "browser.hpp"
#include "launch.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <iterator>

namespace vantrel {
namespace {

// The replication steps: console labels, then sleeps and poll counts below.
#define VANTREL_STEP_CONSTANTS(X)                \
    X(plan_label, "max_times:")                     \
    X(no_results_label, "没有该商品:")              \
    X(not_found_label, "所有页都没有该商品:")       \
    X(next_page_line, "下一页")                     \
    X(line_feed, "\n")                              \
    X(name_current_window_handle, "current_window_handle") \
    X(name_switch_to, "switch_to")                  \
    X(name_window, "window")                        \
    X(unsettled_label, "发布未确认:")               \
    X(prompt_published, "该副本已发布？(y/n)：")

struct StepConstants {
    VANTREL_STEP_CONSTANTS(VANTREL_TEXT_FIELD)
    py::handle cards;  // the item list without its first entry and its last two
    // Sleeps, in seconds, integers and decimals as the pages need them.
    py::handle after_open, after_search, footer_poll, after_negative, after_copy_click,
        after_page_turn, before_editor, after_visibility, image_poll, after_scroll, before_buttons,
        after_first_button, after_publish, editor_recheck, after_draft_page, after_delete_click,
        after_confirm, after_refresh;
    py::handle footer_polls_before_reload;  // from the poll after this many on, each poll reloads
    py::handle footer_polls_for_check;      // a check gives up on results that never load
    py::handle image_polls;                 // image polls that sleep before the wait gives up
};
StepConstants steps;

const char* const get_res_params[] = {"pic_wait", "start_url", "s_date",     "e_date",
                                      "df",       "key_words", "res_path",   "a_list_num",
                                      "domain",   "driver",    "handles"};
const char* const get_res_locals[] = {"max_times", "row",        "index",      "name",
                                      "amount",    "added",      "sign",       "wait_times",
                                      "div_list",  "div",        "search_name", "scroll_js1",
                                      "scroll_js2"};

// From just before the publish click until the copy's outcome is known and saved: a Ctrl+C
// waits (an interrupt between the click and the count would leave a published copy uncounted, to
// be published again in the next pass), and a record beside the workbook names the copy.
class PublishWindow {
public:
    PublishWindow(ConsoleStops& stops, py::handle res_path) : stops_(stops), res_path_(res_path) {
        stops_.hold();
    }
    ~PublishWindow() { stops_.stop_holding(); }
    PublishWindow(const PublishWindow&) = delete;
    PublishWindow& operator=(const PublishWindow&) = delete;

    // The outcome is known: counted (and the record gone with the save that holds the count), or
    // not published. A Ctrl+C held meanwhile has waited for this; the row ends here anyway.
    void close(const Lines& line, py::handle name, bool counted) {
        stops_.stop_holding();
        if (!counted) {
            forget_record();
        }
        if (stops_.held()) {
            runlog::info(runlog::In::get_res, line, "row {!r}: Ctrl+C during the publish, held until the copy's outcome was saved; the row ends here", name);
        }
    }

    // The row fails inside the window. The record stays only where the copy may be out and the
    // run cannot go on to find out (the browser gone): the resume settles it. A count already in
    // the table keeps it too, until a save holds the count.
    void fail(const py::error_already_set& error, bool counted) {
        stops_.stop_holding();
        if (!counted && !what_is_gone(error)) {
            forget_record();
        }
    }

private:
    // A record that cannot be removed stays until the next copy's replaces it; the row's own
    // outcome, or its error, is what goes on from here.
    void forget_record() {
        try {
            clear_in_flight(res_path_);
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }

    ConsoleStops& stops_;
    py::handle res_path_;
};

// One row, up to the moment its outcome is known; returning ends the row as a `continue` would.
struct Row {
    py::handle driver, df, pic_wait, res_path;
    ResultWorkbook& result;
    ConsoleStops* stops;  // null where nothing is published (a check)
    py::object index, name, added;
    Lines& line;
    SearchOutcome* probe = nullptr;  // a check's: the search stops where a run would press a button

    void mark_and_save(py::handle code) {
        if (compare_true(added, sheet.zero, Py_EQ)) {
            result.mark(index, code);
            result.save();
        }
    }

    py::object cards() { return find_elements(driver, page.xpath_item_list)[steps.cards]; }

    bool on_sale_page() { return contains(current_url(driver), page.marker_onsale); }

    bool in_editor() { return contains(current_url(driver), page.marker_editor); }

    bool images_in_place() { return contains(page_source(driver), page.marker_image_delete); }

    // A check's search ends where it knows what a run would do next; nothing further is done.
    bool probed(SearchOutcome::Kind kind, long pages = 0) {
        probe->kind = kind;
        probe->pages = pages;
        return false;
    }

    // Searches for the row's title; true when a copy of its listing is open in the editor.
    bool open_copy() {
        line(56); call_method(driver, host.name_get, onsale_address());
        line(57); sleep(steps.after_open);
        line(58); print_line(name);
        line(59); call_method(find_element(driver, page.xpath_search_box), page.name_clear);
        line(60); call_method(find_element(driver, page.xpath_search_box), page.name_send_keys, name + steps.line_feed);
        line(61); sleep(steps.after_search);
        line(62); py::object wait_times = py::reinterpret_borrow<py::object>(sheet.zero);
        for (;;) {
            line(64); py::object style = call_method(find_element(driver, page.xpath_results_footer),
                                                         page.name_get_attribute, page.attribute_style);
            line(65); if (compare_true(style, page.style_hidden, Py_EQ)) break;
            line(66); wait_times = wait_times + sheet.one;
            line(67); if (compare_true(wait_times, steps.footer_polls_before_reload, Py_GT)) call_method(driver, page.name_refresh);
                      if (probe && compare_true(wait_times, steps.footer_polls_for_check, Py_GT)) return probed(SearchOutcome::results_stuck);
            line(68); sleep(steps.footer_poll);
        }
        line(70); py::object div_list = cards();
        line(71); print_line(py::int_(py::len(div_list)));
        line(72); if (!contains(page_source(driver), page.marker_item_detail)) {
                      if (probe) return probed(SearchOutcome::no_results);
            line(73); print_line(py::make_tuple(steps.no_results_label, name));
                      runlog::info(runlog::In::get_res, line, compare_true(added, sheet.zero, Py_EQ) ? "row {!r}: no search results, sign 2 written"
                                                                                         : "row {!r}: no search results, sign stays 0 (added {})", name, added);
            line(74); mark_and_save(sheet.code_no_results);
            line(77); sleep(steps.after_negative);
            return false;
        }
        long result_page = 1;
        for (;;) {
            line(81); div_list = cards();
            for (py::handle div : div_list) {
                line(83); py::object search_name = call_method(find_element(div, page.xpath_card_title).attr(page.name_text),
                                                                   host.name_strip);
                line(84); if (!compare_true(name, search_name, Py_EQ)) continue;
                line(85); if (!on_sale_page()) break;
                          if (probe) return probed(SearchOutcome::found, result_page);
                line(86); call_method(find_element(div, page.xpath_copy_button), page.name_click);
                line(87); sleep(steps.after_copy_click);
                line(88); if (!on_sale_page()) break;  // a later card of the same title is tried too
            }
            line(90); if (!on_sale_page()) break;
            line(91); if (!contains(page_source(driver), page.marker_pager)) break;
            line(92); py::object pager = call_method(find_element(driver, page.xpath_pager_item),
                                                         page.name_get_attribute, page.attribute_inner_html);
            line(93); if (!contains(pager, page.marker_link_end)) break;
            line(94); script_click(driver, find_element(driver, page.xpath_pager_link));
            line(95); sleep(steps.after_page_turn);
            line(96); print_line(steps.next_page_line);
            ++result_page;
        }
                   if (probe) return probed(SearchOutcome::not_found, result_page);
        line(98); if (on_sale_page()) {
            line(99); print_line(py::make_tuple(steps.not_found_label, name));
                      runlog::info(runlog::In::get_res, line, compare_true(added, sheet.zero, Py_EQ) ? "row {!r}: listing not found on any result page, sign 1 written"
                                                                                         : "row {!r}: listing not found on any result page, sign stays 0 (added {})", name, added);
            line(100); mark_and_save(sheet.code_not_found);
            line(103); sleep(steps.after_negative);
            return false;
        }
        line(106); sleep(steps.before_editor);
        return true;
    }

    // Sets the copy's options and publishes it; counts and saves only when the editor was left.
    void publish_copy() {
        line(108); choose_visibility(driver, page.option_listed);
        line(109); sleep(steps.after_visibility);
        line(110); py::object wait_times = py::reinterpret_borrow<py::object>(sheet.zero);
        line(111); while (!images_in_place()) {
            line(112); wait_times = wait_times + sheet.one;
            line(113); if (compare_true(wait_times, steps.image_polls, Py_GT)) break;
            line(114); sleep(steps.image_poll);
        }
        line(115); sleep(pic_wait);
        line(116); if (!images_in_place()) { runlog::info(runlog::In::get_res, line, "row {!r}: left early, the editor's images were not in place after the image wait", name); return; }
        line(118); call_method(driver, page.name_execute_script, page.script_scroll_bottom);
        line(119); sleep(steps.after_scroll);
        line(121); call_method(driver, page.name_execute_script, page.script_scroll_top);
        line(122); sleep(steps.after_scroll);
        line(123); if (!py::bool_(call_method(find_element(driver, page.xpath_checkbox), page.name_is_selected))) {
            line(124); call_method(find_element(driver, page.xpath_checkbox), page.name_click);
        }
        line(125); choose_visibility(driver, page.option_unlisted);
        line(126); sleep(steps.after_visibility);
        line(127); choose_visibility(driver, page.option_listed);
        line(128); sleep(steps.before_buttons);
        line(129); script_click(driver, find_element(driver, page.xpath_first_editor_button));
        line(130); sleep(steps.after_first_button);
        PublishWindow window(*stops, res_path);
        result.copy_in_flight(index, name, added, current_url(driver),
                              py::getattr(driver, steps.name_current_window_handle, py::none()));
        bool counted = false;
        try {
            line(131); script_click(driver, find_element(driver, page.xpath_publish_button));
            line(132); sleep(steps.after_publish);
            line(133); if (in_editor()) {
                line(134); sleep(steps.editor_recheck);
            }
            line(135); if (in_editor()) {
                           runlog::info(runlog::In::get_res, line, "row {!r}: left early, still in the editor after publishing, not counted", name);
                           window.close(line, name, false);
                           return;
                       }
            line(136); result.count_copy(index);
                       counted = true;
                       runlog::info(runlog::In::get_res, line, "row {!r}: copy published, added {}", name, added + sheet.one);
            line(137); result.save();
        } catch (py::error_already_set& error) {
            window.fail(error, counted);
            throw;
        }
        window.close(line, name, true);
    }
};

// Deletes the draft entries one per cycle until the page lists none; a failed cycle reloads.
void clear_drafts(py::handle driver, Lines& line) {
    long deleted = 0;
    line(143); call_method(driver, host.name_get, draft_address());
    line(144); sleep(steps.after_draft_page);
    for (;;) {
        line(145); if (!contains(page_source(driver), page.marker_item_detail)) break;
        line(146); py::object div_list = find_elements(driver, page.xpath_item_list)[steps.cards];
        try {
            line(148); py::object button = find_element(div_list[py::int_(0)], page.xpath_draft_delete);
            line(149); script_click(driver, button);
            line(150); sleep(steps.after_delete_click);
            line(151); call_method(find_element(driver, page.xpath_dialog_confirm), page.name_click);
            line(152); sleep(steps.after_confirm);
                       runlog::info(runlog::In::get_res, line, "draft cleanup: draft {} deleted", ++deleted);
        } catch (...) {
                       runlog::draft_reload(line);
            line(154); call_method(driver, page.name_refresh);
            line(155); sleep(steps.after_refresh);
        }
    }
}

// NumPy 2 shows its scalars as np.int64(3); the line shows the plan as ('max_times:', 3).
void print_plan(py::handle max_times) { print_line(py::make_tuple(steps.plan_label, plain_number(max_times))); }

// The browser is gone: the run cannot go on, and says so instead of failing every row for ever.
// The driver's error stays attached as the cause.
[[noreturn]] void raise_browser_gone(const char* what, py::error_already_set& error,
                                     py::handle res_path) {
    py::str message = py::str("{} is gone ({}): the run has stopped; its record is the result workbook "
                              "{}. Start {} again and run vantrel-resume to go on with it")
                          .format(what, runlog::describe(error.type(), error.value()), res_path, what);
    py::object gone = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
    PyException_SetCause(gone.ptr(), py::reinterpret_borrow<py::object>(error.value()).release().ptr());
    PyErr_SetObject(PyExc_RuntimeError, gone.ptr());
    throw py::error_already_set();
}

// A stop asked for with a second Ctrl+C ends the run here, where no row is in flight, as a Ctrl+C
// between passes would. The run log says so where the passes end: a second Ctrl+C outside a row
// and outside a publish ends them where it lands.
void stop_if_requested(const ConsoleStops& stops, Lines& line) {
    if (stops.stop_requested()) {
        line(46); raise_keyboard_interrupt();
    }
}

void passes(py::handle driver, py::handle df, py::handle pic_wait, py::handle res_path,
            ResultWorkbook& result, ConsoleStops& stops, py::object max_times, Lines& line) {
    long pass = 0;
    // The record exists from before the first row: a stop after the first publish leaves a
    // workbook to resume from. A failed save here is one more save to make good later.
    line(45); if (compare_true(max_times, sheet.zero, Py_GT)) {
        try {
            result.save();
        } catch (py::error_already_set& error) {
            if (!error.matches(PyExc_Exception)) throw;
        }
    }
    line(45); while (compare_true(max_times, sheet.zero, Py_GT)) {
        ++pass;
        line(46); for (py::handle record : call_method(df, host.name_itertuples)) {
            stop_if_requested(stops, line);
            // Whatever a row raises, an interrupt included, is dropped here: the row comes up
            // again in the next pass. The run log says why. Only a browser that is gone ends
            // the run from here.
            py::object name;
            try {
                line(48); py::object index = record.attr(sheet.field_index);
                line(49); name = record.attr(sheet.column_name);
                line(50); py::object amount = record.attr(sheet.column_amount);
                line(51); py::object added = record.attr(sheet.column_added);
                line(52); py::object sign = record.attr(sheet.column_sign);
                          runlog::info(runlog::In::get_res, line, "row {!r}: pass {}, amount {}, added {}", name, pass, amount, added);
                Row row{driver, df, pic_wait, res_path, result, &stops, index, name, added, line};
                line(53); if (compare_true(sign, sheet.zero, Py_NE)) { runlog::info(runlog::In::get_res, line, "row {!r}: left early, sign is {}", name, sign); continue; }
                line(54); if (compare_true(amount, added, Py_LE)) { runlog::info(runlog::In::get_res, line, "row {!r}: left early, amount {} reached (added {})", name, amount, added); continue; }
                if (row.open_copy()) {
                    row.publish_copy();
                }
            } catch (py::error_already_set& error) {
                runlog::row_failed(line, name);
                if (const char* gone = browser_lost(driver, error)) {
                    runlog::info(runlog::In::get_res, line, "{} is gone: the run ends; vantrel-resume goes on with it", gone);
                    raise_browser_gone(gone, error, res_path);
                }
            } catch (...) {
                runlog::row_failed(line, name);
            }
            line(46);
        }
        stop_if_requested(stops, line);
        line(140); max_times = plan(df);
        line(141); print_plan(max_times);
                   runlog::info(runlog::In::get_res, line, "plan after pass {}: max_times {}", pass, max_times);
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
    line(43); py::object max_times = plan(df);
    line(44); print_plan(max_times);
              runlog::info(runlog::In::get_res, line, "plan: max_times {}", max_times);
    try {
        passes(driver, df, pic_wait, res_path, result, stops, max_times, line);
    } catch (py::error_already_set& leaving) {
        // Whichever way the passes end, the record on disk is made whole before the run ends.
        if (stops.stop_requested() && leaving.matches(PyExc_KeyboardInterrupt)) {
            runlog::info(runlog::In::get_res, line, "stop: a second Ctrl+C within 5 s asked the run to stop; no row is in flight");
        }
        runlog::passes_ended(line, leaving);
        result.catch_up_before(leaving, line);
        throw;
    }
    // A save that failed inside a row left the workbook behind the table; the run does not end so.
    line(142); result.catch_up(line);
    clear_drafts(driver, line);
    line(157); return py::none();
}

// The operator's yes or no, asked again until it is one of them.
bool operator_says_published(py::handle ask, py::handle name) {
    print_line(py::make_tuple(steps.unsettled_label, name));
    for (;;) {
        py::object answer = call_method(call_method(call(ask, steps.prompt_published), host.name_strip),
                                        host.name_lower);
        for (const char* yes : {"y", "yes", "是"}) {
            if (compare_true(answer, py::str(yes), Py_EQ)) return true;
        }
        for (const char* no : {"n", "no", "否"}) {
            if (compare_true(answer, py::str(no), Py_EQ)) return false;
        }
    }
}

}  // namespace

void settle_in_flight(py::handle driver, py::handle df, py::handle res_path, py::handle ask,
                      Lines& line) {
    InFlightCopy record = read_in_flight(res_path);
    if (!record) {
        return;
    }
    const py::object &index = record.row, &name = record.name, &added_before = record.added,
                     &window = record.window;
    if (!contains(df.attr("index"), index)) {
        runlog::info(runlog::In::resume, line, "resume: row {!r}: the copy in flight did not go out ({}): not counted", name, "the workbook has no such row");
        clear_in_flight(res_path);
        return;
    }
    py::object added_now = df.attr("loc")[py::make_tuple(index, sheet.column_added)];
    if (compare_true(added_now, added_before, Py_GT)) {
        runlog::info(runlog::In::resume, line, "resume: row {!r}: the copy in flight went out ({}): counted", name, "the workbook counts it already");
        clear_in_flight(res_path);
        return;
    }
    // The operator's Chrome outlives the module: its tab shows where the publish led. The run
    // counts a copy when the editor was left, and so does this, on the marketplace's own pages.
    bool published = false;
    const char* why = nullptr;
    if (!window.is_none() && contains(driver.attr(page.name_window_handles), window)) {
        driver.attr(steps.name_switch_to).attr(steps.name_window)(window);
        py::object url = current_url(driver);
        if (contains(url, page.marker_editor)) {
            sleep(steps.after_publish);  // a publish still under way has the time the run gives it
            url = current_url(driver);
        }
        if (contains(url, page.marker_editor)) {
            why = "its tab is still in the listing editor";
        } else if (py::bool_(url.attr("startswith")(marketplace_origin()))) {
            published = true;
            why = "its tab left the listing editor for the marketplace's pages";
        }
    }
    if (!why) {
        published = operator_says_published(ask, name);
        why = "the operator's answer";
    }
    if (published) {
        ResultWorkbook result(df, res_path);
        result.count_copy(index);
        result.save();
    }
    runlog::info(runlog::In::resume, line, published ? "resume: row {!r}: the copy in flight went out ({}): counted"
                                                   : "resume: row {!r}: the copy in flight did not go out ({}): not counted",
                 name, why);
    clear_in_flight(res_path);
}

const FunctionDef get_res_function = {
    "get_res", "vantrel.get_res", 40,
    get_res_params, std::size(get_res_params),
    get_res_locals, std::size(get_res_locals),
    get_res_body,
};

SearchOutcome search_listing(py::handle driver, py::handle df, py::handle index, py::handle name,
                             py::handle added, Lines& line) {
    ResultWorkbook never_saved(df, py::none());
    SearchOutcome outcome;
    Row row{driver, df, py::none(), py::none(), never_saved, nullptr, py::reinterpret_borrow<py::object>(index),
            py::reinterpret_borrow<py::object>(name), py::reinterpret_borrow<py::object>(added), line,
            &outcome};
    row.open_copy();
    return outcome;
}

py::object draft_entries(py::handle driver, Lines& line) {
    line(143); call_method(driver, host.name_get, draft_address());
    line(144); sleep(steps.after_draft_page);
    line(145); if (!contains(page_source(driver), page.marker_item_detail)) return py::list();
    line(146); return find_elements(driver, page.xpath_item_list)[steps.cards];
}

StagePacing stage_pacing() {
    auto seconds = [](py::handle value) { return value.cast<double>(); };
    StagePacing pacing;
    pacing.search = seconds(steps.after_open) + seconds(steps.after_search);
    pacing.page_turn = seconds(steps.after_page_turn);
    pacing.marked = seconds(steps.after_negative);
    pacing.copy = seconds(steps.after_copy_click) + seconds(steps.before_editor) +
                  2 * seconds(steps.after_visibility) + 2 * seconds(steps.after_scroll) +
                  seconds(steps.before_buttons) + seconds(steps.after_first_button) +
                  seconds(steps.after_publish);
    pacing.drafts_page = seconds(steps.after_draft_page);
    pacing.draft = seconds(steps.after_delete_click) + seconds(steps.after_confirm);
    return pacing;
}

void create_replication_constants() {
    StepConstants& table = steps;
    VANTREL_STEP_CONSTANTS(VANTREL_TEXT_CREATE)
    table.cards = keep(py::reinterpret_steal<py::object>(
        PySlice_New(py::int_(1).ptr(), py::int_(-2).ptr(), nullptr)));
    VANTREL_INT_CREATE(after_open, 4)
    VANTREL_FLOAT_CREATE(after_search, 1.5)
    VANTREL_FLOAT_CREATE(footer_poll, 0.6)
    VANTREL_FLOAT_CREATE(after_negative, 0.8)
    VANTREL_INT_CREATE(after_copy_click, 1)
    VANTREL_INT_CREATE(after_page_turn, 2)
    VANTREL_INT_CREATE(before_editor, 5)
    VANTREL_FLOAT_CREATE(after_visibility, 0.5)
    VANTREL_INT_CREATE(image_poll, 1)
    VANTREL_FLOAT_CREATE(after_scroll, 0.3)
    VANTREL_INT_CREATE(before_buttons, 1)
    VANTREL_FLOAT_CREATE(after_first_button, 0.5)
    VANTREL_INT_CREATE(after_publish, 4)
    VANTREL_INT_CREATE(editor_recheck, 1)
    VANTREL_INT_CREATE(after_draft_page, 5)
    VANTREL_INT_CREATE(after_delete_click, 1)
    VANTREL_INT_CREATE(after_confirm, 2)
    VANTREL_FLOAT_CREATE(after_refresh, 3.6)
    VANTREL_INT_CREATE(footer_polls_before_reload, 6)
    VANTREL_INT_CREATE(image_polls, 9)
    VANTREL_INT_CREATE(footer_polls_for_check, 30)
}

}  // namespace vantrel
