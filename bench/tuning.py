"""The settings search on generated board tiles (640 x 640): the same settings
tried by the tuner's machinery (one comparison per comparator setting shared
by the judge's parameters, one extraction per group of NG regions, thresholds
of one class tried once) and by the plain way (find_defects with its own
comparison for every setting and pair). Checks that both give the same
objective for every setting and prints the time of each and their ratio, best
of alternating rounds."""
import time

from bench import board_pair
from qlo_batch import tune
from qlo_batch.labels import Label
from qlo_batch.settings import Settings

PAIRS = 10
ROUNDS = 3


def samples_and_labels():
    samples, labels = [], []
    for seed in range(PAIRS):
        standard, target, truth = board_pair(seed)
        file = "tile_%02d.png" % seed
        samples.append(tune.Sample(file, standard, target))
        labels.append([Label(file, box, kind, 0) for kind, box in truth])
    return samples, labels


def points(base):
    """The coarse grid, then gap and extent around the default comparator setting."""
    start = tune.Search(None, [], base, 0, None).point(base)
    coarse = [((shift, threshold, judge, parameter) + start[0][4:], start[1])
              for shift in tune.COARSE["max_shift"] for threshold in tune.COARSE["threshold"]
              for judge, parameter in tune.COARSE["judge"]]
    defect_grid = [(start[0], (gap, extent, 0)) for gap in tune.DEFECT_GRID["gap"]
                   for extent in tune.DEFECT_GRID["extent"]]
    return coarse + defect_grid


def plain(samples, labels, base, tried):
    out = {}
    search = tune.Search(None, labels, base, 0, None)
    for point in tried:
        settings = search.settings(*point)
        found = [[(d.box, d.kind, d.score) for d in tune.defects.find_defects(s.standard, s.target, settings)]
                 for s in samples]
        out[point] = tune.best_cut(found, labels)[:2]
    return out


def shared(samples, labels, base, tried):
    tune.EXTRACTED.clear()
    search = tune.Search(tune.SerialRunner(samples), labels, base, len(tried), tune.ThresholdClasses(samples))
    search.evaluate(tried)
    chosen = {search.same_as(point): point for point in search.outcomes}
    return {point: search.outcomes[chosen[search.same_as(point)]][:2] for point in tried}


def main():
    samples, labels = samples_and_labels()
    base = Settings(min_score=0.0)
    tried = points(base)
    best = {"plain": float("inf"), "shared": float("inf")}
    results = {}
    for _ in range(ROUNDS):
        for name, run in (("plain", plain), ("shared", shared)):
            start = time.perf_counter()
            results[name] = run(samples, labels, base, tried)
            best[name] = min(best[name], time.perf_counter() - start)
    same = results["plain"] == results["shared"]
    print("tuning: %d settings on %d board pairs of 640 x 640, same objective and cut-off for every setting: %s"
          % (len(tried), PAIRS, same))
    print("  plain find_defects per setting  %7.2f s" % best["plain"])
    print("  tuner's shared work             %7.2f s  (x%.1f)" % (best["shared"], best["plain"] / best["shared"]))


if __name__ == "__main__":
    main()
