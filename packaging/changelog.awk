# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Turns NEWS.md into the Debian changelog: each heading
# "# vendor-name VERSION (DAY, DD MON YYYY)" starts an entry, and each
# paragraph or "- " item in it becomes a "*" item. Set contact with -v.
# NEWS.md gives days only; releases made on the same day are signed a
# minute apart from midnight, the newest last, so that every entry is newer
# than the one below it.
/^# / {
    date[++entries] = $0
    sub(/^[^(]*\(/, "", date[entries])
    sub(/\).*/, "", date[entries])
    same[date[entries]]++
    text[entries] = sprintf("%s%s (%s) unstable; urgency=medium\n\n", \
        (entries > 1 ? "\n" : ""), $2, $3)
    item = 0
    next
}
/^$/ { item = 0; next }
/^- / { sub(/^- /, ""); item = 0 }
{
    sub(/^ +/, "")
    text[entries] = text[entries] sprintf("%s%s\n", item ? "    " : "  * ", $0)
    item = 1
}
END {
    for (i = 1; i <= entries; i++)
        printf "%s\n -- %s  %s 00:%02d:00 +0000\n", text[i], contact, date[i], --same[date[i]]
}
