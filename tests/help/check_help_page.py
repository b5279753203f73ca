#!/usr/bin/env python3
"""Checks the help page as built beside the module.

- it is the source page, byte for byte;
- it declares its charset in a <meta charset> and decodes in it; <html> has a lang;
- its elements nest properly: every element that is not void is closed, in order;
- it has a non-empty <title> and exactly one <h1>;
- every text of dialog template 9 of the resource script (Windows-1252; labels without their
  '&' access-key marks) appears in the page's text.
"""
import argparse
import html
import re
import sys
from html.parser import HTMLParser

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class PageChecker(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.errors = []
        self.stack = []
        self.charset = None
        self.lang = None
        self.title = ""
        self.h1 = 0
        self.text = []

    def where(self):
        return "line %d" % self.getpos()[0]

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "meta" and "charset" in attrs:
            self.charset = attrs["charset"]
        if tag == "html":
            self.lang = attrs.get("lang")
        if tag == "h1":
            self.h1 += 1
        if tag not in VOID:
            self.stack.append((tag, self.where()))

    def handle_startendtag(self, tag, attrs):
        if tag in VOID:
            self.handle_starttag(tag, attrs)
        else:
            self.errors.append("%s: <%s/> is not a void element" % (self.where(), tag))

    def handle_endtag(self, tag):
        if tag in VOID:
            self.errors.append("%s: end tag of void element </%s>" % (self.where(), tag))
        elif not self.stack or self.stack[-1][0] != tag:
            open_tag = self.stack[-1] if self.stack else ("nothing", "")
            self.errors.append("%s: </%s> closes <%s> opened at %s" % (self.where(), tag, *open_tag))
        else:
            self.stack.pop()

    def handle_data(self, data):
        if self.stack and self.stack[-1][0] == "title":
            self.title += data
        self.text.append(data)


def dialog_texts(rc_bytes):
    """The quoted texts of the controls of dialog template 9 (not caption or font)."""
    text = rc_bytes.decode("cp1252")
    block = re.search(r"^\S+\s+DIALOGEX\b.*?^BEGIN\s*$(.*?)^END\s*$", text, re.S | re.M)
    if not block:
        raise SystemExit("dialog template not found in the resource script")
    texts = []
    for line in block.group(1).splitlines():
        match = re.match(r'\s*\w+\s+"((?:[^"]|"")*)"', line)
        if match and match.group(1):
            label = match.group(1).replace('""', '"').replace("&&", "\0").replace("&", "").replace("\0", "&")
            texts.append(label)
    return texts


def normalise(text):
    return re.sub(r"\s+", " ", text).strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--rc", required=True)
    args = parser.parse_args()

    with open(args.page, "rb") as f:
        page = f.read()
    with open(args.source, "rb") as f:
        source = f.read()
    with open(args.rc, "rb") as f:
        rc = f.read()
    errors = []
    if page != source:
        errors.append("the page beside the module differs from %s" % args.source)

    declared = re.search(rb'<meta\s+charset="([^"]+)"', page[:1024], re.I)
    if not declared:
        errors.append("no <meta charset> in the first 1024 bytes")
        charset = "utf-8"
    else:
        charset = declared.group(1).decode("ascii")
    try:
        text = page.decode(charset)
    except (LookupError, UnicodeDecodeError) as e:
        raise SystemExit("the page does not decode as its declared charset %s: %s" % (charset, e))
    if not text.startswith("<!DOCTYPE html>"):
        errors.append("the page does not start with <!DOCTYPE html>")

    checker = PageChecker()
    checker.feed(text)
    checker.close()
    errors += checker.errors
    errors += ["<%s> opened at %s is never closed" % entry for entry in checker.stack]
    if not checker.lang:
        errors.append("<html> has no lang")
    if not checker.title.strip():
        errors.append("empty <title>")
    if checker.h1 != 1:
        errors.append("%d <h1> elements instead of one" % checker.h1)

    page_text = normalise(html.unescape("".join(checker.text)))
    labels = dialog_texts(rc)
    if len(labels) < 10:
        errors.append("only %d texts found in the dialog template" % len(labels))
    for label in labels:
        if normalise(label) not in page_text:
            errors.append("the dialog text %r is not on the page" % label)

    for error in errors:
        print("help page: " + error, file=sys.stderr)
    if errors:
        return 1
    print("help page: well-formed (%s), %d dialog texts explained" % (charset, len(labels)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
