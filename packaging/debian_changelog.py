#!/usr/bin/env python3
"""Writes CHANGELOG.md as a Debian change log: one entry for each "## VERSION -
DATE" section, its "- " items as the entry's lines.

  debian_changelog.py CHANGELOG.md MAINTAINER OUT"""

import datetime
import email.utils
import re
import sys
import textwrap


def entries(text):
    heading = re.compile(r"^## (\S+) - (\d{4})-(\d\d)-(\d\d)$")
    found = []
    current = None
    for line in text.splitlines():
        m = heading.match(line)
        if m:
            current = (m.group(1), datetime.datetime(*map(int, m.group(2, 3, 4)),
                                                     tzinfo=datetime.timezone.utc), [])
            found.append(current)
        elif current and line.startswith("- "):
            current[2].append(line[2:].strip())
        elif current and line.startswith("  ") and current[2]:
            current[2][-1] += " " + line.strip()
    return found


def main():
    source, maintainer, out = sys.argv[1:]
    with open(source, encoding="utf-8") as f:
        text = f.read()
    parts = []
    for version, date, items in entries(text):
        lines = ["tavrin (%s) unstable; urgency=medium" % version, ""]
        for item in items or ["Release %s." % version]:
            lines += textwrap.wrap(item.replace("`", ""), 76, initial_indent="  * ",
                                   subsequent_indent="    ")
        lines += ["", " -- %s  %s" % (maintainer, email.utils.format_datetime(date)), ""]
        parts.append("\n".join(lines))
    if not parts:
        sys.exit("%s: no \"## VERSION - DATE\" section" % source)
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(parts))


if __name__ == "__main__":
    main()
