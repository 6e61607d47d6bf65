"""Charts of a bench/suite.py run: the ratios against the standard library,
and the idle cost and nested-work latency against the pool size.

Usage: python bench/plot.py [results.json]   (suite.py calls draw() itself)
"""

from __future__ import annotations

import json
import os
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt  # noqa: E402


def _machine(results: dict) -> str:
    m = results["machine"]
    return f"{m['cpus']} CPUs, {m['processor']}, CPython {m['python']}"


def draw(results: dict, folder: str) -> list[str]:
    """Writes bench/ratios.png and bench/scaling.png; returns their paths."""
    paths = []
    ratios = [(key, row) for key, row in results.items() if isinstance(row, dict) and "ratio" in row]
    if ratios:
        fig, ax = plt.subplots(figsize=(9, 0.45 * len(ratios) + 1.6))
        names = [key.split(" ", 1)[1] for key, _ in ratios]
        values = [row["ratio"] for _, row in ratios]
        targets = [row["target"] for _, row in ratios]
        y = range(len(ratios))
        colors = ["tab:green" if v >= t else "tab:orange" for v, t in zip(values, targets)]
        ax.barh(list(y), values, color=colors)
        ax.scatter(targets, list(y), marker="|", s=300, color="black", label="target", zorder=3)
        ax.axvline(1.0, color="grey", linewidth=0.8)
        for i, v in enumerate(values):
            ax.text(v, i, f" {v:.2f}x", va="center", fontsize=8)
        ax.set_yticks(list(y), names, fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("times faster than the standard library (log scale)")
        ax.set_title(f"Corvalune against the standard library\n{_machine(results)}", fontsize=10)
        ax.legend(loc="lower right", fontsize=8)
        fig.tight_layout()
        paths.append(os.path.join(folder, "ratios.png"))
        fig.savefig(paths[-1], dpi=110)
        plt.close(fig)

    idle = results.get("8 idle pool", {}).get("by_size")
    nested = results.get("10 nested batch", {}).get("by_size")
    if idle or nested:
        fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.8))
        if idle:
            workers = [r["workers"] for r in idle]
            left.plot(workers, [100 * r["cpu_share"] for r in idle], "o-", label="CPU, % of a core")
            left.plot(workers, [r["switches_per_s"] for r in idle], "s-", label="context switches / s")
            left.set_xscale("log", base=2)
            left.set_xticks(workers, [str(w) for w in workers])
            left.set_xlabel("pool size (workers)")
            left.set_title("idle pool, after 100 ms idle", fontsize=10)
            left.legend(fontsize=8)
        if nested:
            workers = [r["workers"] for r in nested]
            for key, label in (("serial", "serial, on the caller"), ("main", "spawned from the main thread"),
                               ("task", "spawned from a pool task that blocks")):
                right.plot(workers, [1e3 * r[key] for r in nested], "o-", label=label)
            right.set_xscale("log", base=2)
            right.set_xticks(workers, [str(w) for w in workers])
            right.set_ylim(bottom=0)
            right.set_xlabel("pool size (workers)")
            right.set_ylabel("ms")
            right.set_title("64 x 64 KiB batch", fontsize=10)
            right.legend(fontsize=8)
        fig.suptitle(_machine(results), fontsize=9)
        fig.tight_layout()
        paths.append(os.path.join(folder, "scaling.png"))
        fig.savefig(paths[-1], dpi=110)
        plt.close(fig)
    return paths


if __name__ == "__main__":
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    source = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build", "bench-results.json")
    with open(source) as f:
        for path in draw(json.load(f), os.path.join(root, "bench")):
            print(path)
