"""Shared pieces of the contour tests: generated shapes and a spy on OpenCV calls."""
import math
import types

import cv2
import numpy as np

import qlo_cv

SQUARE = np.array([[[0, 0]], [[10, 0]], [[10, 10]], [[0, 10]]], np.int32)


def contour_of(points):
    return np.array(points, np.int32).reshape(-1, 1, 2)


def found_contour(mask):
    """The outer contour findContours gives for the largest blob of a binary image."""
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    return max(contours, key=cv2.contourArea)


def turned(points, degrees, center):
    """Points turned by `degrees` from +x toward +y about `center` (clockwise as displayed), rounded."""
    pts = np.asarray(points, np.float64).reshape(-1, 2)
    t = math.radians(degrees)
    rot = np.array([[math.cos(t), -math.sin(t)], [math.sin(t), math.cos(t)]])
    out = (pts - center) @ rot.T + center
    return np.rint(out).astype(np.int32).reshape(-1, 1, 2)


class CvSpy(types.SimpleNamespace):
    """Stands in for the module's `_cv`: every attribute is OpenCV's, calls are counted by name."""

    def __init__(self, **overrides):
        super().__init__(calls=[])
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        target = getattr(cv2, name)
        if not callable(target):
            return target

        def spy(*args, **kwargs):
            self.calls.append(name)
            return target(*args, **kwargs)
        return spy


def spy_on_cv(monkeypatch, **overrides):
    spy = CvSpy(**overrides)
    monkeypatch.setattr(qlo_cv, "_cv", spy)
    return spy


def type_name(value):
    """The type name a TypeError about `value` shows (its tp_name: builtins bare, others dotted)."""
    cls = type(value)
    return cls.__name__ if cls.__module__ == "builtins" else "%s.%s" % (cls.__module__, cls.__name__)
