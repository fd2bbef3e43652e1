# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Turns NEWS.md into the Debian changelog: each heading
# "# vendor-name VERSION (DAY, DD MON YYYY)" starts an entry, and each
# paragraph or "- " item in it becomes a "*" item. Set contact with -v.
function end_entry() {
    if (date != "")
        printf "\n -- %s  %s 00:00:00 +0000\n", contact, date
}
/^# / {
    end_entry()
    date = $0
    sub(/^[^(]*\(/, "", date)
    sub(/\).*/, "", date)
    printf "%s%s (%s) unstable; urgency=medium\n\n", (NR > 1 ? "\n" : ""), $2, $3
    item = 0
    next
}
/^$/ { item = 0; next }
/^- / { sub(/^- /, ""); item = 0 }
{
    sub(/^ +/, "")
    printf "%s%s\n", item ? "    " : "  * ", $0
    item = 1
}
END { end_entry() }
