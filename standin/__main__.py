"""Command line: python -m standin --port 8700 --catalogue FILE [knobs]."""

import argparse
import json
import logging
import sys

from .app import DEFAULT_KNOBS, ELEMENTS, check_knobs, create_app, parse_catalogue


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m standin",
        description="Serve the stand-in marketplace on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=8700)
    parser.add_argument("--catalogue", required=True,
                        help='JSON file: {"listings": [{"title": ..., "price": ..., '
                             '"images": ..., "visibility": "上市" or "不公开"}, ...]}')
    knobs = parser.add_argument_group("fault knobs (also settable through POST /api/knobs)")
    knobs.add_argument("--results-delay", type=float, default=DEFAULT_KNOBS["results_delay"],
                       metavar="SECONDS", help="wait before a results page shows its list")
    knobs.add_argument("--image-delay", type=float, default=DEFAULT_KNOBS["image_delay"],
                       metavar="SECONDS", help="wait before the editor's images are in place")
    knobs.add_argument("--footer-stays-visible", action="store_true",
                       help="the results footer never hides")
    knobs.add_argument("--images-never-load", action="store_true",
                       help="no editor ever gets its images in place")
    knobs.add_argument("--images-never-load-for", action="append", default=[], metavar="TITLE",
                       help="the images of this title never load (repeatable)")
    knobs.add_argument("--publish-failure-rate", type=float, default=0.0, metavar="P",
                       help="probability (0..1) that a publish fails and stays in the editor")
    knobs.add_argument("--seed", type=int, default=0, help="seed of the publish failure draws")
    knobs.add_argument("--missing", action="append", default=[], choices=ELEMENTS,
                       help="leave this element out of the pages (repeatable)")
    knobs.add_argument("--page-size", type=int, default=DEFAULT_KNOBS["page_size"],
                       help="cards per result page")
    knobs.add_argument("--duplicate-titles", action="store_true",
                       help="show every result card twice")
    return parser.parse_args(argv)


def knobs_from_args(args):
    never = True if args.images_never_load else (args.images_never_load_for or False)
    return check_knobs({
        "results_delay": args.results_delay,
        "image_delay": args.image_delay,
        "footer_stays_visible": args.footer_stays_visible,
        "images_never_load": never,
        "publish_failure_rate": args.publish_failure_rate,
        "seed": args.seed,
        "missing": args.missing,
        "page_size": args.page_size,
        "duplicate_titles": args.duplicate_titles,
    })


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        with open(args.catalogue, encoding="utf-8") as handle:
            listings = parse_catalogue(json.load(handle))
        knobs = knobs_from_args(args)
    except (OSError, ValueError) as exc:  # KnobError and JSON errors are ValueErrors
        print(f"standin: {exc}", file=sys.stderr)
        return 2
    app = create_app(listings, knobs)
    logging.getLogger("werkzeug").setLevel(logging.WARNING)
    print(f"stand-in marketplace on http://127.0.0.1:{args.port}/zh/listings/onsale "
          f"({len(listings)} listings)", flush=True)
    app.run(host="127.0.0.1", port=args.port, threaded=True, use_reloader=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
