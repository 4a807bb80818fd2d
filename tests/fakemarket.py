"""In-memory seller pages, for driving vantrel without a browser.

FakeMarket holds the listings, drafts, published copies and fault knobs. Its drivers keep the
browser's side (address, page, open editor) and answer exactly the locators, markers and scripts
of the seller pages; anything else raises and is noted in `unknown`, so a test can name it.
Elements go stale when their page changes, as in a browser.
"""

import html
import itertools
import types

from selenium.common.exceptions import (JavascriptException, NoSuchElementException,
                                        StaleElementReferenceException, WebDriverException)

from sellerpages import (CARD_TITLE, CHECKBOX, CLICK, CONFIRM, COPY_BUTTON, DELETE_BUTTON, DRAFTS,
                         FIRST_BUTTON, FOOTER, ITEM_LIST, ONSALE, PAGER_ITEM, PAGER_LINK, PUBLISH,
                         SCROLL_DOWN, SCROLL_UP, SEARCH_BOX, VISIBILITY)

SCROLLS = {SCROLL_DOWN: "scroll 10000", SCROLL_UP: "scroll 0"}
# The locators of each page and what they find; under an element, the same for its controls.
PAGES = {
    "onsale": {SEARCH_BOX: "search", FOOTER: "footer", ITEM_LIST: "list", PAGER_ITEM: "pager",
               PAGER_LINK: "next"},
    "editor": {VISIBILITY: "select", CHECKBOX: "checkbox", FIRST_BUTTON: "first", PUBLISH: "publish"},
    "draft": {ITEM_LIST: "list", CONFIRM: "confirm"},
}
UNDER = {"card": {CARD_TITLE: "title", COPY_BUTTON: "copy"}, "draft": {CARD_TITLE: "title", DELETE_BUTTON: "delete"}}
SCRIPT_CLICKED = {"next", "first", "publish", "delete"}  # the others take the element's own click


class Listing:
    """An on-sale listing; `faults` are used up one per copy opened: "missing_checkbox" (no
    checkbox in that editor), "no_private" (no 不公开 option), "stuck" (publishing fails)."""

    def __init__(self, title, images=True, faults=(), copy_stays=False):
        self.title, self.images, self.faults, self.copy_stays = title, images, list(faults), copy_stays


class FakeMarket:
    def __init__(self, origin="http://127.0.0.1:8700", page_size=10):
        self.origin, self.page_size = origin, page_size
        self.listings, self.drafts, self.published, self.unknown = [], [], [], []
        self.footer_stuck = self.publish_stuck = self.checkbox_checked = False
        self.publish_lag = 0  # reads of current_url that still show the editor after publishing
        self.fail = {}        # locator, script, address or "refresh" -> the exception it raises
        self.gone = None      # an exception every driver call raises: the browser is gone
        self._ids = itertools.count(1)

    def add(self, title, **kwargs):
        self.listings.append(Listing(title, **kwargs))
        return self.listings[-1]

    def add_draft(self, title):
        self.drafts.append({"id": next(self._ids), "title": title})

    def driver(self, api="old"):
        return (FakeDriver if api == "old" else NewApiDriver)(self)

    def check(self, key):
        if self.gone is not None:
            raise self.gone
        if key in self.fail:
            raise self.fail[key]

    def refuse(self, what, error=NoSuchElementException):
        self.unknown.append(what)
        raise error(f"the fake pages have no {what}")


class _Node:
    """What drivers and elements share: look-ups in the old or the new Selenium style."""

    def _find(self, xpath):
        found = self._all(xpath)
        if not found:
            raise NoSuchElementException(xpath)
        return found[0]

    def _xpath(self, by, value):
        return value if by == "xpath" else self.market.refuse(f"look-up by {by!r}")


class Driver(_Node):
    def __init__(self, market):
        self.market, self.url, self.page, self.gen = market, "about:blank", "blank", 0
        self.query, self.page_no, self.editor, self.dialog, self.lag = "", 0, None, None, None
        self.window_handles, self.events, self.waits = ["CDwindow-1"], [], []
        self.refreshes = self.select_wrappers = 0
        self.locator_ids = set()  # ids only: the fake keeps no reference to the module's texts

    def _go(self, page, path):
        self.page, self.url, self.gen, self.dialog, self.lag = page, self.market.origin + path, self.gen + 1, None, None

    def implicitly_wait(self, seconds):
        self.waits.append(seconds)

    @property
    def current_window_handle(self):
        return self.window_handles[0]

    @property
    def switch_to(self):
        return types.SimpleNamespace(window=lambda handle: self.events.append(f"switch to {handle}"))

    def get(self, url):
        self.market.check(url)
        path = url[len(self.market.origin):]
        if not url.startswith(self.market.origin) or path not in (ONSALE, DRAFTS):
            self.market.refuse(f"address {url!r}", WebDriverException)
        self.query, self.page_no, self.editor = "", 0, None
        self._go("onsale" if path == ONSALE else "draft", path)
        self.events.append(f"open {path}")

    def refresh(self):
        self.market.check("refresh")
        self.refreshes, self.gen, self.dialog = self.refreshes + 1, self.gen + 1, None
        self.events.append("refresh")

    @property
    def current_url(self):
        self.market.check("current_url")
        url = self.url
        if self.lag is not None:
            self.lag -= 1
            if self.lag <= 0:
                self._land()
        return url

    @property
    def page_source(self):
        if self.page == "onsale":
            body = [f'<div class="item-detail">{html.escape(x.title)}</div>' for x in self._shown()]
            body += ['<ul class="pager"><li>上一页</li><li><a>下一页</a></li></ul>'] * (self._pages() > 1)
        elif self.page == "draft":
            body = [f'<div class="item-detail">{html.escape(d["title"])}</div>' for d in self.market.drafts]
        else:
            body = ['<i class="icon-delete pointer"></i>'] * (self.page == "editor" and self.editor["listing"].images)
        return "<html><body>" + "".join(body) + "</body></html>"

    def execute_script(self, script, *args):
        self.market.check(script)
        if script == CLICK and len(args) == 1 and isinstance(args[0], Element):
            return args[0]._click(scripted=True)
        if script in SCROLLS and not args:
            return self.events.append(SCROLLS[script])
        self.market.refuse(f"script {script!r} with {len(args)} arguments", JavascriptException)

    def _all(self, xpath):
        self.locator_ids.add(id(xpath))
        self.market.check(xpath)
        if not any(xpath in locators for locators in PAGES.values()):
            self.market.refuse(f"locator {xpath!r}")
        kind, fault = PAGES.get(self.page, {}).get(xpath), self.editor and self.editor["fault"]
        if kind == "list":
            entries = ([self.Element(self, "card", x) for x in self._shown()] if self.page == "onsale"
                       else [self.Element(self, "draft", d) for d in self.market.drafts])
            return [self.Element(self, "row")] + entries + [self.Element(self, "row"), self.Element(self, "row")]
        shown = {None: False, "pager": self._pages() > 1, "next": self.page_no + 1 < self._pages(),
                 "checkbox": fault != "missing_checkbox", "confirm": self.dialog is not None}.get(kind, True)
        return [self.Element(self, kind)] if shown else []

    def _results(self):
        query = self.query.strip().casefold()
        return [x for x in self.market.listings if query in x.title.casefold()]

    def _pages(self):
        return max(1, -(-len(self._results()) // self.market.page_size))

    def _shown(self):
        size = self.market.page_size
        return self._results()[self.page_no * size:][:size]

    def _land(self):
        editor, self.editor = self.editor, None
        self.market.drafts.remove(editor["draft"])
        del editor["listing"], editor["draft"], editor["fault"]
        self.market.published.append(editor)
        self._go("item", "/zh/listings/item")


class Element(_Node):
    def __init__(self, driver, kind, item=None):
        self.driver, self.market, self.kind, self.item, self.gen = driver, driver.market, kind, item, driver.gen

    def _live(self):
        if self.gen != self.driver.gen:
            raise StaleElementReferenceException(self.kind)

    def _all(self, xpath):
        self._live()
        self.driver.locator_ids.add(id(xpath))
        self.market.check(xpath)
        if xpath not in UNDER.get(self.kind, {}):
            self.market.refuse(f"locator {xpath!r} under a {self.kind}")
        return [self.driver.Element(self.driver, UNDER[self.kind][xpath], self.item)]

    @property
    def text(self):
        self._live()
        if self.kind != "title":
            return ""
        return f"\n  {self.item['title'] if isinstance(self.item, dict) else self.item.title}  "

    def get_attribute(self, name):
        self._live()
        if (self.kind, name) == ("footer", "style"):
            return "display: block;" if self.market.footer_stuck else "display: none;"
        if (self.kind, name) == ("pager", "innerHTML"):
            return '<a href="#">下一页</a>' if self.driver.page_no + 1 < self.driver._pages() else "下一页"

    def is_selected(self):
        self._live()
        return self.driver.editor["checked"]

    def clear(self):
        self._typing().events.append("clear")
        self.typed = ""

    def send_keys(self, text):
        driver = self._typing()
        self.typed = getattr(self, "typed", "") + text
        if "\n" in self.typed:
            driver.query, driver.page_no, driver.gen = self.typed.split("\n")[0], 0, driver.gen + 1
            driver.events.append(f"search {driver.query}")

    def _typing(self):
        self._live()
        if self.kind != "search":
            self.market.refuse(f"typing into a {self.kind}")
        return self.driver

    def click(self):
        return self._click(scripted=False)

    def _click(self, scripted):
        self._live()
        if scripted != (self.kind in SCRIPT_CLICKED):
            self.market.refuse(f"{'script' if scripted else 'native'} click on a {self.kind}", WebDriverException)
        driver, editor, market = self.driver, self.driver.editor, self.market
        event = {"next": "next page", "first": "prepare", "publish": "publish"}.get(self.kind)
        if self.kind == "copy" and self.item.copy_stays:
            event = f"copy {self.item.title} (stayed)"
        elif self.kind == "copy":
            draft = {"id": next(market._ids), "title": self.item.title}
            market.drafts.append(draft)
            driver.editor = {"listing": self.item, "draft": draft, "title": self.item.title,
                             "fault": self.item.faults.pop(0) if self.item.faults else None,
                             "visibility": "不公开", "checked": market.checkbox_checked, "prepared": False}
            driver._go("editor", f"/zh/sell_item?copy={draft['id']}")
            event = f"copy {self.item.title}"
        elif self.kind == "next":
            driver.page_no, driver.gen = driver.page_no + 1, driver.gen + 1
        elif self.kind == "checkbox":
            editor["checked"] = not editor["checked"]
            event = "tick" if editor["checked"] else "untick"
        elif self.kind == "first":
            editor["prepared"] = True
        elif self.kind == "publish" and not (market.publish_stuck or editor["fault"] == "stuck"):
            driver.lag = market.publish_lag
            if not driver.lag:
                driver._land()
        elif self.kind == "delete":
            driver.dialog, event = self.item, f"ask delete {self.item['title']}"
        elif self.kind == "confirm":
            market.drafts.remove(driver.dialog)
            event, driver.dialog, driver.gen = f"delete {driver.dialog['title']}", None, driver.gen + 1
        driver.events.append(event)

    def _choose(self, text):
        self._live()
        options = ["上市"] if self.driver.editor["fault"] == "no_private" else ["上市", "不公开"]
        if self.kind != "select" or text not in options:
            raise NoSuchElementException(f"Could not locate element with visible text: {text}")
        self.driver.editor["visibility"] = text
        self.driver.events.append(f"select {text}")


OLD_API = {"find_element_by_xpath": lambda self, x: self._find(x),
           "find_elements_by_xpath": lambda self, x: self._all(x)}
NEW_API = {"find_element": lambda self, by, x: self._find(self._xpath(by, x)),
           "find_elements": lambda self, by, x: self._all(self._xpath(by, x))}
FakeElement = type("FakeElement", (Element,), OLD_API)
NewApiElement = type("NewApiElement", (Element,), NEW_API)
FakeDriver = type("FakeDriver", (Driver,), dict(OLD_API, Element=FakeElement))
NewApiDriver = type("NewApiDriver", (Driver,), dict(NEW_API, Element=NewApiElement))


class FakeSelect:
    """Stands in for selenium's Select around one select element."""

    def __init__(self, element):
        element._live()
        element.driver.select_wrappers += 1
        self.select_by_visible_text = element._choose


class FakeOptions:
    """Stands in for selenium's Chrome Options: notes what was set, in order."""

    def __init__(self):
        self.calls = []
        self.add_argument = lambda *args: self.calls.append(("add_argument",) + args)
        self.add_experimental_option = lambda *args: self.calls.append(("add_experimental_option",) + args)


class FakeService:
    """Stands in for Selenium's Chrome Service; keeps the arguments it was made with."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


class FakeWebdriver:
    """Stands in for selenium's webdriver module. Its Chrome takes the driver path first (Selenium
    3), or with `service=True` a Service (Selenium 4); either way it hands out `driver`."""

    def __init__(self, driver, service=False):
        self.calls = []
        self.chrome = types.SimpleNamespace(service=types.SimpleNamespace(Service=FakeService))

        def Chrome(executable_path="chromedriver", port=0, options=None):
            self.calls.append({"path": executable_path, "options": options})
            return driver

        def ServiceChrome(options=None, service=None, keep_alive=True):
            self.calls.append({"service": service, "options": options})
            return driver
        self.Chrome = ServiceChrome if service else Chrome
