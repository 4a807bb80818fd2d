// Attaching to the operator's Chrome through ChromeDriver, and the page operations that every
// workflow stage shares. Look-ups follow whichever Selenium API the driver object offers.

#include "browser.hpp"

#include <iterator>

namespace vantrel {

PageTexts page;

namespace {

#define VANTREL_INIT_TEXTS(X)                                           \
    X(name_options, "Options")                                          \
    X(name_webdriver, "webdriver")                                      \
    X(name_chrome, "Chrome")                                            \
    X(name_add_argument, "add_argument")                                \
    X(name_add_experimental_option, "add_experimental_option")          \
    X(argument_no_sandbox, "--no-sandbox")                              \
    X(argument_window_size, "window-size=1920x3000")                    \
    X(argument_disable_gpu, "--disable-gpu")                            \
    X(argument_hide_scrollbars, "--hide-scrollbars")                    \
    X(argument_no_images, "blink-settings=imagesEnabled=false")         \
    X(debugger_address_key, "debuggerAddress")                          \
    X(loopback_prefix, "127.0.0.1:")                                    \
    X(name_os, "os")                                                    \
    X(name_environ, "environ")                                          \
    X(name_rstrip, "rstrip")                                            \
    X(slash, "/")                                                       \
    X(name_inspect, "inspect")                                          \
    X(name_signature, "signature")                                      \
    X(name_parameters, "parameters")                                    \
    X(parameter_service, "service")                                    \
    X(parameter_executable_path, "executable_path")                     \
    X(name_service_module, "selenium.webdriver.chrome.service")         \
    X(name_service, "Service")

struct InitTexts {
    VANTREL_INIT_TEXTS(VANTREL_TEXT_FIELD)
    py::handle implicit_wait_seconds;
};
InitTexts attach;

const char* const init_params[] = {"start_url", "domain", "chromedriver_path", "chrome_port"};
const char* const init_locals[] = {"options", "driver"};

py::object origin() {
    py::object environ = import(attach.name_os).attr(attach.name_environ);
    py::object value = environ.attr(page.name_get)(page.origin_variable);
    if (value.is_none() || py::len(value) == 0) {
        return py::reinterpret_borrow<py::object>(page.default_origin);
    }
    return value.attr(attach.name_rstrip)(attach.slash);
}

// Selenium from 4.10 on takes the driver path only through a Service object; earlier releases
// (and anything else that is called like them) take it as the first positional argument.
bool takes_service(py::handle chrome) {
    py::object parameters;
    try {
        parameters = import(attach.name_inspect)
                         .attr(attach.name_signature)(chrome)
                         .attr(attach.name_parameters);
    } catch (py::error_already_set&) {
        return false;  // no readable signature: call it as the old releases are called
    }
    return parameters.contains(attach.parameter_service) &&
           !parameters.contains(attach.parameter_executable_path);
}

py::object new_chrome(py::handle chromedriver_path, py::handle options) {
    py::object chrome = global(attach.name_webdriver).attr(attach.name_chrome);
    if (!takes_service(chrome)) {
        return chrome(chromedriver_path, py::arg("options") = options);
    }
    py::object service = import(attach.name_service_module)
                             .attr(attach.name_service)(chromedriver_path);
    return chrome(py::arg("service") = service, py::arg("options") = options);
}

py::object init_body(const py::object* args, Lines& line) {
    const py::object& start_url = args[0];
    const py::object& chromedriver_path = args[2];
    const py::object& chrome_port = args[3];

    line(19);  py::object options = global(attach.name_options)();
    line(20);  options.attr(attach.name_add_argument)(attach.argument_no_sandbox);
    line(21);  options.attr(attach.name_add_argument)(attach.argument_window_size);
    line(22);  options.attr(attach.name_add_argument)(attach.argument_disable_gpu);
    line(23);  options.attr(attach.name_add_argument)(attach.argument_hide_scrollbars);
    line(24);  options.attr(attach.name_add_argument)(attach.argument_no_images);
    line(25);  py::object address = attach.loopback_prefix + chrome_port;
               options.attr(attach.name_add_experimental_option)(attach.debugger_address_key, address);
    line(27);  py::object driver = new_chrome(chromedriver_path, options);
    line(28);  driver.attr(page.name_get)(start_url);
    line(29);  driver.attr(page.name_implicitly_wait)(attach.implicit_wait_seconds);
    line(30);  return driver;
}

}  // namespace

const FunctionDef init_function = {
    "init", "vantrel.init", 18,
    init_params, std::size(init_params),
    init_locals, std::size(init_locals),
    init_body,
};

void create_browser_constants() {
    {
        PageTexts& table = page;
        VANTREL_PAGE_TEXTS(VANTREL_TEXT_CREATE)
    }
    InitTexts& table = attach;
    VANTREL_INIT_TEXTS(VANTREL_TEXT_CREATE)
    VANTREL_INT_CREATE(implicit_wait_seconds, 1)
}

py::object onsale_address() { return origin() + page.onsale_path; }

py::object draft_address() { return origin() + page.draft_path; }

py::object find_element(py::handle where, py::handle xpath) {
    if (py::hasattr(where, page.name_find_element_by_xpath)) {
        return where.attr(page.name_find_element_by_xpath)(xpath);
    }
    return where.attr(page.name_find_element)(page.by_xpath, xpath);
}

py::object find_elements(py::handle where, py::handle xpath) {
    if (py::hasattr(where, page.name_find_elements_by_xpath)) {
        return where.attr(page.name_find_elements_by_xpath)(xpath);
    }
    return where.attr(page.name_find_elements)(page.by_xpath, xpath);
}

py::object current_url(py::handle driver) { return driver.attr(page.name_current_url); }

py::object page_source(py::handle driver) { return driver.attr(page.name_page_source); }

void script_click(py::handle driver, py::handle element) {
    driver.attr(page.name_execute_script)(page.script_click, element);
}

void choose_visibility(py::handle driver, py::handle option_text) {
    py::object select = global(page.name_select)(find_element(driver, page.xpath_visibility_select));
    select.attr(page.name_select_by_visible_text)(option_text);
}

}  // namespace vantrel
