"""Defects from a comparison: one defect per physical fault, with its full
extent box, a kind and a score, built on top of the shift comparator's NG
regions (which are only the part of a fault that no tolerated misregistration
explains, and may come in several fragments per fault)."""
import dataclasses
from typing import List

# Kind words, in the order a report lists them. The first six say what the
# defect does to the pattern; "extra" and "missing" are the plain material
# change when none of them fits.
KINDS = ("bridge", "break", "hole", "bite", "island", "spur", "extra", "missing")


@dataclasses.dataclass
class Defect:
    """One defect. `box` is [x1, y1, x2, y2] in image pixels, x2 and y2 one past
    the last pixel; `kind` is one of KINDS; `score` grows with the defect's
    contrast and size; `regions` are the NGRegion objects it was made from."""
    box: List[int]
    kind: str
    score: float
    regions: list = dataclasses.field(default_factory=list)

    @property
    def ng_count(self):
        return len(self.regions)


def find_defects(standard, target, settings, ng_regions=None, comparator=None):
    """The defects of `target` (a 2-D uint8 image) against `standard` (the same
    size), as a list of Defect, largest score first.

    `settings` is a qlo_batch.Settings: its comparator settings, and its gap,
    extent, margin, min_score and material. `ng_regions` are the NG regions of
    a comparison already made; when None, the comparison is made here with
    `comparator` (or one made from the settings)."""
    raise NotImplementedError
