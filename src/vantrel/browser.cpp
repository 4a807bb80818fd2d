// Attaching to the operator's Chrome through ChromeDriver, and the page operations that every
// workflow stage shares. Look-ups follow whichever Selenium API the driver object offers.

#include "browser.hpp"

#include <iterator>

namespace vantrel {

const PageLiterals* page = nullptr;

namespace {

#if defined(_WIN32)
#define VANTREL_CHROMEDRIVER "chromedriver.exe"
#else
#define VANTREL_CHROMEDRIVER "chromedriver"
#endif

// How a run attaches: Chrome's options, where the driver is looked for, how it is started apart
// from the console, and the messages that tell a browser gone.
struct DriverSetup {
    py::handle argument_no_sandbox = intern("--no-sandbox");
    py::handle argument_window_size = intern("window-size=1920x3000");
    py::handle argument_disable_gpu = intern("--disable-gpu");
    py::handle argument_hide_scrollbars = intern("--hide-scrollbars");
    py::handle argument_no_images = intern("blink-settings=imagesEnabled=false");
    py::handle debugger_address_key = intern("debuggerAddress");
    py::handle loopback_prefix = intern("127.0.0.1:");
    py::handle slash = intern("/");
    py::handle windows_os_name = intern("nt");
    py::handle path_variable = intern("PATH");
    py::handle pathext_variable = intern("PATHEXT");
    py::handle default_pathext = intern(".COM;.EXE;.BAT;.CMD");
    py::handle parameter_service = intern("service");
    py::handle keyword_popen = intern("popen_kw");
    py::handle popen_new_session = intern("start_new_session");
    py::handle popen_creation_flags = intern("creation_flags");
    py::handle chrome_not_reachable = intern("chrome not reachable");
    py::handle devtools_disconnected = intern("disconnected");
    py::handle session_deleted = intern("session deleted");
    py::handle chromedriver_name = intern(VANTREL_CHROMEDRIVER);
    py::handle implicit_wait_seconds = keep(py::int_(1));  // init's own, while it opens the first page
    py::handle run_implicit_wait = keep(py::float_(0.3));  // the whole workflow's
    py::handle new_process_group = keep(py::int_(0x00000200));  // Windows' CREATE_NEW_PROCESS_GROUP
    py::handle detached_process = keep(py::int_(0x00000008));   // Windows' DETACHED_PROCESS
    // Where Chrome is installed: the folders Windows names, and the commands elsewhere.
    py::handle chrome_under = intern("Google\\Chrome\\Application\\chrome.exe");
    py::handle chrome_commands = keep(py::make_tuple("google-chrome", "google-chrome-stable", "chromium", "chromium-browser"));
    py::handle chrome_folders = keep(py::make_tuple("ProgramFiles", "ProgramFiles(x86)", "LOCALAPPDATA"));
    py::handle version_address = intern("http://127.0.0.1:{}/json/version");
    py::handle answer_timeout = keep(py::int_(2));
    py::handle keyword_stdin = intern("stdin");
    py::handle keyword_stdout = intern("stdout");
    py::handle keyword_stderr = intern("stderr");
    py::handle keyword_creationflags = intern("creationflags");
};
const DriverSetup* driver_setup = nullptr;

const char* const init_params[] = {"start_url", "domain", "chromedriver_path", "chrome_port"};
const char* const init_locals[] = {"options", "driver"};

// The marketplace's origin as the environment gives it at this moment.
py::object origin() {
    py::object value = call_method(host->os.attr(host->name_environ), host->name_get,
                                   page->origin_variable);
    if (value.is_none() || py::len(value) == 0) {
        return py::reinterpret_borrow<py::object>(page->default_origin);
    }
    return call_method(value, host->name_rstrip, driver_setup->slash);
}

// The parameters of a callable's signature by name; null where no signature can be read.
py::object signature_parameters(py::handle callable) {
    try {
        return import(host->name_inspect).attr(host->name_signature)(callable).attr(host->name_parameters);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;  // a Ctrl+C while attaching ends the attach
        return py::object();
    }
}

// Every Selenium 4 release takes the driver through a Service (from 4.10 on, only so); Selenium 3
// and anything else called like it (or with no readable signature) takes the driver path as the
// first positional argument.
bool takes_service(py::handle chrome) {
    py::object parameters = signature_parameters(chrome);
    return parameters && parameters.contains(driver_setup->parameter_service);
}

// A bare name on Windows, looked up as PowerShell finds programs: each PATH folder in turn, with
// the name as given when its extension is one of PATHEXT's, else with each of PATHEXT's
// extensions. shutil.which would look in the working folder first, as the Command Prompt does
// (CPython 3.12 and later skip it only where NoDefaultCurrentDirectoryInExePath is set), and
// so run a chromedriver.exe that anyone put in the folder a run starts from.
py::object find_on_windows_path(py::handle name) {
    py::object environment = host->os.attr(host->name_environ);
    py::object path = host->os.attr(host->name_path);
    py::object separator = host->os.attr(host->name_pathsep);
    py::object pathext = call_method(environment, host->name_get, driver_setup->pathext_variable);
    if (pathext.is_none() || py::len(pathext) == 0) {
        pathext = py::reinterpret_borrow<py::object>(driver_setup->default_pathext);
    }
    py::object given_extension = call_method(call_method(path, host->name_splitext, name)[py::int_(1)],
                                             host->name_lower);
    py::list candidates;
    for (py::handle extension : call_method(pathext, host->name_split, separator)) {
        if (py::len(extension) == 0) continue;
        if (compare_true(call_method(extension, host->name_lower), given_extension, Py_EQ)) {
            candidates = py::list();
            candidates.append(name);
            break;
        }
        candidates.append(py::reinterpret_borrow<py::object>(name) + py::reinterpret_borrow<py::object>(extension));
    }
    py::object folders = call_method(environment, host->name_get, driver_setup->path_variable);
    if (folders.is_none()) return py::object();
    for (py::handle folder : call_method(folders, host->name_split, separator)) {
        if (py::len(folder) == 0) continue;
        for (py::handle candidate : candidates) {
            py::object file = call_method(path, host->name_join, folder, candidate);
            if (py::bool_(call_method(path, host->name_isfile, file))) return file;
        }
    }
    return py::object();
}

// The driver a Service is made with: a bare name as the platform finds programs on PATH (on
// Windows never in the working folder, unless PATH names it), a path with a folder part as given.
// Null when the name is on no PATH folder, so that a Selenium with a driver manager finds one
// that matches the browser.
py::object locate_driver(py::handle chromedriver_path) {
    py::object path = host->os.attr(host->name_path);
    if (py::len(call_method(path, host->name_dirname, chromedriver_path)) > 0) {
        return py::reinterpret_borrow<py::object>(chromedriver_path);
    }
    if (compare_true(host->os.attr(host->name_name), driver_setup->windows_os_name, Py_EQ)) {
        return find_on_windows_path(chromedriver_path);
    }
    py::object found = call_method(import(host->name_shutil), host->name_which, chromedriver_path);
    return found.is_none() ? py::object() : found;
}

// How ChromeDriver is started: apart from the console. A console's Ctrl+C goes to its whole
// foreground process group (on Windows, to every process attached to the console); a driver in
// the module's group would die of it and leave the run without a browser. In a session of its
// own (on Windows, a process group of its own, where Ctrl+C is disabled) only the module hears
// it, and the module decides what it means. Every Selenium 4 Service hands popen_kw to Popen.
py::dict driver_apart_from_console() {
    py::dict popen;
    if (compare_true(host->os.attr(host->name_name), driver_setup->windows_os_name, Py_EQ)) {
        popen[driver_setup->popen_creation_flags] = driver_setup->new_process_group;
    } else {
        popen[driver_setup->popen_new_session] = py::bool_(true);
    }
    return popen;
}

// Selenium's Services take popen_kw from 4.8 on (through their **kwargs); an older one is made
// without it, and its driver then shares the console's Ctrl+C.
bool takes_popen_keywords(py::handle service_class) {
    py::object parameters = signature_parameters(service_class);
    if (!parameters) {
        return false;
    }
    if (parameters.contains(driver_setup->keyword_popen)) {
        return true;
    }
    py::object var_keyword = import(host->name_inspect).attr("Parameter").attr("VAR_KEYWORD");
    for (py::handle parameter : call_method(parameters, host->name_values)) {
        if (compare_true(parameter.attr(host->name_kind), var_keyword, Py_EQ)) return true;
    }
    return false;
}

py::object new_chrome(py::handle chromedriver_path, py::handle options) {
    py::object webdriver = global(host->name_webdriver);
    py::object chrome = webdriver.attr(host->name_chrome);
    if (!takes_service(chrome)) {
        return chrome(chromedriver_path, py::arg("options") = options);
    }
    py::object service_class = webdriver.attr(host->name_chrome_package)
                                   .attr(host->name_service_module)
                                   .attr(host->name_service);
    py::object driver_path = locate_driver(chromedriver_path);
    py::dict keywords;
    if (takes_popen_keywords(service_class)) {
        keywords[driver_setup->keyword_popen] = driver_apart_from_console();
    }
    py::object service = driver_path ? service_class(driver_path, **keywords) : service_class(**keywords);
    return chrome(py::arg("service") = service, py::arg("options") = options);
}

}  // namespace

py::object attach_to_chrome(py::handle chromedriver_path, py::handle chrome_port, Lines& line) {
    line(19);  py::object options = call(global(host->name_options));
    line(20);  call_method(options, host->name_add_argument, driver_setup->argument_no_sandbox);
    line(21);  call_method(options, host->name_add_argument, driver_setup->argument_window_size);
    line(22);  call_method(options, host->name_add_argument, driver_setup->argument_disable_gpu);
    line(23);  call_method(options, host->name_add_argument, driver_setup->argument_hide_scrollbars);
    line(24);  call_method(options, host->name_add_argument, driver_setup->argument_no_images);
    line(25);  py::object address = driver_setup->loopback_prefix + chrome_port;
               call_method(options, host->name_add_experimental_option, driver_setup->debugger_address_key, address);
    line(27);  return new_chrome(chromedriver_path, options);
}

namespace {

py::object init_body(const py::object* args, Lines& line) {
    const py::object& start_url = args[0];
    const py::object& chromedriver_path = args[2];
    const py::object& chrome_port = args[3];

               py::object driver = attach_to_chrome(chromedriver_path, chrome_port, line);
    line(28);  call_method(driver, host->name_get, start_url);
    line(29);  call_method(driver, host->name_implicitly_wait, driver_setup->implicit_wait_seconds);
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
    static const PageLiterals literals;
    static const DriverSetup setup;
    page = &literals;
    driver_setup = &setup;
}

py::handle chromedriver_path() { return driver_setup->chromedriver_name; }

py::object installed_chrome() {
    py::object environment = host->os.attr(host->name_environ);
    py::object os_path = host->os.attr(host->name_path);
    if (compare_true(host->os.attr(host->name_name), driver_setup->windows_os_name, Py_EQ)) {
        for (py::handle folder_variable : driver_setup->chrome_folders) {
            py::object folder = call_method(environment, host->name_get, folder_variable);
            if (folder.is_none() || py::len(folder) == 0) continue;
            py::object chrome = call_method(os_path, host->name_join, folder, driver_setup->chrome_under);
            if (py::bool_(call_method(os_path, host->name_isfile, chrome))) return chrome;
        }
        return py::object();
    }
    for (py::handle command : driver_setup->chrome_commands) {
        py::object found = call_method(import(host->name_shutil), host->name_which, command);
        if (!found.is_none()) return found;
    }
    return py::object();
}

bool chrome_debugging_at(py::handle port) {
    try {
        py::object address = py::str(driver_setup->version_address).format(port);
        py::object answer = call_method(import(host->name_urllib_request), host->name_urlopen, address,
                                        py::arg("timeout") = driver_setup->answer_timeout);
        call_method(answer, host->name_read);
        call_method(answer, host->name_close);
        return true;
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return false;
    }
}

py::object start_chrome(py::handle chrome, py::handle arguments) {
    py::object subprocess = import(host->name_subprocess);
    py::list command;
    command.append(chrome);
    for (py::handle argument : arguments) command.append(argument);
    py::dict options;
    py::object devnull = subprocess.attr(host->name_devnull);
    options[driver_setup->keyword_stdin] = devnull;
    options[driver_setup->keyword_stdout] = devnull;
    options[driver_setup->keyword_stderr] = devnull;
    // Chrome outlives the command, and a Ctrl+C in this console never reaches it.
    if (compare_true(host->os.attr(host->name_name), driver_setup->windows_os_name, Py_EQ) &&
        py::hasattr(subprocess, "CREATE_NEW_PROCESS_GROUP")) {
        options[driver_setup->keyword_creationflags] =
            py::int_(driver_setup->detached_process.cast<long>() | driver_setup->new_process_group.cast<long>());
    } else if (!compare_true(host->os.attr(host->name_name), driver_setup->windows_os_name, Py_EQ)) {
        options[driver_setup->popen_new_session] = py::bool_(true);
    }
    // Kept for the life of the process: Chrome is meant to outlive the object, which would otherwise
    // warn that its process still runs.
    return py::reinterpret_borrow<py::object>(keep(subprocess.attr(host->name_popen)(command, **options)));
}

py::handle run_implicit_wait() { return driver_setup->run_implicit_wait; }

py::object onsale_address() { return origin() + page->onsale_path; }

py::object marketplace_origin() { return origin(); }

bool onsale_ready(py::handle driver) {
    return contains(current_url(driver), page->marker_onsale) &&
           py::len(find_elements(driver, page->xpath_search_box)) > 0;
}

py::object onsale_problem(py::handle driver, py::handle address) {
    py::object url = current_url(driver);
    const bool on_sale = contains(url, page->marker_onsale);
    const bool search_box = py::len(find_elements(driver, page->xpath_search_box)) > 0;
    if (on_sale && search_box) return py::object();
    if (on_sale && py::len(find_elements(driver, page->xpath_item_list)) > 0) {
        return py::str("the on-sale page {} shows no search box: log in to the marketplace in that "
                       "Chrome, or check VANTREL_ORIGIN").format(url);
    }
    return py::str("{} is not the marketplace's on-sale page (asked for {}): check VANTREL_ORIGIN, "
                   "and that Chrome is logged in to the marketplace").format(url, address);
}

bool login_page(py::handle driver) { return contains(page_source(driver), page->marker_password); }

py::object draft_address() { return origin() + page->draft_path; }

// Whatever the object in hand offers decides: the old find_element_by_xpath family where it is
// there, the By form otherwise.
py::object find_element(py::handle where, py::handle xpath) {
    py::object old_form = getattr_or_none(where, host->name_find_element_by_xpath);
    if (!old_form.is_none()) return old_form(xpath);
    return call_method(where, host->name_find_element, page->by_xpath, xpath);
}

py::object find_elements(py::handle where, py::handle xpath) {
    py::object old_form = getattr_or_none(where, host->name_find_elements_by_xpath);
    if (!old_form.is_none()) return old_form(xpath);
    return call_method(where, host->name_find_elements, page->by_xpath, xpath);
}

namespace {

bool is_instance_of(py::handle value, py::handle module_name, py::handle class_name) {
    py::object module;
    try {
        module = import(module_name);
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        return false;  // a Selenium without urllib3 cannot fail through it
    }
    py::object type = py::getattr(module, class_name, py::none());
    return !type.is_none() && py::isinstance(value, type);
}

}  // namespace

const char* what_is_gone(const py::error_already_set& error) {
    py::handle value = error.value();
    // The driver's own server no longer takes the connection: ChromeDriver has ended.
    if (error.matches(PyExc_ConnectionError) ||
        is_instance_of(value, host->name_urllib3_exceptions, host->name_max_retry) ||
        is_instance_of(value, host->name_urllib3_exceptions, host->name_new_connection) ||
        is_instance_of(value, host->name_urllib3_exceptions, host->name_protocol_error)) {
        return "ChromeDriver";
    }
    if (is_instance_of(value, host->name_exceptions, host->name_invalid_session) ||
        is_instance_of(value, host->name_exceptions, host->name_no_such_window)) {
        return "Chrome";
    }
    if (is_instance_of(value, host->name_exceptions, host->name_webdriver_exception)) {
        py::object message = py::str(value);
        if (contains(message, driver_setup->chrome_not_reachable) ||
            contains(message, driver_setup->devtools_disconnected) ||
            contains(message, driver_setup->session_deleted)) {
            return "Chrome";
        }
    }
    return nullptr;
}

const char* browser_lost(py::handle driver, const py::error_already_set& error) {
    if (!what_is_gone(error)) {
        return nullptr;
    }
    try {
        current_url(driver);
    } catch (py::error_already_set& again) {
        return what_is_gone(again);
    }
    return nullptr;  // it answers again: a passing fault, for the next pass to outlast
}

py::object current_url(py::handle driver) { return driver.attr(host->name_current_url); }

py::object page_source(py::handle driver) { return driver.attr(host->name_page_source); }

void script_click(py::handle driver, py::handle element) {
    call_method(driver, host->name_execute_script, page->script_click, element);
}

void choose_visibility(py::handle driver, py::handle option_text) {
    py::object select = call(global(host->name_select), find_element(driver, page->xpath_visibility_select));
    call_method(select, host->name_select_by_visible_text, option_text);
}

}  // namespace vantrel
