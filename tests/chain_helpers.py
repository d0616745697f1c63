"""Shared pieces of the image chain node tests."""
import qlo_cv


class CountingSource(qlo_cv.ImageChainBase):
    """A root node that hands out a fixed array and counts how often it is read."""

    def __init__(self, array):
        super().__init__()
        self.array = array
        self.reads = 0

    @property
    def image(self):
        self.reads += 1
        return self.array


def private_attributes(node):
    """The attributes a node stored beyond the base's, in the order they were set."""
    base = {"_ImageChainBase__previous", "_cache", "_ImageChainBase__name"}
    return [name for name in vars(node) if name not in base]
