"""Demonstration: build an image chain from a generated image, save it and report."""
import os
import sys

import numpy as np

import qlo_cv


def main() -> int:
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out_dir, exist_ok=True)
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (480, 640), dtype=np.uint8)
    root = qlo_cv.ImageFromNDArray(image)
    copy = qlo_cv.ImageCopy(root)
    copy.image_name = os.path.join(out_dir, "chain_copy.png")
    copy.save()
    print(f"chain: {root.image_name} -> {copy.image_name}, shape {copy.shape}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
