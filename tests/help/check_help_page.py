#!/usr/bin/env python3
"""Checks the help page beside the built module: it is the source page; it declares its charset
and decodes in it; <html> has a lang and the page a title; every element that is not void is
closed, in order; every text of every dialog template in the resource script (Windows-1252,
labels without their '&' access-key marks) appears in the page's text."""
import argparse
import html
import re
import sys
from html.parser import HTMLParser

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class PageChecker(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.errors, self.stack, self.text = [], [], []
        self.lang = self.title = None

    def handle_starttag(self, tag, attrs):
        if tag == "html":
            self.lang = dict(attrs).get("lang")
        if tag not in VOID:
            self.stack.append((tag, self.getpos()[0]))

    def handle_startendtag(self, tag, attrs):
        if tag not in VOID:
            self.errors.append("line %d: <%s/> is not a void element" % (self.getpos()[0], tag))

    def handle_endtag(self, tag):
        if tag in VOID or not self.stack or self.stack[-1][0] != tag:
            self.errors.append("line %d: </%s> closes %s" % (self.getpos()[0], tag, self.stack[-1:] or "nothing"))
        else:
            self.stack.pop()

    def handle_data(self, data):
        if self.stack and self.stack[-1][0] == "title":
            self.title = data.strip()
        self.text.append(data)


def dialog_texts(rc):
    """The quoted texts of the controls of every dialog template."""
    blocks = re.findall(r"^\S+\s+DIALOGEX\b.*?^BEGIN\s*$(.*?)^END\s*$", rc.decode("cp1252"), re.S | re.M)
    texts = [t for block in blocks for t in re.findall(r'^\s*\w+\s+"((?:[^"]|"")+)"', block, re.M)]
    return [t.replace('""', '"').replace("&&", "\0").replace("&", "").replace("\0", "&") for t in texts]


def main():
    parser = argparse.ArgumentParser()
    for name in ("--page", "--source", "--rc"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    page, source, rc = (open(path, "rb").read() for path in (args.page, args.source, args.rc))

    errors = [] if page == source else ["the page beside the module is not %s" % args.source]
    declared = re.search(rb'<meta charset="([^"]+)">', page[:1024])
    charset = declared.group(1).decode("ascii") if declared else "no charset declared"
    try:
        text = page.decode(charset)
    except (LookupError, UnicodeDecodeError) as e:
        return print("help page: does not decode as %s: %s" % (charset, e), file=sys.stderr) or 1

    checker = PageChecker()
    checker.feed(text)
    checker.close()
    errors += checker.errors + ["<%s> of line %d is never closed" % entry for entry in checker.stack]
    errors += [] if checker.lang else ["<html> has no lang"]
    errors += [] if checker.title else ["no title"]
    page_text = re.sub(r"\s+", " ", html.unescape("".join(checker.text)))
    labels = dialog_texts(rc)
    errors += [] if len(labels) >= 10 else ["only %d texts in the dialog templates" % len(labels)]
    errors += ["dialog text %r is not on the page" % t for t in labels if re.sub(r"\s+", " ", t) not in page_text]

    for error in errors:
        print("help page: " + error, file=sys.stderr)
    print("help page: %s, %d dialog texts, %d errors" % (charset, len(labels), len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
