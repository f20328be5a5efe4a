"""Checks every internal link of a built HTML site: each href and src that is not
an external URL must name a file of the site, and each #fragment an id in it.

    python tools/check_links.py docs/_build/html
"""

import sys
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

LINK_ATTRIBUTES = {"href", "src"}


class Page(HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.links, self.ids = [], set()
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in LINK_ATTRIBUTES and value:
                self.links.append(value)
            elif name == "id" or (tag == "a" and name == "name"):
                self.ids.add(value)


def broken_links(site):
    pages = {path.resolve(): Page(path.read_text(encoding="utf-8")) for path in site.rglob("*.html")}
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:  # http(s), mailto, data: not this site's
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if not target.exists():
                yield path.relative_to(site.resolve()), link, "no such file"
            elif parts.fragment and target in pages and unquote(parts.fragment) not in pages[target].ids:
                yield path.relative_to(site.resolve()), link, "no such anchor"


def main(site):
    site = Path(site)
    pages = list(site.rglob("*.html"))
    broken = list(broken_links(site))
    for page, link, reason in broken:
        print(f"{page}: {link}: {reason}")
    print(f"{len(pages)} pages, {len(broken)} broken internal links")
    return 1 if broken or not pages else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
