import csv
import os
import tempfile
import unittest

import report


def measurement(run, agent, cpu_ms, values, set_name="small", rate_ms=1000, final_kb=10240,
                p50=1.0, p99=2.0):
    return report.Measurement(run=run, set=set_name, rate_ms=rate_ms, seconds=60, agent=agent,
                              processes=1, cpu_ms=cpu_ms, values=values, cycles=60, items=75,
                              rejected=0, peak_rss_kb=final_kb + 100, final_rss_kb=final_kb,
                              latency_p50_ms=p50, latency_p99_ms=p99)


class PercentileTest(unittest.TestCase):
    def test_nearest_rank(self):
        samples = list(range(1, 101))  # 1..100
        self.assertEqual(report.percentile(samples, 0.5), 50)
        self.assertEqual(report.percentile(samples, 0.99), 99)
        self.assertEqual(report.percentile(list(reversed(samples)), 1.0), 100)
        self.assertEqual(report.percentile([7.0], 0.99), 7.0)
        self.assertEqual(report.percentile([3.0, 1.0], 0.0), 1.0)
        self.assertIsNone(report.percentile([], 0.5))


class SummaryTest(unittest.TestCase):
    def test_medians_over_runs_and_ratios_against_ours(self):
        ms = [
            measurement(1, "zyn", 40, 4000, final_kb=10240),
            measurement(2, "zyn", 100, 4000, final_kb=10240),  # a noisy run
            measurement(3, "zyn", 44, 4000, final_kb=10240),
            measurement(1, "pcp", 200, 4000, final_kb=20480),
            measurement(2, "pcp", 220, 4000, final_kb=20480),
            measurement(3, "pcp", 180, 4000, final_kb=20480),
            measurement(1, "node", 400, 4000, final_kb=5120),
        ]
        by_agent = {s.agent: s for s in report.summarize(ms)}
        self.assertEqual(by_agent["zyn"].runs, 3)
        self.assertAlmostEqual(by_agent["zyn"].cpu_ms, 44)  # the median, not the mean
        self.assertAlmostEqual(by_agent["zyn"].cpu_ms_per_1000, 11)
        self.assertAlmostEqual(by_agent["pcp"].cpu_ratio, 50 / 11)
        self.assertAlmostEqual(by_agent["pcp"].memory_ratio, 2.0)
        self.assertAlmostEqual(by_agent["node"].memory_ratio, 0.5)
        self.assertIsNone(by_agent["zyn"].cpu_ratio)

        lines = report.verdict(report.summarize(ms))
        self.assertEqual(len(lines), 1)
        # The better peer is pcp at 4.5x: short of 5x; node uses less memory than ours.
        self.assertIn("4.5x", lines[0])
        self.assertIn("NOT met", lines[0])
        self.assertIn("NOT below every peer", lines[0])

    def test_ratios_stay_within_their_set_and_rate(self):
        ms = [measurement(1, "zyn", 10, 1000, rate_ms=1000),
              measurement(1, "pcp", 100, 1000, rate_ms=100)]
        self.assertTrue(all(s.cpu_ratio is None for s in report.summarize(ms)))

    def test_a_window_without_values_has_no_cost_per_value(self):
        m = measurement(1, "zyn", 10, 0)
        self.assertIsNone(m.cpu_ms_per_1000)
        summary = report.summarize([m, measurement(1, "pcp", 10, 1000)])
        self.assertIsNone(summary[1].cpu_ratio)
        self.assertIn("small", report.table(summary))

    def test_the_target_is_met_at_five_times_and_lower_memory(self):
        ms = [measurement(1, "zyn", 10, 1000, final_kb=1000),
              measurement(1, "pcp", 50, 1000, final_kb=2000),
              measurement(1, "node", 80, 1000, final_kb=3000)]
        [line] = report.verdict(report.summarize(ms))
        self.assertIn("5.0x", line)
        self.assertIn("met", line)
        self.assertNotIn("NOT", line)


class FloorTest(unittest.TestCase):
    """The floor is no peer: it never counts as the better peer nor in the memory verdict,
    and it says when a target cannot be reached by any agent."""

    def test_a_target_below_the_floor_is_named_so(self):
        ms = [measurement(1, "zyn", 10, 1000, final_kb=1000),
              measurement(1, "pcp", 12, 1000, final_kb=2000),
              measurement(1, "node", 40, 1000, final_kb=3000),
              # Cheaper and smaller than everyone: it must not become the better peer.
              measurement(1, "floor", 4, 1000, final_kb=500)]
        summaries = report.summarize(ms)
        floor = [s for s in summaries if s.agent == "floor"][0]
        self.assertIsNone(floor.cpu_ratio)
        self.assertIsNone(floor.memory_ratio)
        self.assertAlmostEqual(floor.floor_ratio, 2.5)
        [line] = report.verdict(summaries)
        self.assertIn("1.2x less CPU per 1000 values than the better peer", line)
        self.assertIn("target 5x: NOT met; the target, 2.40 ms/1000, is below the floor of "
                      "4.00 ms/1000", line)
        self.assertIn("memory below every peer", line)
        self.assertIn("2.5x the floor's CPU", line)

    def test_a_target_above_the_floor_is_only_not_met(self):
        ms = [measurement(1, "zyn", 10, 1000), measurement(1, "pcp", 30, 1000),
              measurement(1, "floor", 2, 1000)]
        [line] = report.verdict(report.summarize(ms))
        self.assertIn("target 5x: NOT met)", line)  # the target, 6 ms, lies above the floor
        self.assertNotIn("below the floor", line)

    def test_without_a_floor_or_without_peers(self):
        ms = [measurement(1, "zyn", 10, 1000), measurement(1, "pcp", 12, 1000)]
        [line] = report.verdict(report.summarize(ms))
        self.assertNotIn("floor", line)
        # Only ours and the floor, at two rates: one line each, ours against the floor.
        ms = [measurement(1, "zyn", 9, 1000), measurement(1, "floor", 3, 1000),
              measurement(1, "zyn", 8, 1000, rate_ms=100),
              measurement(1, "floor", 2, 1000, rate_ms=100)]
        self.assertEqual(report.verdict(report.summarize(ms)),
                         ["small at 1 s: 3.0x the floor's CPU per 1000 values",
                          "small at 100 ms: 4.0x the floor's CPU per 1000 values"])

    def test_the_table_has_the_floor_row_and_its_column_only_with_a_floor(self):
        ms = [measurement(1, "zyn", 10, 1000), measurement(1, "pcp", 20, 1000),
              measurement(1, "floor", 4, 1000)]
        lines = report.table(report.summarize(ms)).splitlines()
        header = lines[0].split()
        self.assertIn("zyn/floor", header)
        floor_row = [line for line in lines if "floor (minimal" in line][0]
        pcp_row = [line for line in lines if "pmcd" in line][0]
        # Columns line up under the header: the ratio sits under zyn/floor on the floor's row,
        # and the floor has no peer/zyn ratio.
        at = lines[0].index("zyn/floor") + len("zyn/floor")
        self.assertEqual(floor_row[:at].split()[-1], "2.5x")
        self.assertEqual(floor_row[:lines[0].index("peer/zyn") + len("peer/zyn")].split()[-1],
                         "-")
        self.assertEqual(pcp_row[:at].split()[-2:], ["2.0x", "-"])
        without = report.table(report.summarize(ms[:2]))
        self.assertNotIn("zyn/floor", without)


class CsvTest(unittest.TestCase):
    def test_every_measurement_is_one_row_with_its_figures(self):
        ms = [measurement(1, "zyn", 12.5, 2500), measurement(1, "pcp", 30, 0, p50=None),
              measurement(1, "floor", 3, 1000)]
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "out.csv")
            report.write_csv(path, ms)
            with open(path, newline="") as f:
                rows = list(csv.DictReader(f))
        self.assertEqual(len(rows), 3)
        self.assertEqual(rows[2]["agent"], "floor")
        self.assertAlmostEqual(float(rows[2]["cpu_ms_per_1000_values"]), 3.0)
        self.assertEqual(rows[0]["agent"], "zyn")
        self.assertAlmostEqual(float(rows[0]["cpu_ms_per_1000_values"]), 5.0)
        self.assertEqual(rows[1]["latency_p50_ms"], "")
        self.assertEqual(rows[1]["cpu_ms_per_1000_values"], "")


if __name__ == "__main__":
    unittest.main()
