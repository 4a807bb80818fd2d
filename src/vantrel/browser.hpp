// Browser and pages: attaching to the operator's Chrome (`init`) and everything the workflow relies
// on of the marketplace's pages, its addresses, XPaths, markers and scripts.
#pragma once

#include "host.hpp"

namespace vantrel {

// What the module knows of the marketplace's pages: where they are, their elements' XPaths, the
// markers tested in their source and addresses, the scripts run on them and the options chosen.
struct PageLiterals {
    // The addresses: the origin from VANTREL_ORIGIN, else the stand-in's, and the listing pages.
    py::handle origin_variable = intern("VANTREL_ORIGIN");
    py::handle default_origin = intern("http://127.0.0.1:8700");
    py::handle onsale_path = intern("/zh/listings/onsale");
    py::handle draft_path = intern("/zh/listings/draft");
    // The elements, looked up afresh before each use.
    py::handle xpath_search_box = intern("//form[@class=\"form-inline\"]/div/input");
    py::handle xpath_results_footer = intern("//footer/div[last()]");
    py::handle xpath_item_list = intern("//div[@class=\"item-list\"]/div");
    py::handle xpath_card_title = intern("./div[3]/div/div/h4[@class=\"name\"]/a");
    py::handle xpath_copy_button = intern("./div[4]/div/div[2]/button[2]");
    py::handle xpath_pager_item = intern("//ul[@class=\"pager\"]/li[2]");
    py::handle xpath_pager_link = intern("//ul[@class=\"pager\"]/li[2]/a");
    py::handle xpath_visibility_select = intern("//div[@class=\"edit-item-visibility section\"]/div/div/select");
    py::handle xpath_checkbox = intern("//div[@class=\"media-body\"]/div[2]/div/input");
    py::handle xpath_first_editor_button = intern("//div[@class=\"col-6 text-left\"]/button");
    py::handle xpath_publish_button = intern("//div[@class=\"buttons text-left\"]/button[@class=\"btn btn-primary\"]");
    py::handle xpath_draft_delete = intern("./div[4]/div/div[2]/button[3]");
    py::handle xpath_dialog_confirm = intern("//div[@id=\"common-dialog\"]/div/div/div[2]/div/div[2]/button[1]");
    // Substrings tested in a page's source or address.
    py::handle marker_item_detail = intern("item-detail");
    py::handle marker_pager = intern("页");
    py::handle marker_onsale = intern("onsale");
    py::handle marker_editor = intern("sell_item");
    py::handle marker_image_delete = intern("icon-delete pointer");
    py::handle marker_link_end = intern("</a>");
    py::handle marker_password = intern("type=\"password\"");  // a login form's password field
    // Scripts, attributes and values, and the visibility select's options.
    py::handle script_click = intern("arguments[0].click();");
    py::handle script_scroll_bottom = intern("var q=document.documentElement.scrollTop=10000");
    py::handle script_scroll_top = intern("var q=document.documentElement.scrollTop=0");
    py::handle style_hidden = intern("display: none;");
    py::handle attribute_style = intern("style");
    py::handle attribute_inner_html = intern("innerHTML");
    py::handle option_listed = intern("上市");
    py::handle option_unlisted = intern("不公开");
    py::handle by_xpath = intern("xpath");
};
extern const PageLiterals* page;

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

// Whether the browser shows the on-sale page as a run needs it: its address, and its search box.
bool onsale_ready(py::handle driver);

// Why the page the browser shows is not the on-sale page a run needs, asked for at `address`;
// null when it is.
py::object onsale_problem(py::handle driver, py::handle address);

// Whether the page the browser shows asks for a password: a login page.
bool login_page(py::handle driver);

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

// Chrome as installed where the operator's system puts it: on Windows for all users, then for one
// user; elsewhere the first of its usual commands on the PATH. Null where none is found.
py::object installed_chrome();

// Whether a Chrome answers on its debugging port at 127.0.0.1.
bool chrome_debugging_at(py::handle port);

// Starts `chrome` with `arguments`, apart from this console and its Ctrl+C; the process object.
py::object start_chrome(py::handle chrome, py::handle arguments);

// The driver's current address and page source, read afresh.
py::object current_url(py::handle driver);
py::object page_source(py::handle driver);

// Clicks an element by script, as the marketplace's own buttons expect.
void script_click(py::handle driver, py::handle element);

// Finds the visibility select afresh and picks the option with the given text.
void choose_visibility(py::handle driver, py::handle option_text);

}  // namespace vantrel
