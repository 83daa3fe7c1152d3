"""Counting the chosen samples in a scrape of the Prometheus text format."""

import re

_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


class SampleCounter:
    """Counts the samples of a scrape that match one of the matchers [(name, {label: value})]:
    same name, and every label of the matcher present with that value. A sample that matches
    several matchers counts once."""

    def __init__(self, matchers):
        self._by_name = {}
        for name, labels in matchers:
            self._by_name.setdefault(name, []).append(labels)

    def count(self, text):
        found = 0
        for line in text.splitlines():
            if not line or line[0] == "#":
                continue
            end = len(line)
            for i, ch in enumerate(line):
                if ch == "{" or ch == " ":
                    end = i
                    break
            wanted = self._by_name.get(line[:end])
            if wanted is None:
                continue
            labels = {}
            if end < len(line) and line[end] == "{":
                close = line.rfind("}")
                if close < end:
                    continue  # a torn line is no sample
                labels = dict(_LABEL.findall(line[end + 1 : close]))
            if any(all(labels.get(k) == v for k, v in m.items()) for m in wanted):
                found += 1
        return found
