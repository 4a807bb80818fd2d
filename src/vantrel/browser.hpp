// Browser and pages: attaching to the operator's Chrome (`init`) and everything the workflow relies
// on of the marketplace's pages, its addresses, XPaths, markers and scripts.
#pragma once

#include "host.hpp"

namespace vantrel {

// Page literals. Each XPath is the page's own; quotes inside belong to the literal.
#define VANTREL_PAGE_LITERALS(X)                                                                   \
    X(origin_variable, "VANTREL_ORIGIN")                                                        \
    X(default_origin, "http://127.0.0.1:8700")                                                  \
    X(onsale_path, "/zh/listings/onsale")                                                       \
    X(draft_path, "/zh/listings/draft")                                                         \
    X(xpath_search_box, "//form[@class=\"form-inline\"]/div/input")                             \
    X(xpath_results_footer, "//footer/div[last()]")                                             \
    X(xpath_item_list, "//div[@class=\"item-list\"]/div")                                       \
    X(xpath_card_title, "./div[3]/div/div/h4[@class=\"name\"]/a")                               \
    X(xpath_copy_button, "./div[4]/div/div[2]/button[2]")                                       \
    X(xpath_pager_item, "//ul[@class=\"pager\"]/li[2]")                                         \
    X(xpath_pager_link, "//ul[@class=\"pager\"]/li[2]/a")                                       \
    X(xpath_visibility_select, "//div[@class=\"edit-item-visibility section\"]/div/div/select")  \
    X(xpath_checkbox, "//div[@class=\"media-body\"]/div[2]/div/input")                          \
    X(xpath_first_editor_button, "//div[@class=\"col-6 text-left\"]/button")                   \
    X(xpath_publish_button,                                                                     \
      "//div[@class=\"buttons text-left\"]/button[@class=\"btn btn-primary\"]")                 \
    X(xpath_draft_delete, "./div[4]/div/div[2]/button[3]")                                      \
    X(xpath_dialog_confirm, "//div[@id=\"common-dialog\"]/div/div/div[2]/div/div[2]/button[1]") \
    X(marker_item_detail, "item-detail")                                                        \
    X(marker_pager, "页")                                                                       \
    X(marker_onsale, "onsale")                                                                  \
    X(marker_editor, "sell_item")                                                               \
    X(marker_image_delete, "icon-delete pointer")                                               \
    X(marker_link_end, "</a>")                                                                  \
    X(script_click, "arguments[0].click();")                                                    \
    X(script_scroll_bottom, "var q=document.documentElement.scrollTop=10000")                   \
    X(script_scroll_top, "var q=document.documentElement.scrollTop=0")                          \
    X(style_hidden, "display: none;")                                                           \
    X(attribute_style, "style")                                                                 \
    X(attribute_inner_html, "innerHTML")                                                        \
    X(option_listed, "上市")                                                                    \
    X(option_unlisted, "不公开")                                                                \
    X(name_find_element_by_xpath, "find_element_by_xpath")                                      \
    X(name_find_elements_by_xpath, "find_elements_by_xpath")                                    \
    X(name_find_element, "find_element")                                                        \
    X(name_find_elements, "find_elements")                                                      \
    X(by_xpath, "xpath")                                                                        \
    X(name_refresh, "refresh")                                                                  \
    X(name_page_source, "page_source")                                                          \
    X(name_current_url, "current_url")                                                          \
    X(name_execute_script, "execute_script")                                                    \
    X(name_click, "click")                                                                      \
    X(name_clear, "clear")                                                                      \
    X(name_send_keys, "send_keys")                                                              \
    X(name_text, "text")                                                                        \
    X(name_get_attribute, "get_attribute")                                                      \
    X(name_is_selected, "is_selected")                                                          \
    X(name_select_by_visible_text, "select_by_visible_text")                                    \
    X(name_implicitly_wait, "implicitly_wait")                                                  \
    X(name_window_handles, "window_handles")                                                    \
    X(name_select, "Select")

struct PageLiterals {
    VANTREL_PAGE_LITERALS(VANTREL_TEXT_FIELD)
};
extern PageLiterals page;

void create_browser_constants();

extern const FunctionDef init_function;

// The driver's executable as a run names it ("chromedriver.exe" on Windows), and the implicit wait
// the whole workflow works with.
py::handle chromedriver_path();
py::handle run_implicit_wait();

// The marketplace's on-sale and draft listings addresses, built afresh from the environment.
py::object onsale_address();
py::object marketplace_origin();
py::object draft_address();

// Element look-ups by XPath on a driver or an element, in whichever form its Selenium offers.
py::object find_element(py::handle where, py::handle xpath);
py::object find_elements(py::handle where, py::handle xpath);

// A driver attached to Chrome at the port, with `init`'s options, before any page is opened; the
// steps name `init`'s lines.
py::object attach_to_chrome(py::handle chromedriver_path, py::handle chrome_port, Lines& line);

// "ChromeDriver" or "Chrome" when a driver call failed because that program is gone (the driver's
// connection refused, the session invalid, the browser closed or unreachable); null for a page
// that misbehaves.
const char* what_is_gone(const py::error_already_set& error);

// What is gone when the failure says so and a fresh look at the driver's address fails the same
// way; null while the driver still answers.
const char* browser_lost(py::handle driver, const py::error_already_set& error);

// The driver's current address and page source, read afresh.
py::object current_url(py::handle driver);
py::object page_source(py::handle driver);

// Clicks an element by script, as the marketplace's own buttons expect.
void script_click(py::handle driver, py::handle element);

// Finds the visibility select afresh and picks the option with the given text.
void choose_visibility(py::handle driver, py::handle option_text);

}  // namespace vantrel
