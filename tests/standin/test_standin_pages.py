"""The stand-in marketplace's pages, through Flask's test client (no browser).

Each group checks what vantrel relies on of a page: its locators and markers,
and what the page's buttons do to the marketplace's state.
"""

import json
import os
import sys
from urllib.parse import urlsplit

import lxml.html
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from standin import ELEMENTS, create_app, parse_catalogue  # noqa: E402
from standin.__main__ import knobs_from_args, main as standin_main, parse_args  # noqa: E402

from sellerpages import (CARD_TITLE, CHECKBOX, CONFIRM as DIALOG_OK, COPY_BUTTON,  # noqa: E402
                         DELETE_BUTTON, FIRST_BUTTON, FOOTER, ITEM_LIST as ENTRIES, PAGER_ITEM,
                         PUBLISH, SEARCH_BOX, VISIBILITY)

CATALOGUE = {"listings": [
    {"title": "Desk Lamp", "price": 20, "images": 2, "visibility": "上市"},
    {"title": "desk lamp shade", "price": 5, "images": 1, "visibility": "不公开"},
    {"title": "Bookshelf", "price": 80, "images": 3, "visibility": "上市"},
]}


def make_client(catalogue=CATALOGUE, **knobs):
    app = create_app(parse_catalogue(catalogue), knobs)
    app.testing = True
    return app.test_client()


def state(client):
    return client.get("/api/state").get_json()


def page(client, url, **kwargs):
    response = client.get(url, **kwargs)
    assert response.status_code == 200
    html = response.get_data(as_text=True)
    return html, lxml.html.fromstring(html)


def cards(tree):
    """The listing cards: the item list's entries less the first and the last two."""
    return tree.xpath(ENTRIES)[1:-2]


def search(client, query, page_no=1):
    return page(client, "/zh/listings/onsale", query_string={"q": query, "page": page_no})


def copy_first(client, query):
    """Press the copy button of the first card found for `query`; return the editor's path."""
    _, tree = search(client, query)
    button = cards(tree)[0].xpath(COPY_BUTTON)[0]
    form = tree.xpath(f'//form[@id="{button.get("form")}"]')[0]
    assert form.get("method") == "post"
    response = client.post(form.get("action"))
    assert response.status_code == 303
    return urlsplit(response.headers["Location"]).path


def test_search_results_cards_and_markers():
    client = make_client()
    html, tree = search(client, "LAMP")
    # Contains, ignoring letter case: both lamps, in listing order.
    found = cards(tree)
    assert [c.xpath(CARD_TITLE)[0].text_content().strip() for c in found] == [
        "Desk Lamp", "desk lamp shade"]
    assert all("item-detail" in c.get("class") for c in found)
    assert not any("item-detail" in (e.get("class") or "") for e in tree.xpath(ENTRIES)[:1]
                   + tree.xpath(ENTRIES)[-2:])
    assert [c.xpath(COPY_BUTTON)[0].text_content() for c in found] == ["复制", "复制"]
    # The list waits hidden for the results delay; the footer hides only after that.
    assert tree.xpath('//div[@class="item-list"]')[0].get("hidden") is not None
    assert tree.xpath(FOOTER)[0].get("style") != "display: none;"
    assert "setAttribute('style', 'display: none;')" in html
    assert tree.xpath(SEARCH_BOX)[0].get("value") == "LAMP"
    # One page of results: no pager, and nothing on the page says 页.
    assert "页" not in html and not tree.xpath(PAGER_ITEM)

    html, tree = search(client, "no such thing")
    assert cards(tree) == [] and len(tree.xpath(ENTRIES)) == 3
    assert "item-detail" not in html and "页" not in html


def test_result_pages_and_pager_link():
    listings = [{"title": f"Lamp {n}"} for n in range(7)]
    client = make_client({"listings": listings}, page_size=3)
    seen = []
    for page_no, has_next in ((1, True), (2, True), (3, False)):
        html, tree = search(client, "lamp", page_no)
        assert "页" in html
        item = tree.xpath(PAGER_ITEM)[0]
        assert (b"</a>" in lxml.html.tostring(item)) is has_next
        if has_next:
            link = urlsplit(tree.xpath(PAGER_ITEM + "/a")[0].get("href"))
            assert f"page={page_no + 1}" in link.query and "q=lamp" in link.query
        seen += [c.xpath(CARD_TITLE)[0].text for c in cards(tree)]
    assert seen == [f"Lamp {n}" for n in range(7)]


def test_copy_edit_publish_and_publish_failure():
    client = make_client(publish_failure_rate=1.0)
    editor_path = copy_first(client, "Desk Lamp")
    assert "sell_item" in editor_path and "onsale" not in editor_path
    assert state(client)["drafts"][0]["copied_from"] == 1

    html, tree = page(client, editor_path)
    assert [o.text for o in tree.xpath(VISIBILITY + "/option")] == ["上市", "不公开"]
    assert tree.xpath(CHECKBOX)[0].get("type") == "checkbox"
    assert tree.xpath(FIRST_BUTTON)[0].get("type") == "button"  # stays in the editor
    publish = tree.xpath(PUBLISH)[0]
    assert publish.get("type") == "submit"
    # The delete icons' class only comes into the page from the delayed script.
    assert "icon-delete pointer" not in html and "['icon', 'delete'].join('-')" in html

    form = tree.xpath('//form[@id="publish-form"]')[0]
    failed = client.post(form.get("action"), data={"visibility": "上市", "confirm": "1"})
    assert failed.status_code == 200 and "sell_item" in form.get("action")
    assert "发布失败" in failed.get_data(as_text=True)
    assert len(state(client)["drafts"]) == 1

    client.post("/api/knobs", json={"publish_failure_rate": 0.0})
    done = client.post(form.get("action"), data={"visibility": "不公开", "confirm": "1"})
    assert done.status_code == 303
    location = urlsplit(done.headers["Location"]).path
    assert "onsale" in location and "sell_item" not in location
    now = state(client)
    assert now["drafts"] == []
    copy = now["listings"][-1]
    assert (copy["title"], copy["visibility"], copy["checkbox"], copy["copied_from"]) == (
        "Desk Lamp", "不公开", True, 1)
    assert now["stats"] == {"copies": 1, "publish_attempts": 2, "publish_failures": 1, "walled": 0,
                            "drafts_deleted": 0}
    # The published copy is found by the next search, after the original.
    _, tree = search(client, "desk lamp")
    assert len(cards(tree)) == 3


def test_draft_page_delete_through_dialog():
    client = make_client()
    copy_first(client, "Bookshelf")
    copy_first(client, "Bookshelf")
    html, tree = page(client, "/zh/listings/draft")
    entries = cards(tree)
    assert len(entries) == 2 and "item-detail" in html
    delete = entries[0].xpath(DELETE_BUTTON)[0]
    confirm = tree.xpath(DIALOG_OK)[0]
    form = tree.xpath(f'//form[@id="{confirm.get("form")}"]')[0]
    assert form.get("method") == "post" and tree.xpath('//div[@id="common-dialog"]/@hidden')
    # The page's script copies the button's address into the dialog's form.
    response = client.post(delete.get("data-delete"))
    assert response.status_code == 303 and urlsplit(response.headers["Location"]).path == (
        "/zh/listings/draft")
    assert [d["id"] for d in state(client)["drafts"]] == [2]
    client.post(cards(page(client, "/zh/listings/draft")[1])[0].xpath(DELETE_BUTTON)[0]
                .get("data-delete"))
    html, tree = page(client, "/zh/listings/draft")
    assert "item-detail" not in html and cards(tree) == []


MISSING_LOCATORS = {
    "search_box": ("onsale", SEARCH_BOX),
    "footer": ("onsale", FOOTER),
    "copy_button": ("onsale", ENTRIES + "[2]" + COPY_BUTTON[1:]),
    "pager": ("onsale", PAGER_ITEM),
    "visibility_select": ("editor", VISIBILITY),
    "checkbox": ("editor", CHECKBOX),
    "first_button": ("editor", FIRST_BUTTON),
    "publish_button": ("editor", PUBLISH),
    "delete_button": ("draft", ENTRIES + "[2]" + DELETE_BUTTON[1:]),
    "dialog": ("draft", DIALOG_OK),
}


@pytest.mark.parametrize("name", ELEMENTS)
def test_missing_element_knob_removes_exactly_that_element(name):
    where, locator = MISSING_LOCATORS[name]
    listings = [{"title": f"Lamp {n}"} for n in range(3)]
    client = make_client({"listings": listings}, page_size=2)
    editor_path = copy_first(client, "Lamp 0")
    urls = {"onsale": "/zh/listings/onsale?q=lamp", "editor": editor_path,
            "draft": "/zh/listings/draft"}
    assert page(client, urls[where])[1].xpath(locator)
    assert client.post("/api/knobs", json={"missing": [name]}).status_code == 200
    html, tree = page(client, urls[where])
    assert not tree.xpath(locator)
    if name == "pager":  # the page counter stays: the page still says 页
        assert "页" in html


def test_other_knobs_and_admin_endpoints():
    client = make_client(image_delay=0.25, results_delay=0.125)
    html, _ = search(client, "lamp")
    assert "var delay = 125;" in html

    client.post("/api/knobs", json={"duplicate_titles": True, "footer_stays_visible": True})
    html, tree = search(client, "Bookshelf")
    assert [c.xpath(CARD_TITLE)[0].text for c in cards(tree)] == ["Bookshelf", "Bookshelf"]
    assert "var hideFooter = false;" in html

    client.post("/api/knobs", json={"images_never_load": ["Desk Lamp"]})
    lamp = page(client, copy_first(client, "Desk Lamp"))[0]
    shelf = page(client, copy_first(client, "Bookshelf"))[0]
    assert "var imagesLoad = false;" in lamp and "var delay = 250;" in lamp
    assert "var imagesLoad = true;" in shelf

    for bad in ({"page_size": 0}, {"publish_failure_rate": 2}, {"missing": ["sidebar"]},
                {"results_delay": "slow"}, {"no_such_knob": 1}):
        response = client.post("/api/knobs", json=bad)
        assert response.status_code == 400 and response.get_json()["error"]

    # A reset replaces listings and drafts and restores the start-up knobs.
    fresh = client.post("/api/reset", json={"listings": [{"title": "Only"}],
                                            "knobs": {"page_size": 4}}).get_json()
    assert [l["title"] for l in fresh["listings"]] == ["Only"] and fresh["drafts"] == []
    assert fresh["knobs"]["page_size"] == 4 and fresh["knobs"]["image_delay"] == 0.25
    assert fresh["knobs"]["duplicate_titles"] is False
    assert client.post("/api/reset", json={"listings": [{"title": ""}]}).status_code == 400


def test_catalogue_texts_are_escaped_everywhere():
    evil = '<script>alert("x")</script> & \'quote\''
    client = make_client({"listings": [{"title": evil}]})
    pages = [search(client, evil)[0], page(client, copy_first(client, evil))[0],
             page(client, "/zh/listings/draft")[0]]
    for html in pages:
        assert "<script>alert" not in html
        assert "&lt;script&gt;alert(" in html
    assert state(client)["listings"][0]["title"] == evil


def test_command_line(tmp_path, capsys):
    args = parse_args(["--catalogue", "c.json", "--results-delay", "0.1",
                       "--images-never-load-for", "A", "--images-never-load-for", "B",
                       "--missing", "footer", "--publish-failure-rate", "0.5", "--seed", "7",
                       "--page-size", "3", "--duplicate-titles"])
    knobs = knobs_from_args(args)
    assert knobs["images_never_load"] == ["A", "B"] and knobs["missing"] == ["footer"]
    assert (knobs["results_delay"], knobs["publish_failure_rate"], knobs["seed"],
            knobs["page_size"], knobs["duplicate_titles"]) == (0.1, 0.5, 7, 3, True)
    assert knobs_from_args(parse_args(["--catalogue", "c", "--images-never-load"]))[
        "images_never_load"] is True

    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps({"listings": [{"title": "x", "visibility": "hidden"}]}))
    assert standin_main(["--catalogue", str(bad)]) == 2
    assert "visibility" in capsys.readouterr().err
    sample = os.path.join(ROOT, "standin", "sample_catalogue.json")
    with open(sample, encoding="utf-8") as handle:
        assert len(parse_catalogue(json.load(handle))) >= 10


def test_the_login_wall_turns_every_seller_page_and_action_to_the_login_page():
    client = make_client()
    copied = client.post("/zh/listings/1/copy")
    editor = urlsplit(copied.headers["Location"]).path
    client.post("/api/knobs", json={"login_wall": True})
    for response in (client.get("/zh/listings/onsale?q=desk"), client.get(editor),
                     client.post(editor + "/publish", data={"visibility": "上市", "confirm": "1"}),
                     client.get("/zh/listings/draft")):
        assert response.status_code == 303 and urlsplit(response.headers["Location"]).path == "/zh/login"
    login = client.get("/zh/login").get_data(as_text=True)
    assert 'type="password"' in login and not lxml.html.fromstring(login).xpath(SEARCH_BOX)
    walled = state(client)
    assert len(walled["drafts"]) == 1 and walled["stats"]["copies"] == 1 and walled["stats"]["walled"] == 4
    client.post("/api/knobs", json={"login_wall": False})  # switched off while it runs
    _, tree = search(client, "desk")
    assert tree.xpath(SEARCH_BOX)
