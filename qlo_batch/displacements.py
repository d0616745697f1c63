"""The displacements the shift comparator tries, defined once for the job
package (the comparator's own definition is the module's, and a test holds
the two together): along each axis both ways the distances
range(1, max_shift + 1, step), and with `slope` along each diagonal the
distances range(1, int(max_shift / sqrt(2)) + 1, step), which keep the
diagonal length within max_shift."""
import math

AXES = ((1, 0), (-1, 0), (0, 1), (0, -1))
DIAGONALS = ((1, 1), (-1, 1), (1, -1), (-1, -1))


def displacement_steps(max_shift, slope=True, step=1):
    """(axis, diagonal): the distances tried along each axis and along each
    diagonal (empty without slope)."""
    axis = tuple(range(1, max_shift + 1, step))
    diagonal = tuple(range(1, int(max_shift / math.sqrt(2)) + 1, step)) if slope else ()
    return axis, diagonal


def displacements(max_shift, slope=True, step=1):
    """Every (right, down) tried, in the comparator's order: the four axis
    directions, then the four diagonal ones."""
    axis, diagonal = displacement_steps(max_shift, slope, step)
    return [(dx * i, dy * i) for dx, dy in AXES for i in axis] + \
        [(dx * i, dy * i) for dx, dy in DIAGONALS for i in diagonal]
