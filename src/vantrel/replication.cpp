// The replication workflow. Each row of a pass gets at most one copy; whatever goes wrong inside a
// row is dropped and the row comes up again in the next pass. The table is saved after every change.

#include "replication.hpp"

#include "browser.hpp"
#include "runlog.hpp"
#include "sheet.hpp"

#include <iterator>

namespace vantrel {
namespace {

#define VANTREL_REPLICATION_TEXTS(X)                \
    X(name_itertuples, "itertuples")                \
    X(plan_label, "max_times:")                     \
    X(no_results_label, "没有该商品:")              \
    X(not_found_label, "所有页都没有该商品:")       \
    X(next_page_line, "下一页")                     \
    X(line_feed, "\n")

struct ReplicationTexts {
    VANTREL_REPLICATION_TEXTS(VANTREL_TEXT_FIELD)
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
ReplicationTexts flow;

const char* const get_res_params[] = {"pic_wait", "start_url", "s_date",     "e_date",
                                      "df",       "key_words", "res_path",   "a_list_num",
                                      "domain",   "driver",    "handles"};
const char* const get_res_locals[] = {"max_times", "row",        "index",      "name",
                                      "amount",    "added",      "sign",       "wait_times",
                                      "div_list",  "div",        "search_name", "scroll_js1",
                                      "scroll_js2"};

// One row, up to the moment its outcome is known; returning ends the row as a `continue` would.
struct Row {
    py::handle driver, df, pic_wait;
    ResultWorkbook& result;
    py::object index, name, added;
    Lines& line;
    SearchOutcome* probe = nullptr;  // a check's: the search stops where a run would press a button

    void mark_and_save(py::handle code) {
        if (holds(added, sheet.zero, Py_EQ)) {
            mark(df, index, code);
            result.save();
        }
    }

    py::object cards() { return find_elements(driver, page.xpath_item_list)[flow.cards]; }

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
        line(56); call_method(driver, page.name_get, onsale_address());
        line(57); sleep(flow.after_open);
        line(58); print_line(name);
        line(59); call_method(find_element(driver, page.xpath_search_box), page.name_clear);
        line(60); call_method(find_element(driver, page.xpath_search_box), page.name_send_keys, name + flow.line_feed);
        line(61); sleep(flow.after_search);
        line(62); py::object wait_times = py::reinterpret_borrow<py::object>(sheet.zero);
        for (;;) {
            line(64); py::object style = call_method(find_element(driver, page.xpath_results_footer),
                                                         page.name_get_attribute, page.attribute_style);
            line(65); if (holds(style, page.style_hidden, Py_EQ)) break;
            line(66); wait_times = wait_times + sheet.one;
            line(67); if (holds(wait_times, flow.footer_polls_before_reload, Py_GT)) call_method(driver, page.name_refresh);
                      if (probe && holds(wait_times, flow.footer_polls_for_check, Py_GT)) return probed(SearchOutcome::results_stuck);
            line(68); sleep(flow.footer_poll);
        }
        line(70); py::object div_list = cards();
        line(71); print_line(py::int_(py::len(div_list)));
        line(72); if (!contains(page_source(driver), page.marker_item_detail)) {
                      if (probe) return probed(SearchOutcome::no_results);
            line(73); print_line(py::make_tuple(flow.no_results_label, name));
                      runlog::no_results(line, name, added);
            line(74); mark_and_save(sheet.code_no_results);
            line(77); sleep(flow.after_negative);
            return false;
        }
        long result_page = 1;
        for (;;) {
            line(81); div_list = cards();
            for (py::handle div : div_list) {
                line(83); py::object search_name = call_method(find_element(div, page.xpath_card_title).attr(page.name_text),
                                                                   host.name_strip);
                line(84); if (!holds(name, search_name, Py_EQ)) continue;
                line(85); if (!on_sale_page()) break;
                          if (probe) return probed(SearchOutcome::found, result_page);
                line(86); call_method(find_element(div, page.xpath_copy_button), page.name_click);
                line(87); sleep(flow.after_copy_click);
                line(88); if (!on_sale_page()) break;  // a later card of the same title is tried too
            }
            line(90); if (!on_sale_page()) break;
            line(91); if (!contains(page_source(driver), page.marker_pager)) break;
            line(92); py::object pager = call_method(find_element(driver, page.xpath_pager_item),
                                                         page.name_get_attribute, page.attribute_inner_html);
            line(93); if (!contains(pager, page.marker_link_end)) break;
            line(94); script_click(driver, find_element(driver, page.xpath_pager_link));
            line(95); sleep(flow.after_page_turn);
            line(96); print_line(flow.next_page_line);
            ++result_page;
        }
                   if (probe) return probed(SearchOutcome::not_found, result_page);
        line(98); if (on_sale_page()) {
            line(99); print_line(py::make_tuple(flow.not_found_label, name));
                      runlog::not_found(line, name, added);
            line(100); mark_and_save(sheet.code_not_found);
            line(103); sleep(flow.after_negative);
            return false;
        }
        line(106); sleep(flow.before_editor);
        return true;
    }

    // Sets the copy's options and publishes it; counts and saves only when the editor was left.
    void publish_copy() {
        line(108); choose_visibility(driver, page.option_listed);
        line(109); sleep(flow.after_visibility);
        line(110); py::object wait_times = py::reinterpret_borrow<py::object>(sheet.zero);
        line(111); while (!images_in_place()) {
            line(112); wait_times = wait_times + sheet.one;
            line(113); if (holds(wait_times, flow.image_polls, Py_GT)) break;
            line(114); sleep(flow.image_poll);
        }
        line(115); sleep(pic_wait);
        line(116); if (!images_in_place()) { runlog::images_missing(line, name); return; }
        line(118); call_method(driver, page.name_execute_script, page.script_scroll_bottom);
        line(119); sleep(flow.after_scroll);
        line(121); call_method(driver, page.name_execute_script, page.script_scroll_top);
        line(122); sleep(flow.after_scroll);
        line(123); if (!py::bool_(call_method(find_element(driver, page.xpath_checkbox), page.name_is_selected))) {
            line(124); call_method(find_element(driver, page.xpath_checkbox), page.name_click);
        }
        line(125); choose_visibility(driver, page.option_unlisted);
        line(126); sleep(flow.after_visibility);
        line(127); choose_visibility(driver, page.option_listed);
        line(128); sleep(flow.before_buttons);
        line(129); script_click(driver, find_element(driver, page.xpath_first_editor_button));
        line(130); sleep(flow.after_first_button);
        line(131); script_click(driver, find_element(driver, page.xpath_publish_button));
        line(132); sleep(flow.after_publish);
        line(133); if (in_editor()) {
            line(134); sleep(flow.editor_recheck);
        }
        line(135); if (in_editor()) { runlog::still_in_editor(line, name); return; }
        line(136); count_copy(df, index);
                   runlog::published(line, name, added);
        line(137); result.save();
    }
};

// Deletes the draft entries one per cycle until the page lists none; a failed cycle reloads.
void clear_drafts(py::handle driver, Lines& line) {
    long deleted = 0;
    line(143); call_method(driver, page.name_get, draft_address());
    line(144); sleep(flow.after_draft_page);
    for (;;) {
        line(145); if (!contains(page_source(driver), page.marker_item_detail)) break;
        line(146); py::object div_list = find_elements(driver, page.xpath_item_list)[flow.cards];
        try {
            line(148); py::object button = find_element(div_list[py::int_(0)], page.xpath_draft_delete);
            line(149); script_click(driver, button);
            line(150); sleep(flow.after_delete_click);
            line(151); call_method(find_element(driver, page.xpath_dialog_confirm), page.name_click);
            line(152); sleep(flow.after_confirm);
                       runlog::draft_deleted(line, ++deleted);
        } catch (...) {
                       runlog::draft_reload(line);
            line(154); call_method(driver, page.name_refresh);
            line(155); sleep(flow.after_refresh);
        }
    }
}

// NumPy 2 shows its scalars as np.int64(3); the line shows the plan as ('max_times:', 3).
void print_plan(py::handle max_times) { print_line(py::make_tuple(flow.plan_label, plain_number(max_times))); }

py::object get_res_body(const py::object* args, Lines& line) {
    const py::object& pic_wait = args[0];
    const py::object& df = args[4];
    const py::object& res_path = args[6];
    const py::object& driver = args[9];
    ResultWorkbook result(df, res_path);

              runlog::attach_file();
    line(43); py::object max_times = plan(df);
    line(44); print_plan(max_times);
              runlog::plan(line, 0, max_times);
    long pass = 0;
    line(45); while (holds(max_times, sheet.zero, Py_GT)) {
        ++pass;
        line(46); for (py::handle record : call_method(df, flow.name_itertuples)) {
            // Whatever a row raises, an interrupt included, is dropped here: the row comes up
            // again in the next pass. The run log says why.
            py::object name;
            try {
                line(48); py::object index = record.attr(sheet.field_index);
                line(49); name = record.attr(sheet.column_name);
                line(50); py::object amount = record.attr(sheet.column_amount);
                line(51); py::object added = record.attr(sheet.column_added);
                line(52); py::object sign = record.attr(sheet.column_sign);
                          runlog::row_reached(line, name, pass, amount, added);
                Row row{driver, df, pic_wait, result, index, name, added, line};
                line(53); if (holds(sign, sheet.zero, Py_NE)) { runlog::row_marked(line, name, sign); continue; }
                line(54); if (holds(amount, added, Py_LE)) { runlog::row_complete(line, name, amount, added); continue; }
                if (row.open_copy()) {
                    row.publish_copy();
                }
            } catch (...) {
                runlog::row_failed(line, name);
            }
            line(46);
        }
        line(140); max_times = plan(df);
        line(141); print_plan(max_times);
                   runlog::plan(line, pass, max_times);
    }
    // A save that failed inside a row left the workbook behind the table; the run does not end so.
    line(142); result.catch_up(line);
    clear_drafts(driver, line);
    line(157); return py::none();
}

}  // namespace

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
    Row row{driver, df, py::none(), never_saved, py::reinterpret_borrow<py::object>(index),
            py::reinterpret_borrow<py::object>(name), py::reinterpret_borrow<py::object>(added), line,
            &outcome};
    row.open_copy();
    return outcome;
}

py::object draft_entries(py::handle driver, Lines& line) {
    line(143); call_method(driver, page.name_get, draft_address());
    line(144); sleep(flow.after_draft_page);
    line(145); if (!contains(page_source(driver), page.marker_item_detail)) return py::list();
    line(146); return find_elements(driver, page.xpath_item_list)[flow.cards];
}

StagePacing stage_pacing() {
    auto seconds = [](py::handle value) { return value.cast<double>(); };
    StagePacing pacing;
    pacing.search = seconds(flow.after_open) + seconds(flow.after_search);
    pacing.page_turn = seconds(flow.after_page_turn);
    pacing.marked = seconds(flow.after_negative);
    pacing.copy = seconds(flow.after_copy_click) + seconds(flow.before_editor) +
                  2 * seconds(flow.after_visibility) + 2 * seconds(flow.after_scroll) +
                  seconds(flow.before_buttons) + seconds(flow.after_first_button) +
                  seconds(flow.after_publish);
    pacing.drafts_page = seconds(flow.after_draft_page);
    pacing.draft = seconds(flow.after_delete_click) + seconds(flow.after_confirm);
    return pacing;
}

void create_replication_constants() {
    ReplicationTexts& table = flow;
    VANTREL_REPLICATION_TEXTS(VANTREL_TEXT_CREATE)
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
