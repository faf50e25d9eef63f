#!/usr/bin/env python3
"""Convert TFeat's published PyTorch weights to numpy, with a PyTorch reference.

Reads a TFeat state dict (`pretrained-models/tfeat-liberty.params` of the
MIT-licensed repository vbalnt/tfeat; see tools/training/RECORD.md for the
commit) and writes:

  OUT_NPZ        the six arrays under their PyTorch names and layouts
                 (conv weights [out, in, rows, cols], linear weight [out, in]);
  --reference F  seeded test patches [N, 32, 32] and what PyTorch's TFeat
                 computes on them [N, 128], for export_tfeat_model.py --check
                 and the tests, which then need no PyTorch.

The network is built here from its description: per-patch instance
normalisation, 7x7 convolution 1->32, tanh, 2x2 max-pooling, 6x6 convolution
32->64, tanh, flatten (channel first), fully connected 4096->128, tanh.

Runs only in a throwaway venv that holds torch (RECORD.md says how it was
made); nothing else in the project needs torch.

Usage: convert_tfeat.py PARAMS OUT_NPZ [--reference REFERENCE_NPZ] [--patches N]
"""

import argparse
import sys

import numpy as np

EXPECTED_SHAPES = {
    "features.1.weight": (32, 1, 7, 7),
    "features.1.bias": (32,),
    "features.4.weight": (64, 32, 6, 6),
    "features.4.bias": (64,),
    "descr.0.weight": (128, 4096),
    "descr.0.bias": (128,),
}
REFERENCE_SEED = 1907
PATCH = 32


def tfeat_network(torch):
    nn = torch.nn
    features = nn.Sequential(nn.InstanceNorm2d(1, affine=False), nn.Conv2d(1, 32, kernel_size=7), nn.Tanh(),
                             nn.MaxPool2d(kernel_size=2, stride=2), nn.Conv2d(32, 64, kernel_size=6), nn.Tanh())
    descr = nn.Sequential(nn.Linear(64 * 8 * 8, 128), nn.Tanh())

    class TFeat(nn.Module):
        def __init__(self):
            super().__init__()
            self.features, self.descr = features, descr

        def forward(self, x):
            x = self.features(x)
            return self.descr(x.view(x.size(0), -1))

    return TFeat()


def load_state(torch, path):
    state = torch.load(path, map_location="cpu", weights_only=True)
    if set(state) != set(EXPECTED_SHAPES):
        raise ValueError(f"{path}: arrays {sorted(state)}, expected {sorted(EXPECTED_SHAPES)}")
    for name, shape in EXPECTED_SHAPES.items():
        if tuple(state[name].shape) != shape:
            raise ValueError(f"{path}: {name} has shape {tuple(state[name].shape)}, expected {shape}")
    return state


def reference_patches(count, seed=REFERENCE_SEED):
    """Patches with image-like structure: a few random gradients and blobs over
    noise, at assorted brightness and contrast, plus one uniform patch."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:PATCH, 0:PATCH].astype(np.float64) / PATCH
    patches = np.empty((count, PATCH, PATCH), np.float32)
    for k in range(count):
        image = rng.normal(0.0, 0.2, (PATCH, PATCH))
        for _ in range(4):
            cx, cy, width = rng.uniform(0, 1), rng.uniform(0, 1), rng.uniform(0.05, 0.4)
            image += rng.normal() * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * width ** 2))
        image += rng.normal() * x + rng.normal() * y
        patches[k] = rng.uniform(20, 200) + rng.uniform(5, 60) * image
    patches[-1] = 128.0
    return patches


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("params", help="TFeat's .params file (a PyTorch state dict)")
    parser.add_argument("out", help=".npz to write")
    parser.add_argument("--reference", help="also write test patches and PyTorch's descriptors of them")
    parser.add_argument("--patches", type=int, default=32, help="reference patches (default 32)")
    args = parser.parse_args(argv)

    import torch

    state = load_state(torch, args.params)
    arrays = {name: value.numpy().astype(np.float32) for name, value in state.items()}
    np.savez(args.out, **arrays)
    print(f"wrote {args.out}: " + ", ".join(f"{n} {list(a.shape)}" for n, a in arrays.items()))
    if args.reference:
        network = tfeat_network(torch)
        network.load_state_dict(state)
        network.eval()
        patches = reference_patches(args.patches)
        with torch.no_grad():
            descriptors = network(torch.from_numpy(patches[:, None])).numpy()
        np.savez_compressed(args.reference, patches=patches, descriptors=descriptors.astype(np.float32),
                            torch_version=np.array(torch.__version__))
        print(f"wrote {args.reference}: {len(patches)} patches, descriptors "
              f"{descriptors.min():.3f}..{descriptors.max():.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
