#!/usr/bin/python3
"""Turns the benchmark's measurements into its table.

Usage: report.py RESULTS META

RESULTS has one line per run: FIGURE ROLE PAIR WALL USER SYS MAXRSS_KIB
STATUS (tab separated); META holds KEY=VALUE lines describing the run.
Prints a Markdown table (figure, candidate, yardstick, ratio, goal, met?),
the details of every figure (runs, spread) and the notes needed to read them.

Times are medians of the runs; a ratio is the median of the per-pair ratios
candidate / yardstick, so both sides of a ratio were measured next to each
other; peak memory is the largest of the runs. A figure with a failed run
shows "failed" and never meets its goal.
"""
import statistics
import sys
from collections import defaultdict


def read_meta(path):
    meta = {}
    with open(path) as lines:
        for line in lines:
            key, _, value = line.rstrip("\n").partition("=")
            meta[key] = value
    return meta


def read_runs(path):
    """{(figure, role): {pair: (wall, cpu, rss_mib, status)}}"""
    runs = defaultdict(dict)
    try:
        with open(path) as lines:
            for line in lines:
                fields = line.rstrip("\n").split("\t")
                if len(fields) != 8:
                    continue
                figure, role, pair, wall, user, system, rss, status = fields
                runs[(figure, role)][int(pair)] = (float(wall), float(user) + float(system),
                                                   int(rss) / 1024.0, status)
    except FileNotFoundError:
        pass
    return runs


METRICS = {"wall": (0, "s"), "cpu": (1, "s"), "rss": (2, "MiB")}


class Side:
    """One side (candidate or yardstick) of a figure, for one metric."""

    def __init__(self, runs, metric, timeout=None):
        self.runs = runs or {}
        self.timeout = timeout if metric == "wall" else None
        self.index, self.unit = METRICS[metric]
        self.failed = [r[3] for r in self.runs.values() if r[3] != "ok"]
        self.values = {pair: r[self.index] for pair, r in self.runs.items() if r[3] == "ok"}

    def present(self):
        return bool(self.runs)

    def value(self):
        if not self.values:
            return None
        numbers = list(self.values.values())
        return max(numbers) if self.unit == "MiB" else statistics.median(numbers)

    def text(self):
        if not self.present():
            return "n/a"
        if self.failed and set(self.failed) == {"timeout"} and self.timeout:
            return "> %s s (timed out)" % self.timeout
        if self.failed:
            return "failed (%s)" % self.failed[0]
        return "%.2f %s" % (self.value(), self.unit) if self.unit == "s" else \
            "%.1f %s" % (self.value(), self.unit)

    def spread(self):
        if not self.values:
            return "—"
        numbers = sorted(self.values.values())
        form = "%.2f" if self.unit == "s" else "%.1f"
        return "%d: %s … %s" % (len(numbers), form % numbers[0], form % numbers[-1])


def paired_ratio(candidate, yardstick):
    pairs = [candidate.values[p] / yardstick.values[p] for p in candidate.values
             if p in yardstick.values and yardstick.values[p] > 0]
    return statistics.median(pairs) if pairs else None


def judge(goal, candidate, ratio):
    """(goal text, met text) for a goal ("ratio", x) or ("max", x)."""
    if goal is None:
        return "—", "—"
    kind, limit = goal
    if not candidate.present():
        return ("≤ %.2f×" % limit if kind == "ratio" else "≤ %g %s" % (limit, candidate.unit)), "n/a"
    if kind == "ratio":
        value, text = ratio, "≤ %.2f×" % limit
    else:
        value, text = candidate.value(), "≤ %g %s" % (limit, candidate.unit)
    if candidate.failed or value is None:
        return text, "no"
    return text, "yes" if value <= limit else "no"


def mib(meta, key):
    try:
        return "%.1f" % (int(meta[key]) / 1048576.0)
    except (KeyError, ValueError):
        return "?"


def rows(meta):
    """(label, figure, candidate role, yardstick role, metric, goal) in table order."""
    release = "%s MiB in %s files" % (mib(meta, "release_bytes"), meta.get("release_files", "?"))
    big = "%s-entry document (%s MiB)" % (meta.get("big_entries", "?"), mib(meta, "big_bytes"))
    small = "%s small files over a %s ms round trip" % (meta.get("small_release_files", "?"),
                                                         meta.get("rtt_ms", "?"))
    jobs = meta.get("jobs", "8")
    return [
        ("Fresh install, %s: wall time" % release, "fresh", "updater", "yardstick", "wall",
         ("ratio", 0.8)),
        ("Fresh install: CPU time (user + sys)", "fresh", "updater", "yardstick", "cpu", None),
        ("Fresh install: peak memory (largest file %s MiB)" % mib(meta, "release_largest"),
         "fresh", "updater", "yardstick", "rss", ("max", 32)),
        ("Up-to-date check, %s: wall time" % release, "uptodate", "updater", "yardstick", "wall",
         ("ratio", 0.6)),
        ("%s, files missing, group not selected: wall time" % big, "bigdoc", "missing", None,
         "wall", ("max", 3)),
        ("%s, files missing, group not selected: peak memory" % big, "bigdoc", "missing", None,
         "rss", ("max", 300)),
        ("%s, empty files all up to date: wall time" % big, "bigdoc", "present", None, "wall",
         None),
        ("%s, empty files all up to date: peak memory" % big, "bigdoc", "present", None, "rss",
         None),
        ("%s groups, all up to date (selection read): wall time" % meta.get("groups", "?"),
         "groups", "read", None, "wall", None),
        ("%s groups, one file to install (selection written): wall time" % meta.get("groups", "?"),
         "groups", "write", None, "wall", None),
        ("%s, `--jobs %s`: wall time" % (small, jobs), "small", "jobs", "yardstick", "wall",
         ("ratio", 1.1)),
        ("%s, one at a time (no `--jobs`): wall time" % small, "small", "sequential", "yardstick",
         "wall", None),
    ]


def notes(meta, runs):
    single = sorted("%s/%s" % key for key, by_pair in runs.items()
                    if key[0] in ("bigdoc", "groups") and list(by_pair) == [1])
    lines = [
        "Measured %s on commit %s (%s build), %s cores, load average %s at the start and %s"
        " at the end; command: `%s`." % (meta.get("date", "?"), meta.get("commit", "?"),
                                          meta.get("build_type", "?"), meta.get("cores", "?"),
                                          meta.get("load_start", "?"), meta.get("load_end", "?"),
                                          meta.get("command", "?")),
        "",
        "- Times are medians of %s runs; a ratio is the median of the per-pair ratios"
        " candidate / yardstick (each pair measured back to back, the order alternating)."
        " Peak memory is the largest maximum resident set size of the runs." % meta.get("runs"),
        "- Caches: the page cache is not dropped; every figure starts with one untimed run of"
        " each side, so both read warm data, and `sync` runs before every timed run.",
        "- Fresh install yardstick: one curl process fetching the document and every pack"
        " over one kept-alive connection, then bench-unpack (OpenSSL RC4, zlib inflate, write,"
        " SHA-256, one file after another on one core). CPU time is user + system of the"
        " whole side (nginx excluded on both sides).",
        "- Up-to-date yardstick: bench-unpack hash, a one-core SHA-256 loop over the same files.",
        "- Small files yardstick: curl --parallel --parallel-max %s fetching the document and"
        " every pack through the same relay, then bench-unpack." % meta.get("jobs", "?"),
        "- The large-document and many-groups figures have no yardstick; their goals are"
        " absolute.",
    ]
    if meta.get("has_jobs") == "no":
        lines.append("- This updater does not accept `--jobs`: that figure is n/a.")
    if single:
        lines.append("- Taken once, since the warm-up took over %s s: %s." %
                     (meta.get("slow", "?"), ", ".join(single)))
    return lines


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: report.py RESULTS META")
    runs = read_runs(sys.argv[1])
    meta = read_meta(sys.argv[2])
    figures_run = set(meta.get("figures", "").split(","))
    table = ["| Figure | Candidate | Yardstick | Ratio | Goal | Met? |",
             "|---|---|---|---|---|---|"]
    details = ["| Figure | Candidate runs: min … max | Yardstick runs: min … max |",
               "|---|---|---|"]
    for label, figure, cand_role, yard_role, metric, goal in rows(meta):
        if figure not in figures_run:
            continue
        candidate = Side(runs.get((figure, cand_role)), metric, meta.get("run_timeout"))
        yardstick = Side(runs.get((figure, yard_role)), metric) if yard_role else None
        ratio = None
        if yardstick and metric != "rss":
            ratio = paired_ratio(candidate, yardstick)
        ratio_text = "%.2f×" % ratio if ratio is not None else ("n/a" if yardstick and
                                                                metric != "rss" else "—")
        goal_text, met = judge(goal, candidate, ratio)
        table.append("| %s | %s | %s | %s | %s | %s |" % (
            label, candidate.text(), yardstick.text() if yardstick else "—", ratio_text,
            goal_text, met))
        details.append("| %s | %s | %s |" % (label, candidate.spread(),
                                               yardstick.spread() if yardstick else "—"))
    print("\n".join(table))
    print()
    print("\n".join(details))
    print()
    print("\n".join(notes(meta, runs)))


if __name__ == "__main__":
    main()
