"""The stand-in marketplace: a seller console kept in memory.

Pages (all Chinese, under /zh/listings):
  onsale                      search, result pages, copy buttons
  sell_item/<draft>           the listing editor on a draft copy
  sell_item/<draft>/publish   POST: publish the draft (or fail and stay)
  draft                       the drafts, each with a delete button and dialog

With the knob "login_wall" on, every seller page and action leads to /zh/login instead, a login
form, as a marketplace does when the session has gone; nothing is published or deleted meanwhile.

Admin endpoints for tests and people:
  GET  /api/state   listings, drafts, knobs and counters as JSON
  POST /api/knobs   change fault knobs (JSON object of knob: value)
  POST /api/reset   replace the catalogue (JSON, optionally with "knobs")
"""

import copy
import math
import random
import threading

from flask import Flask, abort, jsonify, redirect, render_template, request, url_for

VISIBILITIES = ("上市", "不公开")

# Elements the "missing" knob can leave out of the pages.
ELEMENTS = (
    "search_box",         # on-sale: the search input
    "footer",             # on-sale: the results footer
    "copy_button",        # on-sale: a card's copy button
    "pager",              # on-sale: the pager list (the page counter stays)
    "visibility_select",  # editor: the visibility select
    "checkbox",           # editor: the confirmation checkbox
    "first_button",       # editor: the save button
    "publish_button",     # editor: the publish button
    "delete_button",      # drafts: an entry's delete button
    "dialog",             # drafts: the confirmation dialog
)

DEFAULT_KNOBS = {
    "results_delay": 0.5,          # seconds before a results page shows its list
    "image_delay": 1.0,            # seconds before the editor's images are in place
    "footer_stays_visible": False,  # the results footer never hides
    "images_never_load": False,    # true, or a list of titles whose images never load
    "publish_failure_rate": 0.0,   # probability that a publish fails
    "seed": 0,                     # seed of the publish failure draws
    "missing": [],                 # names from ELEMENTS left out of the pages
    "page_size": 10,               # cards per result page
    "duplicate_titles": False,     # every result card is shown twice
    "hidden_select": False,        # the editor's visibility select is there, but not displayed
    "hidden_option": False,        # so is its 不公开 option, in a select that is displayed
    "login_wall": False,           # every seller page and action leads to the login page
}


class KnobError(ValueError):
    """A knob name or value that the marketplace does not accept."""


def _number(name, value, low, high=None):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise KnobError(f"{name} must be a number, got {value!r}")
    if not math.isfinite(value) or value < low or (high is not None and value > high):
        bounds = f"{low}..{high}" if high is not None else f">= {low}"
        raise KnobError(f"{name} must be {bounds}, got {value!r}")
    return value


def _flag(name, value):
    if not isinstance(value, bool):
        raise KnobError(f"{name} must be true or false, got {value!r}")
    return value


def check_knobs(changes):
    """Return the validated knob changes; raise KnobError on a bad one."""
    if not isinstance(changes, dict):
        raise KnobError("knobs must be a JSON object")
    checked = {}
    for name, value in changes.items():
        if name in ("results_delay", "image_delay"):
            checked[name] = float(_number(name, value, 0))
        elif name == "publish_failure_rate":
            checked[name] = float(_number(name, value, 0, 1))
        elif name == "page_size":
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise KnobError(f"page_size must be a whole number >= 1, got {value!r}")
            checked[name] = value
        elif name == "seed":
            if isinstance(value, bool) or not isinstance(value, int):
                raise KnobError(f"seed must be a whole number, got {value!r}")
            checked[name] = value
        elif name in ("footer_stays_visible", "duplicate_titles", "hidden_select",
                      "hidden_option", "login_wall"):
            checked[name] = _flag(name, value)
        elif name == "images_never_load":
            if isinstance(value, bool):
                checked[name] = value
            elif isinstance(value, list) and all(isinstance(t, str) for t in value):
                checked[name] = list(value)
            else:
                raise KnobError("images_never_load must be true, false or a list of titles")
        elif name == "missing":
            if isinstance(value, str):
                value = [value]
            if not isinstance(value, list) or any(v not in ELEMENTS for v in value):
                raise KnobError(f"missing takes names from {', '.join(ELEMENTS)}; got {value!r}")
            checked[name] = list(dict.fromkeys(value))
        else:
            raise KnobError(f"unknown knob {name!r}")
    return checked


def _listing(entry):
    if not isinstance(entry, dict):
        raise ValueError(f"a listing must be an object, got {entry!r}")
    title = entry.get("title")
    if not isinstance(title, str) or not title.strip():
        raise ValueError(f"a listing needs a non-empty title, got {title!r}")
    price = entry.get("price", 0)
    images = entry.get("images", 1)
    visibility = entry.get("visibility", "上市")
    if isinstance(price, bool) or not isinstance(price, (int, float)) or price < 0:
        raise ValueError(f"price of {title!r} must be a number >= 0")
    if isinstance(images, bool) or not isinstance(images, int) or images < 0:
        raise ValueError(f"images of {title!r} must be a whole number >= 0")
    if visibility not in VISIBILITIES:
        raise ValueError(f"visibility of {title!r} must be 上市 or 不公开")
    return {"title": title, "price": float(price), "images": images,
            "visibility": visibility, "checkbox": bool(entry.get("checkbox", False))}


def parse_catalogue(data):
    """Return the listings of a catalogue: {"listings": [...]} or a bare list."""
    if isinstance(data, dict):
        data = data.get("listings")
    if not isinstance(data, list):
        raise ValueError('a catalogue is {"listings": [...]} or a list of listings')
    return [_listing(entry) for entry in data]


class Marketplace:
    """The seller's listings and drafts, guarded by one lock."""

    def __init__(self, listings, knobs=None):
        self.lock = threading.Lock()
        self.base_knobs = dict(DEFAULT_KNOBS, **check_knobs(knobs or {}))
        self.reset(listings)

    def reset(self, listings, knobs=None):
        with self.lock:
            self.knobs = copy.deepcopy(self.base_knobs)
            self.knobs.update(check_knobs(knobs or {}))
            self.rng = random.Random(self.knobs["seed"])
            self.listings = []
            self.drafts = []
            self.next_listing = 1
            self.next_draft = 1
            self.stats = {"copies": 0, "publish_attempts": 0, "publish_failures": 0, "walled": 0,
                          "drafts_deleted": 0}
            for entry in listings:
                self._add_listing(dict(entry, copied_from=None))

    def set_knobs(self, changes):
        checked = check_knobs(changes)
        with self.lock:
            self.knobs.update(checked)
            if "seed" in checked:
                self.rng = random.Random(checked["seed"])
            return copy.deepcopy(self.knobs)

    def _add_listing(self, fields):
        listing = {"id": self.next_listing, **fields}
        self.next_listing += 1
        self.listings.append(listing)
        return listing

    def snapshot(self):
        with self.lock:
            return {"listings": copy.deepcopy(self.listings),
                    "drafts": copy.deepcopy(self.drafts),
                    "knobs": copy.deepcopy(self.knobs),
                    "stats": dict(self.stats)}

    def walled(self):
        """Whether the login wall stands; each request it turns away is counted."""
        with self.lock:
            if self.knobs["login_wall"]:
                self.stats["walled"] += 1
            return self.knobs["login_wall"]

    def search(self, query):
        """Listings whose title contains the query, ignoring letter case."""
        needle = query.strip().casefold()
        with self.lock:
            found = [dict(l) for l in self.listings if needle in l["title"].casefold()]
            if self.knobs["duplicate_titles"]:
                found = [twin for l in found for twin in (l, dict(l))]
            return found, copy.deepcopy(self.knobs)

    def copy_listing(self, listing_id):
        with self.lock:
            source = self._find(self.listings, listing_id)
            if source is None:
                return None
            draft = {"id": self.next_draft, "title": source["title"],
                     "price": source["price"], "images": source["images"],
                     "visibility": source["visibility"], "checkbox": False,
                     "copied_from": source["id"]}
            self.next_draft += 1
            self.drafts.append(draft)
            self.stats["copies"] += 1
            return dict(draft)

    def draft(self, draft_id):
        with self.lock:
            found = self._find(self.drafts, draft_id)
            return (dict(found) if found else None), copy.deepcopy(self.knobs)

    def publish(self, draft_id, visibility, checkbox):
        """Turn a draft into an on-sale listing; None when the publish fails."""
        with self.lock:
            draft = self._find(self.drafts, draft_id)
            if draft is None:
                raise LookupError(draft_id)
            self.stats["publish_attempts"] += 1
            if self.rng.random() < self.knobs["publish_failure_rate"]:
                self.stats["publish_failures"] += 1
                return None
            if visibility is not None:
                draft["visibility"] = visibility
            draft["checkbox"] = checkbox
            self.drafts.remove(draft)
            fields = {k: draft[k] for k in ("title", "price", "images", "visibility",
                                            "checkbox", "copied_from")}
            return dict(self._add_listing(fields))

    def delete_draft(self, draft_id):
        with self.lock:
            draft = self._find(self.drafts, draft_id)
            if draft is not None:
                self.drafts.remove(draft)
                self.stats["drafts_deleted"] += 1
            return draft is not None

    def draft_list(self):
        with self.lock:
            return copy.deepcopy(self.drafts), copy.deepcopy(self.knobs)

    def listing(self, listing_id):
        with self.lock:
            found = self._find(self.listings, listing_id)
            return dict(found) if found else None

    @staticmethod
    def _find(items, item_id):
        return next((item for item in items if item["id"] == item_id), None)


def _images_load(knobs, title):
    never = knobs["images_never_load"]
    if never is True:
        return False
    return not (isinstance(never, list) and title in never)


def create_app(listings, knobs=None):
    """The Flask application over a fresh marketplace seeded with `listings`."""
    app = Flask(__name__)
    app.json.ensure_ascii = False
    app.json.sort_keys = False
    market = Marketplace(listings, knobs)
    app.config["MARKETPLACE"] = market

    @app.before_request
    def login_wall():
        # The seller pages, not the admin endpoints nor the login page itself.
        if request.path.startswith("/zh/listings") and market.walled():
            return redirect(url_for("login"), code=303)
        return None

    @app.get("/zh/login")
    def login():
        return render_template("login.html")

    @app.get("/")
    def home():
        return redirect(url_for("onsale"))

    @app.get("/zh/listings/onsale")
    def onsale():
        query = request.args.get("q", "")
        found, knobs = market.search(query)
        size = knobs["page_size"]
        pages = max(1, math.ceil(len(found) / size))
        try:
            page = int(request.args.get("page", "1"))
        except ValueError:
            page = 1
        page = min(max(page, 1), pages)
        shown = found[(page - 1) * size:page * size]
        published = market.listing(request.args.get("published", 0, type=int))
        return render_template(
            "onsale.html", active="onsale", query=query, cards=shown, total=len(found),
            page=page, pages=pages, knobs=knobs, missing=set(knobs["missing"]),
            published=published)

    @app.post("/zh/listings/<int:listing_id>/copy")
    def copy_listing(listing_id):
        draft = market.copy_listing(listing_id)
        if draft is None:
            abort(404)
        return redirect(url_for("editor", draft_id=draft["id"]), code=303)

    @app.get("/zh/listings/sell_item/<int:draft_id>")
    def editor(draft_id, error=None):
        draft, knobs = market.draft(draft_id)
        if draft is None:
            abort(404)
        return render_template(
            "editor.html", draft=draft, knobs=knobs, missing=set(knobs["missing"]),
            images_load=_images_load(knobs, draft["title"]), error=error,
            visibilities=VISIBILITIES)

    @app.post("/zh/listings/sell_item/<int:draft_id>/publish")
    def publish(draft_id):
        visibility = request.form.get("visibility")
        if visibility is not None and visibility not in VISIBILITIES:
            abort(400)
        try:
            listing = market.publish(draft_id, visibility, "confirm" in request.form)
        except LookupError:
            abort(404)
        if listing is None:
            return editor(draft_id, error="发布失败，请稍后重试。")
        return redirect(url_for("onsale", published=listing["id"]), code=303)

    @app.get("/zh/listings/draft")
    def drafts():
        entries, knobs = market.draft_list()
        return render_template("draft.html", active="draft", drafts=entries,
                               missing=set(knobs["missing"]))

    @app.post("/zh/listings/draft/<int:draft_id>/delete")
    def delete_draft(draft_id):
        market.delete_draft(draft_id)
        return redirect(url_for("drafts"), code=303)

    @app.get("/api/state")
    def state():
        return jsonify(market.snapshot())

    @app.post("/api/knobs")
    def knobs():
        try:
            return jsonify(market.set_knobs(request.get_json(force=True)))
        except KnobError as exc:
            return jsonify(error=str(exc)), 400

    @app.post("/api/reset")
    def reset():
        data = request.get_json(force=True)
        try:
            market.reset(parse_catalogue(data),
                         data.get("knobs") if isinstance(data, dict) else None)
        except ValueError as exc:
            return jsonify(error=str(exc)), 400
        return jsonify(market.snapshot())

    return app
