import unittest

from promtext import SampleCounter

SCRAPE = """# HELP node_cpu_seconds_total Seconds the CPUs spent in each mode.
# TYPE node_cpu_seconds_total counter
node_cpu_seconds_total{cpu="0",mode="idle"} 1234.5
node_cpu_seconds_total{cpu="0",mode="user"} 10.25
node_cpu_seconds_total{mode="user",cpu="1"} 11
node_cpu_seconds_total_extra{cpu="0",mode="user"} 1
node_cpu_guest_seconds_total{cpu="0",mode="user"} 0
node_memory_MemFree_bytes 1.2e+09
node_network_receive_bytes_total{device="a\\"b}c"} 5
node_network_receive_bytes_total{device="eth0"
"""


class SampleCounterTest(unittest.TestCase):
    def test_counts_by_name_and_label_subset_in_any_order(self):
        counter = SampleCounter([
            ("node_cpu_seconds_total", {"mode": "user", "cpu": "0"}),
            ("node_cpu_seconds_total", {"mode": "user", "cpu": "1"}),
            ("node_memory_MemFree_bytes", {}),
        ])
        # Not the idle sample, not a series whose name only begins the same, not comments.
        self.assertEqual(counter.count(SCRAPE), 3)

    def test_a_sample_matching_two_matchers_counts_once(self):
        counter = SampleCounter([("node_cpu_seconds_total", {"cpu": "0"}),
                                 ("node_cpu_seconds_total", {"mode": "idle"})])
        self.assertEqual(counter.count(SCRAPE), 2)  # cpu 0 idle, cpu 0 user

    def test_quoted_braces_and_torn_lines(self):
        counter = SampleCounter([("node_network_receive_bytes_total", {"device": 'a\\"b}c'}),
                                 ("node_network_receive_bytes_total", {"device": "eth0"})])
        # The escaped value with a brace in it matches; the line cut before its '}' does not.
        self.assertEqual(counter.count(SCRAPE), 1)

    def test_nothing_asked_nothing_counted(self):
        self.assertEqual(SampleCounter([]).count(SCRAPE), 0)
        self.assertEqual(SampleCounter([("node_memory_MemFree_bytes", {})]).count(""), 0)


if __name__ == "__main__":
    unittest.main()
