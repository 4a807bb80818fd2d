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
    X(name_environ, "environ")                                          \
    X(name_path, "path")                                                \
    X(name_dirname, "dirname")                                          \
    X(name_rstrip, "rstrip")                                            \
    X(slash, "/")                                                       \
    X(name_shutil, "shutil")                                            \
    X(name_which, "which")                                              \
    X(name_name, "name")                                                \
    X(windows_os_name, "nt")                                            \
    X(name_pathsep, "pathsep")                                          \
    X(name_split, "split")                                              \
    X(name_splitext, "splitext")                                        \
    X(name_lower, "lower")                                              \
    X(name_join, "join")                                                \
    X(name_isfile, "isfile")                                            \
    X(path_variable, "PATH")                                            \
    X(pathext_variable, "PATHEXT")                                      \
    X(default_pathext, ".COM;.EXE;.BAT;.CMD")                           \
    X(name_inspect, "inspect")                                          \
    X(name_signature, "signature")                                      \
    X(name_parameters, "parameters")                                    \
    X(parameter_service, "service")                                     \
    X(name_chrome_package, "chrome")                                    \
    X(name_service_module, "service")                                   \
    X(name_service, "Service")

struct InitTexts {
    VANTREL_INIT_TEXTS(VANTREL_TEXT_FIELD)
    py::handle implicit_wait_seconds;
};
InitTexts attach;

const char* const init_params[] = {"start_url", "domain", "chromedriver_path", "chrome_port"};
const char* const init_locals[] = {"options", "driver"};

// The marketplace's origin as the environment gives it at this moment.
py::object origin() {
    py::object value = call_method(host.os.attr(attach.name_environ), page.name_get,
                                   page.origin_variable);
    if (value.is_none() || py::len(value) == 0) {
        return py::reinterpret_borrow<py::object>(page.default_origin);
    }
    return call_method(value, attach.name_rstrip, attach.slash);
}

// Every Selenium 4 release takes the driver through a Service (from 4.10 on, only so); Selenium 3
// and anything else called like it takes the driver path as the first positional argument.
bool takes_service(py::handle chrome) {
    py::object parameters;
    try {
        parameters = import(attach.name_inspect)
                         .attr(attach.name_signature)(chrome)
                         .attr(attach.name_parameters);
    } catch (py::error_already_set&) {
        return false;  // no readable signature: call it as the old releases are called
    }
    return parameters.contains(attach.parameter_service);
}

// A bare name on Windows, looked up as PowerShell finds programs: each PATH folder in turn, with
// the name as given when its extension is one of PATHEXT's, else with each of PATHEXT's
// extensions. shutil.which would look in the working folder first, as the Command Prompt does
// (CPython 3.12 and later skip it only where NoDefaultCurrentDirectoryInExePath is set), and
// so run a chromedriver.exe that anyone put in the folder a run starts from.
py::object find_on_windows_path(py::handle name) {
    py::object environment = host.os.attr(attach.name_environ);
    py::object path = host.os.attr(attach.name_path);
    py::object separator = host.os.attr(attach.name_pathsep);
    py::object pathext = call_method(environment, page.name_get, attach.pathext_variable);
    if (pathext.is_none() || py::len(pathext) == 0) {
        pathext = py::reinterpret_borrow<py::object>(attach.default_pathext);
    }
    py::object given_extension = call_method(call_method(path, attach.name_splitext, name)[py::int_(1)],
                                             attach.name_lower);
    py::list candidates;
    for (py::handle extension : call_method(pathext, attach.name_split, separator)) {
        if (py::len(extension) == 0) continue;
        if (holds(call_method(extension, attach.name_lower), given_extension, Py_EQ)) {
            candidates = py::list();
            candidates.append(name);
            break;
        }
        candidates.append(py::reinterpret_borrow<py::object>(name) + py::reinterpret_borrow<py::object>(extension));
    }
    py::object folders = call_method(environment, page.name_get, attach.path_variable);
    if (folders.is_none()) return py::object();
    for (py::handle folder : call_method(folders, attach.name_split, separator)) {
        if (py::len(folder) == 0) continue;
        for (py::handle candidate : candidates) {
            py::object file = call_method(path, attach.name_join, folder, candidate);
            if (py::bool_(call_method(path, attach.name_isfile, file))) return file;
        }
    }
    return py::object();
}

// The driver a Service is made with: a bare name as the platform finds programs on PATH (on
// Windows never in the working folder, unless PATH names it), a path with a folder part as given.
// Null when the name is on no PATH folder, so that a Selenium with a driver manager finds one
// that matches the browser.
py::object locate_driver(py::handle chromedriver_path) {
    py::object path = host.os.attr(attach.name_path);
    if (py::len(call_method(path, attach.name_dirname, chromedriver_path)) > 0) {
        return py::reinterpret_borrow<py::object>(chromedriver_path);
    }
    if (holds(host.os.attr(attach.name_name), attach.windows_os_name, Py_EQ)) {
        return find_on_windows_path(chromedriver_path);
    }
    py::object found = call_method(import(attach.name_shutil), attach.name_which, chromedriver_path);
    return found.is_none() ? py::object() : found;
}

py::object new_chrome(py::handle chromedriver_path, py::handle options) {
    py::object webdriver = global(attach.name_webdriver);
    py::object chrome = webdriver.attr(attach.name_chrome);
    if (!takes_service(chrome)) {
        return chrome(chromedriver_path, py::arg("options") = options);
    }
    py::object service_class = webdriver.attr(attach.name_chrome_package)
                                   .attr(attach.name_service_module)
                                   .attr(attach.name_service);
    py::object driver_path = locate_driver(chromedriver_path);
    py::object service = driver_path ? call(service_class, driver_path) : call(service_class);
    return chrome(py::arg("service") = service, py::arg("options") = options);
}

py::object init_body(const py::object* args, Lines& line) {
    const py::object& start_url = args[0];
    const py::object& chromedriver_path = args[2];
    const py::object& chrome_port = args[3];

    line(19);  py::object options = call(global(attach.name_options));
    line(20);  call_method(options, attach.name_add_argument, attach.argument_no_sandbox);
    line(21);  call_method(options, attach.name_add_argument, attach.argument_window_size);
    line(22);  call_method(options, attach.name_add_argument, attach.argument_disable_gpu);
    line(23);  call_method(options, attach.name_add_argument, attach.argument_hide_scrollbars);
    line(24);  call_method(options, attach.name_add_argument, attach.argument_no_images);
    line(25);  py::object address = attach.loopback_prefix + chrome_port;
               call_method(options, attach.name_add_experimental_option, attach.debugger_address_key, address);
    line(27);  py::object driver = new_chrome(chromedriver_path, options);
    line(28);  call_method(driver, page.name_get, start_url);
    line(29);  call_method(driver, page.name_implicitly_wait, attach.implicit_wait_seconds);
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

// Whatever the object in hand offers decides, look-up by look-up; finding out raises nothing, so
// the newer form costs no exception either.
py::object find_element(py::handle where, py::handle xpath) {
    if (py::object found = call_method_if_present(where, page.name_find_element_by_xpath, xpath)) {
        return found;
    }
    return call_method(where, page.name_find_element, page.by_xpath, xpath);
}

py::object find_elements(py::handle where, py::handle xpath) {
    if (py::object found = call_method_if_present(where, page.name_find_elements_by_xpath, xpath)) {
        return found;
    }
    return call_method(where, page.name_find_elements, page.by_xpath, xpath);
}

py::object current_url(py::handle driver) { return driver.attr(page.name_current_url); }

py::object page_source(py::handle driver) { return driver.attr(page.name_page_source); }

void script_click(py::handle driver, py::handle element) {
    call_method(driver, page.name_execute_script, page.script_click, element);
}

void choose_visibility(py::handle driver, py::handle option_text) {
    py::object select = call(global(page.name_select), find_element(driver, page.xpath_visibility_select));
    call_method(select, page.name_select_by_visible_text, option_text);
}

}  // namespace vantrel
