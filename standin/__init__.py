"""A stand-in marketplace: the seller pages vantrel drives, served locally.

Run it with ``python -m standin --port 8700 --catalogue FILE``.
"""

from .app import DEFAULT_KNOBS, ELEMENTS, VISIBILITIES, create_app, parse_catalogue

__all__ = ["DEFAULT_KNOBS", "ELEMENTS", "VISIBILITIES", "create_app", "parse_catalogue"]
