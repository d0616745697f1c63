"""The parts of the cluster route that need no cluster: how many files a task
takes, and a worker writing the pictures of its chunk into the run's folder
only when that folder bears the run's mark."""
import collections
import os

import cv2
import numpy as np
import pytest

from qlo_batch import pipeline
from qlo_batch.pairs import Pair
from qlo_batch.report import ReportWriter
from qlo_batch.settings import Settings
from qlo_batch.work_unit import Inspector, Outcome


@pytest.mark.parametrize("timed, left, workers, size", [
    ([], 100, 2, 1),                        # nothing timed yet: one file a task
    ([0.01] * 3, 100, 2, 1),                # too few timed
    ([0.01] * 4, 1000, 2, 25),              # 10 ms tiles: a quarter of a second a task
    ([0.001] * 8, 10000, 2, pipeline.MAX_CHUNK),
    ([0.5] * 4, 100, 2, 1),                 # a 5-megapixel print a task
    ([0.01] * 4, 40, 2, 10),                # the last files spread over the workers
    ([0.01] * 4, 1, 2, 1),
])
def test_chunks_take_about_a_quarter_second_of_work(timed, left, workers, size):
    chunks = pipeline.Chunks()
    if timed:
        chunks.timed([Outcome("f", "OK", seconds=s) for s in timed])
    assert chunks.size(left, workers) == size


def test_files_of_a_chunk_that_killed_a_worker_go_alone():
    chunks = pipeline.Chunks()
    chunks.timed([Outcome("f", "OK", seconds=0.01)] * 4)
    queue = collections.deque(Pair("s", "t%d" % i, "t%d" % i) for i in range(200))
    chunks.alone.update({"t0", "t1"})
    assert [[t.file for t in chunks.take(queue, 2)] for _ in range(3)] == [["t0"], ["t1"], [
        "t%d" % i for i in range(2, 27)]]


def test_a_worker_writes_pictures_only_into_the_marked_folder(tmp_path):
    standard = np.full((60, 80), 200, np.uint8)
    target = standard.copy()
    target[20:30, 30:45] = 40
    cv2.imwrite(str(tmp_path / "s.png"), standard)
    cv2.imwrite(str(tmp_path / "t.png"), target)
    task = Pair(str(tmp_path / "s.png"), str(tmp_path / "t.png"), "t.png")
    inspector = Inspector(Settings(max_shift=1, threshold=40, judge_parameter=1))
    out = tmp_path / "out"
    ReportWriter(str(out)).close()
    share = pipeline.SharedFolder.start(str(out))
    try:
        here = pipeline.THIS_PROCESS
        [unmarked] = pipeline.inspect_chunk(inspector, [task], here, str(out), "another run's mark")
        [written] = pipeline.inspect_chunk(inspector, [task], here, *share.where())
    finally:
        share.close()
    # without the run's mark, the bytes travel back for the client to write
    assert unmarked.pictures is None and unmarked.thumbnail_jpg and unmarked.crops_jpg
    assert written.thumbnail_jpg is None and written.crops_jpg is None
    assert written.pictures["thumbnail"] == "thumbs/t~png.jpg"
    assert (out / written.pictures["thumbnail"]).is_file() and (out / written.pictures["crops"][0][1]).is_file()
    assert not os.path.exists(out / pipeline.SharedFolder.MARK)
