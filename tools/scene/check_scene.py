#!/usr/bin/env python3
"""Reconstruct the rendered scene with known cameras and check it against them.

Renders the scene (render_scene.py) into WORKDIR/scene, runs the program on it
with MODEL (by default the default model, exported into WORKDIR/model), runs
reconstruct.py's steps on neighbouring views (each view with the next
NEIGHBOURS), aligns the model to the true camera centres by a similarity
transform, and checks that every view is registered and that every camera's
rotation error is below --bound degrees. Prints one line per step with its
time, the figures, and "scene check passed" or the reason it failed.

--compare also reconstructs with OpenCV SIFT descriptors at the program's
keypoints and with pycolmap's own SIFT features, and prints the same figures.

Why 1 degree: the views are 560 px focal length (1024x512), so a camera turned
by 1 degree moves the image by about 10 px, while a right model reprojects
its points to a fraction of a pixel; a view registered wrongly (a mirrored
or plane-induced pose) is off by several degrees or more.

Exit codes: 0 passed, 1 failed, 77 when pycolmap or h5py is not installed.

Usage: check_scene.py --program PROGRAM WORKDIR [--model MODEL] [--compare] [--bound DEGREES]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

SKIP = 77
NEIGHBOURS = 2
BOUND_DEGREES = 1.0


def similarity(source, target):
    """(s, R, t) minimising |s R source + t - target|^2 (Umeyama)."""
    mu_s, mu_t = source.mean(axis=0), target.mean(axis=0)
    a, b = source - mu_s, target - mu_t
    U, D, Vt = np.linalg.svd(b.T @ a / len(source))
    sign = np.diag([1.0, 1.0, np.sign(np.linalg.det(U @ Vt))])
    R = U @ sign @ Vt
    s = np.trace(np.diag(D) @ sign) / (a ** 2).sum(axis=1).mean()
    return s, R, mu_t - s * R @ mu_s


def rotation_errors(model, truth):
    """{uuid: degrees} after aligning the model's camera centres to the true ones,
    and the largest centre error as a share of the true cameras' spread."""
    names = {view["image"]: uuid for uuid, view in truth["views"].items()}
    estimated, true = {}, {}
    for image in model.images.values():
        if not image.has_pose or image.name not in names:
            continue
        pose = image.cam_from_world()
        uuid = names[image.name]
        estimated[uuid] = (pose.rotation.matrix(), pose.translation)
        view = truth["views"][uuid]
        true[uuid] = (np.array(view["R"]), np.array(view["t"]))
    uuids = sorted(estimated)
    if len(uuids) < 3:
        return {}, float("inf")

    def centre(R, t):
        return -R.T @ t

    source = np.array([centre(*estimated[u]) for u in uuids])
    target = np.array([centre(*true[u]) for u in uuids])
    s, R_align, t_align = similarity(source, target)
    errors = {}
    for uuid in uuids:
        # x_cam = R_est X_est + t_est and X_gt = s R_align X_est + t_align.
        R_in_truth = estimated[uuid][0] @ R_align.T
        difference = true[uuid][0] @ R_in_truth.T
        errors[uuid] = float(np.degrees(np.arccos(np.clip((np.trace(difference) - 1) / 2, -1, 1))))
    aligned = s * source @ R_align.T + t_align
    spread = np.linalg.norm(target - target.mean(axis=0), axis=1).max()
    return errors, float(np.linalg.norm(aligned - target, axis=1).max() / spread)


def timed(label, step, timings):
    mark = time.monotonic()
    result = step()
    timings[label] = time.monotonic() - mark
    print(f"{label}: {timings[label]:.1f} s", flush=True)
    return result


def run_program(program, model, workspace):
    run = subprocess.run([program, model, workspace], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True, env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3"))
    if run.returncode != 0:
        raise RuntimeError(f"the program failed:\n{run.stdout[-2000:]}")
    return sum(int(line.split()[1]) for line in run.stdout.splitlines() if line.startswith("keypoints: "))


def export_default_model(folder):
    if os.path.isfile(os.path.join(folder, "saved_model.pb")):
        return
    exporter = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "demo",
                            "export_default_model.py")
    subprocess.run([sys.executable, exporter, folder], check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3"))


def write_pairs(path, uuids, neighbours=NEIGHBOURS):
    with open(path, "w") as f:
        for i, first in enumerate(uuids):
            for second in uuids[i + 1:i + 1 + neighbours]:
                f.write(f"{first} {second}\n")


def figures(label, summary, model, truth):
    errors, centre_error = rotation_errors(model, truth) if model is not None else ({}, float("inf"))
    values = sorted(errors.values())
    median = float(np.median(values)) if values else float("nan")
    largest = max(values) if values else float("nan")
    print(f"{label}: {summary.registered}/{summary.images} views registered, rotation error median "
          f"{median:.3f} deg, max {largest:.3f} deg, largest centre error {centre_error:.2%} of the "
          f"camera spread; {summary.verified_pairs} verified pairs, {summary.inlier_matches} inlier "
          f"matches, {summary.points} points, mean track length {summary.mean_track_length:.2f}, "
          f"mean reprojection error {summary.mean_reprojection_error:.2f} px", flush=True)
    print(f"{label} steps: " + ", ".join(f"{name} {seconds:.1f} s" for name, seconds in summary.seconds.items()),
          flush=True)
    return errors


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workdir")
    parser.add_argument("--program", required=True)
    parser.add_argument("--model", help="descriptor model (default: the default model, exported)")
    parser.add_argument("--compare", action="store_true",
                        help="also SIFT descriptors at the same keypoints, and pycolmap's own SIFT")
    parser.add_argument("--bound", type=float, default=BOUND_DEGREES, help="largest rotation error, degrees")
    args = parser.parse_args(argv)
    try:
        import h5py  # noqa: F401
        import pycolmap  # noqa: F401
    except ImportError as error:
        print(f"skipped: {error.name} is not installed (tools/requirements.txt)")
        return SKIP
    from lf_tools.scene.render_scene import render_scene
    from lf_tools.user.reconstruct import reconstruct

    os.makedirs(args.workdir, exist_ok=True)
    workspace = os.path.join(args.workdir, "scene")
    timings = {}
    truth = timed("rendering the scene", lambda: render_scene(workspace), timings)
    model = args.model
    if model is None:
        model = os.path.join(args.workdir, "model")
        timed("exporting the default model", lambda: export_default_model(model), timings)
    keypoints = timed("program", lambda: run_program(args.program, model, workspace), timings)
    print(f"program: {len(truth['views'])} views, {keypoints} keypoints")
    pairs = os.path.join(args.workdir, "pairs.txt")
    write_pairs(pairs, sorted(truth["views"]))
    variants = [("network", "network")]
    if args.compare:
        variants += [("SIFT descriptors", "sift"), ("pycolmap SIFT", "pycolmap-sift")]
    failures = []
    for label, features in variants:
        out = os.path.join(args.workdir, f"reconstruction-{features}")
        summary, reconstruction = reconstruct(workspace, out, pairs, "shared", 0.8, features,
                                              log=lambda line: print(line, file=sys.stderr))
        errors = figures(label, summary, reconstruction, truth)
        if features != "network":
            continue
        if summary.registered != len(truth["views"]):
            failures.append(f"{summary.registered} of {len(truth['views'])} views registered")
        worst = max(errors.items(), key=lambda item: item[1], default=(None, float("inf")))
        if worst[1] > args.bound:
            failures.append(f"rotation error of {worst[0]} is {worst[1]:.3f} deg, above {args.bound:g}")
    with open(os.path.join(args.workdir, "timings.json"), "w") as f:
        json.dump(timings, f, indent=1)
    if failures:
        print("scene check failed: " + "; ".join(failures))
        return 1
    print("scene check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
