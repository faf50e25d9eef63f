"""Held-out images stay out of training, pairs are geometrically right, and the
exported network computes what the trained one computed."""

import argparse
import math
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent

from lf_tools.training.dataset import HeldOutError, photograph_paths, read_list, refuse_held_out  # noqa: E402


@pytest.mark.parametrize("path, held_out", [
    ("usr/share/doc/opencv-doc/examples/data/graf1.png", True),
    ("graf3.png", True),
    ("/cache/x/GRAF5.PNG", True),
    ("graffiti/graf.ppm", True),
    ("aero1.jpg", True),
    ("data/aero3.jpg", True),
    ("home.jpg", True),
    ("stuff.jpg", True),
    ("aero2.jpg", False),
    ("leuvenA.jpg", False),
    ("homework.jpg", False),
    ("mystuff.jpg", False),
])
def test_held_out_images_are_refused_by_name(path, held_out):
    if held_out:
        with pytest.raises(HeldOutError):
            refuse_held_out(path)
    else:
        assert refuse_held_out(path) == path


def test_a_list_naming_a_held_out_image_is_refused(tmp_path):
    listing = tmp_path / "photographs.txt"
    listing.write_text("# comment\nopencv-doc data/leuvenA.jpg\nopencv-doc data/home.jpg\n")
    with pytest.raises(HeldOutError, match="home.jpg"):
        read_list(listing)


def test_the_committed_list_is_read_in_order(tmp_path):
    entries = read_list()
    assert len(entries) == len(set(entries)) >= 60
    with pytest.raises(FileNotFoundError, match="fetch_photographs"):
        photograph_paths(str(tmp_path))


def qt_bundle(version, files):
    """A compiled Qt resource bundle holding FILES {"a/b.jpg": bytes} under one root,
    odd-numbered files zlib-compressed, laid out as Qt's resource compiler lays it out."""
    import struct
    import zlib
    folders = {"/".join(p.split("/")[:i]) for p in files for i in range(1, p.count("/") + 1)}

    def parent(node):
        return node.rsplit("/", 1)[0] if "/" in node else ""
    nodes = [""]                                    # breadth first: a folder's children are consecutive
    for node in nodes:
        nodes += sorted(n for n in folders | set(files) if n and parent(n) == node and n != node)
    names, name_at = b"", {}
    for node in nodes[1:]:
        leaf = node.rsplit("/", 1)[-1]
        name_at[node] = len(names)
        names += struct.pack(">HI", len(leaf), 0) + leaf.encode("utf-16-be")
    data, tree = b"", b""
    node_tail = b"" if version == 1 else bytes(8)
    for node in nodes:
        children = [i for i, n in enumerate(nodes) if n and parent(n) == node]
        if node in files:
            compressed = sorted(files).index(node) % 2
            blob = struct.pack(">I", len(files[node])) + zlib.compress(files[node]) if compressed \
                else files[node]
            tree += struct.pack(">IHHHI", name_at[node], compressed, 0, 0, len(data)) + node_tail
            data += struct.pack(">I", len(blob)) + blob
        else:
            tree += struct.pack(">IHII", name_at.get(node, 0), 2, len(children),
                                children[0] if children else 0) + node_tail
    header = 20 + (4 if version >= 3 else 0)
    offsets = (header, header + len(tree), header + len(tree) + len(data))
    flags = struct.pack(">I", 0) if version >= 3 else b""
    return b"qres" + struct.pack(">IIII", version, offsets[0], offsets[1], offsets[2]) + flags \
        + tree + data + names


@pytest.mark.parametrize("version", [1, 3])
def test_photographs_are_unpacked_from_a_qt_resource_bundle(tmp_path, version):
    from lf_tools.training.fetch_photographs import unpack_bundle
    from lf_tools.training.qt_resources import ResourceError, resource_files
    files = {"res/a/one.webp": b"first" * 50, "res/a/two.webp": b"second" * 50, "res/b.txt": b"3"}
    bundle = qt_bundle(version, files)
    assert resource_files(bundle) == {"/" + p: b for p, b in files.items()}
    for broken in (bundle[:-7], b"qrez" + bundle[4:]):
        with pytest.raises(ResourceError):
            resource_files(broken)
    (tmp_path / "pkg").mkdir()
    (tmp_path / "pkg" / "x.rcc").write_bytes(bundle)
    unpack_bundle(str(tmp_path), "pkg", "x.rcc")
    assert (tmp_path / "pkg" / "x.rcc.d" / "res" / "a" / "two.webp").read_bytes() == files["res/a/two.webp"]
    (tmp_path / "pkg" / "evil.rcc").write_bytes(qt_bundle(version, {"../escape.txt": b"x"}))
    with pytest.raises(ResourceError, match="unsafe"):
        unpack_bundle(str(tmp_path), "pkg", "evil.rcc")
    assert not (tmp_path / "pkg" / "escape.txt").exists() and not (tmp_path / "pkg" / "evil.rcc.d").exists()


pairs = pytest.importorskip("lf_tools.training.pairs")
cv2 = pytest.importorskip("cv2")


def rotation_about(angle_deg, scale, centre):
    a = math.radians(angle_deg)
    c, s = math.cos(a) * scale, math.sin(a) * scale
    cx, cy = centre
    return np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy], [0, 0, 1.0]])


@pytest.mark.parametrize("angle, scale", [(0.0, 1.0), (30.0, 1.0), (-75.0, 0.8), (170.0, 1.25)])
def test_keypoints_follow_a_similarity(angle, scale):
    h = rotation_about(angle, scale, (1000.0, 500.0))
    xy = np.array([[1000.0, 500.0], [1200.0, 450.0]])
    mapped, size, mapped_angle = pairs.map_keypoints(h, xy, np.array([4.0, 10.0]), np.array([10.0, 300.0]))
    np.testing.assert_allclose(mapped[0], [1000.0, 500.0], atol=1e-9)
    np.testing.assert_allclose(size, [4.0 * scale, 10.0 * scale])
    # Image y points down, so a positive angle of the matrix turns clockwise on screen,
    # as OpenCV's keypoint angles do.
    np.testing.assert_allclose(mapped_angle, np.mod([10.0 + angle, 300.0 + angle], 360.0), atol=1e-9)


@pytest.mark.parametrize("linear", [((1.6, 0.0), (0.0, 1.0)), ((1.0, 0.5), (0.0, 1.0))], ids=["stretch", "shear"])
@pytest.mark.parametrize("through_field", [False, True], ids=["homography", "view map"])
def test_mapped_orientations_agree_with_the_detector_under_stretch_and_shear(linear, through_field):
    # SIFT's orientation is a gradient's direction, which a stretch turns the other
    # way from a drawn line; mapped as a line, the angles are off by about 20 degrees.
    rng = np.random.default_rng(0)
    image = cv2.GaussianBlur(rng.uniform(0, 255, (400, 600)).astype(np.float32), (0, 0), 3)
    image = cv2.normalize(image, None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)
    h = np.eye(3)
    h[:2, :2] = linear
    warped = cv2.warpPerspective(image, h, (960, 400), flags=cv2.INTER_LINEAR)
    detector = pairs.sift()
    first = pairs.keypoint_arrays(detector.detect(image, None))
    second = pairs.keypoint_arrays(detector.detect(warped, None))
    relation = pairs.ViewMap(h, np.zeros((400, 960, 2), np.float32)) if through_field else h
    mapped, _, mapped_angle = pairs.map_keypoints_through(relation, *first)
    distance = np.linalg.norm(mapped[:, None] - second[0][None], axis=2)
    nearest, found = distance.argmin(axis=1), (distance.min(axis=1) < 1.0) & (mapped[:, 0] < 940)
    error = pairs.angle_difference(second[2][nearest], mapped_angle)[found]
    assert found.sum() > 1000
    assert np.median(error) < 10.0
    # A map that folds a direction away (a view edge-on) gives an angle, not an exception.
    assert np.isfinite(pairs.mapped_orientation(np.zeros((1, 2, 2)), np.array([30.0]))).all()


@pytest.mark.parametrize("jitter, like", [
    (pairs.Jitter(25.0, 0.0), pairs.Jitter()),
    (pairs.Jitter(0.0, 0.75), pairs.Jitter()),
    # Resizes draw from a stream of their own: an angle-only shard's turns are kept.
    (pairs.Jitter(25.0, 0.75), pairs.Jitter(25.0, 0.0)),
])
def test_jitter_changes_half_the_second_patches_and_keeps_the_pairs(jitter, like):
    # Jittered shards are compared against plain ones of the same seed: only the
    # second patches may differ, never which views and keypoints pair.
    texture = np.random.default_rng(1).uniform(0, 255, (384, 512)).astype(np.float32)
    raw = cv2.normalize(cv2.GaussianBlur(texture, (0, 0), 2), None, 0, 255, cv2.NORM_MINMAX).astype(np.uint8)

    def view_pairs(jitter):
        rng, jitter_rngs = np.random.default_rng(5), [np.random.default_rng(6), np.random.default_rng(7)]
        made = [pairs.view_pair_patches(raw, rng, pairs.sift(), 200, jitter, jitter_rngs) for _ in range(3)]
        return np.concatenate([m[0] for m in made]), np.concatenate([m[1] for m in made])

    (plain, plain_xy), (jittered, jittered_xy) = view_pairs(like), view_pairs(jitter)
    assert len(plain) > 50
    np.testing.assert_array_equal(jittered_xy, plain_xy)
    np.testing.assert_array_equal(jittered[:, 0], plain[:, 0])
    changed = np.abs(jittered[:, 1] - plain[:, 1]).max(axis=(1, 2)) > 1e-3
    assert 0.35 < changed.mean() < 0.65


def test_keypoints_are_paired_only_when_position_scale_and_angle_agree():
    h = rotation_about(20.0, 1.0, (1024.0, 512.0))
    first = (np.array([[900.0, 400.0], [1100.0, 600.0], [1000.0, 520.0], [5.0, 5.0]]),
             np.array([3.0, 3.0, 3.0, 3.0]), np.array([40.0, 40.0, 40.0, 40.0]))
    mapped, _, _ = pairs.map_keypoints(h, *first[:1], first[1], first[2])
    second_xy = mapped.copy()
    second_xy[1] += (1.0, 0.0)          # one pixel off: still the same point
    second_xy[2] += (8.0, 0.0)          # too far
    second = (second_xy, np.array([3.2, 3.0, 3.0, 3.0]), np.array([60.0, 60.0 + 45.0, 60.0, 60.0]))
    far = np.full((pairs.HEIGHT, pairs.WIDTH), 1e4, np.float32)
    found = pairs.correspondences(h, first, second, far, far)
    # 0: agrees; 1: angle 45 degrees off; 2: too far; 3: mapped outside the frame.
    assert found.tolist() == [[0, 0]]


def test_a_keypoint_that_cannot_pair_does_not_widen_the_search(monkeypatch):
    # A size mapped near the horizon is huge; searching that far would list every
    # keypoint pair, gigabytes on real views.
    h = rotation_about(0.0, 1.0, (1024.0, 512.0))
    first = (np.array([[900.0, 400.0], [1000.0, 500.0]]), np.array([3.0, 1e5]), np.array([40.0, 40.0]))
    second = (np.array([[900.5, 400.0]]), np.array([3.0]), np.array([40.0]))
    far = np.full((pairs.HEIGHT, pairs.WIDTH), 1e4, np.float32)
    radii, matcher_type = [], pairs.cv2.BFMatcher

    class RecordingMatcher:
        def __init__(self, norm):
            self.matcher = matcher_type(norm)

        def radiusMatch(self, query, train, radius):
            radii.append(radius)
            return self.matcher.radiusMatch(query, train, radius)

    monkeypatch.setattr(pairs.cv2, "BFMatcher", RecordingMatcher)
    assert pairs.correspondences(h, first, second, far, far).tolist() == [[0, 0]]
    assert max(radii) <= pairs.POSITION_TOLERANCE_PX


@pytest.mark.parametrize("death", ["exception", "SIGKILL"])
def test_a_failed_worker_fails_the_generator(tmp_path, monkeypatch, capfd, death):
    # A worker killed for memory used to leave the run reporting success with shards missing.
    import signal

    def run_worker(*args):
        worker = args[5]
        if worker == 1:
            if death == "SIGKILL":
                os.kill(os.getpid(), signal.SIGKILL)
            raise RuntimeError("worker 1 gives up")

    monkeypatch.setattr(pairs, "photograph_paths", lambda cache: [])
    monkeypatch.setattr(pairs, "run_worker", run_worker)
    assert pairs.main([str(tmp_path), str(tmp_path / "out"), "--workers", "2"]) == 1
    assert "worker 1 failed" in capfd.readouterr().err


@pytest.mark.parametrize("flags, drawn", [
    (["--max-width", "800"], {1}),
    (["--only", "wid*"], {0, 2}),
    (["--only", "wid*", "--only", "narrow.png", "--max-width", "1100"], {1, 2}),
])
def test_view_pairs_are_drawn_only_from_the_chosen_photographs(flags, drawn, tmp_path, monkeypatch):
    # `photo` must index the whole list, so that shards drawn from a subset mix with others.
    texture = np.random.default_rng(3).uniform(0, 255, (600, 1200)).astype(np.float32)
    texture = cv2.normalize(cv2.GaussianBlur(texture, (0, 0), 2), None, 0, 255, cv2.NORM_MINMAX)
    paths = []
    for name, cols in (("wide.png", 1200), ("narrow.png", 400), ("wider.png", 1000)):
        paths.append(str(tmp_path / name))
        cv2.imwrite(paths[-1], texture[:cols // 2, :cols].astype(np.uint8))
    monkeypatch.setattr(pairs, "photograph_paths", lambda cache: paths)
    out = tmp_path / "out"
    assert pairs.main([str(tmp_path), str(out), "--shards", "1", "--pairs-per-shard", "150",
                       "--pairs-per-view-pair", "30", *flags]) == 0
    shard = np.load(pairs.shard_path(str(out), 0))
    assert len(shard["photo"]) == 150 and len(np.unique(shard["view"])) >= 5
    assert set(shard["photo"].tolist()) == drawn


def blob_image(cols, rows, centre):
    yy, xx = np.mgrid[0:rows, 0:cols].astype(np.float64)
    blob = np.exp(-((xx - centre[0]) ** 2 + (yy - centre[1]) ** 2) / (2 * 1.5 ** 2))
    return np.clip(40 + 200 * blob, 0, 255).astype(np.uint8)


def peak(image, near, reach=24):
    x0, y0 = int(round(near[0])) - reach, int(round(near[1])) - reach
    window = image[y0:y0 + 2 * reach + 1, x0:x0 + 2 * reach + 1].astype(np.float64)
    window = np.maximum(window - np.median(window) - 0.5 * (window.max() - np.median(window)), 0)
    yy, xx = np.mgrid[0:window.shape[0], 0:window.shape[1]]
    return np.array([x0 + (xx * window).sum() / window.sum(), y0 + (yy * window).sum() / window.sum()])


@pytest.mark.parametrize("raw_size, distorted", [((256, 128), False), ((256, 128), True),
                                                  ((400, 400), False), ((2048, 1024), True)])
def test_a_view_shows_a_point_where_its_label_puts_it(raw_size, distorted, monkeypatch):
    # A small raw image is upscaled to the prepared frame: its labels must carry the
    # resize's half-pixel offset, and the distortion must move points where ViewMap says.
    # Noise enlarged eight times would move the blob's centroid: only geometry is checked.
    monkeypatch.setattr(pairs, "photometric", lambda rng, image: image)
    cols, rows = raw_size
    raw_point = np.array([cols * 0.37, rows * 0.41])
    rng = np.random.default_rng(3)
    zoom = rotation_about(25.0, 1.6, (pairs.WIDTH / 2, pairs.HEIGHT / 2))
    field = None
    if distorted:
        field = np.zeros((pairs.HEIGHT, pairs.WIDTH, 2), np.float32)
        field[..., 0], field[..., 1] = 6.0, -4.0
        field[:, :, 0] *= np.linspace(0.2, 1.0, pairs.WIDTH, dtype=np.float32)[None, :]
    view, _ = pairs.make_view(blob_image(cols, rows, raw_point), zoom, rng, field)
    prepared_point = pairs.project(pairs.raw_to_prepared_matrix(cols, rows), raw_point[None])
    expected = pairs.ViewMap(zoom, field)(prepared_point)[0]
    np.testing.assert_allclose(peak(view, expected), expected, atol=0.6)


def saved_half_width_network(train, folder):
    """(network, its weights.npz, rng): seeded kernels, and moving statistics far from 0 and 1
    so that an export or a copy that drops them shows."""
    network = train.Network(seed=3, width=0.5)
    rng = np.random.default_rng(5)
    for mean, variance in zip(network.means, network.variances):
        mean.assign(rng.normal(0.0, 0.3, mean.shape).astype(np.float32))
        variance.assign(rng.uniform(0.5, 2.0, variance.shape).astype(np.float32))
    weights = folder / "weights.npz"
    np.savez(weights, **network.weights())
    return network, weights, rng


def test_exported_model_computes_the_training_networks_descriptors(tmp_path):
    tf = pytest.importorskip("tensorflow")
    from lf_tools.training import train

    network, weights, rng = saved_half_width_network(train, tmp_path)
    model = tmp_path / "model"
    exporter = HERE.parent / "demo" / "export_default_model.py"
    subprocess.run([sys.executable, str(exporter), str(model), "--weights", str(weights)], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    patches = rng.uniform(0, 255, (1024, 32, 32, 1)).astype(np.float32)
    expected = network(tf.constant(patches), training=False).numpy()
    tf1 = tf.compat.v1
    with tf.Graph().as_default() as graph, tf1.Session(graph=graph) as session:
        tf1.saved_model.loader.load(session, ["serve"], str(model))
        exported = session.run("StatefulPartitionedCall_1:0", {"local_model_inputs:0": patches})
    np.testing.assert_allclose(exported, expected, atol=1e-5)


def test_a_widened_network_computes_the_narrow_ones_descriptors(tmp_path):
    tf = pytest.importorskip("tensorflow")
    from lf_tools.training import train

    narrow, weights, rng = saved_half_width_network(train, tmp_path)
    wide = train.Network(seed=4, width=1.0)
    train.initialise_from(wide, weights)
    assert wide.kernels[0].shape[-1] == 2 * narrow.kernels[0].shape[-1]
    patches = tf.constant(rng.uniform(0, 255, (64, 32, 32, 1)).astype(np.float32))
    np.testing.assert_allclose(wide(patches, training=False).numpy(),
                               narrow(patches, training=False).numpy(), atol=1e-5)


def test_the_ceiling_is_the_largest_one_to_one_matching_within_3_px():
    evaluate = pytest.importorskip("lf_tools.training.evaluate")
    identity = np.eye(3)
    # Taking the nearest partner first (0 with a) would leave 1 without one.
    assert evaluate.ceiling([[0.0, 0.0], [-2.5, 0.0]], [[0.0, 0.5], [2.5, 0.0]], identity) == 2
    # One second keypoint serves one first keypoint only; 3.2 px is too far.
    assert evaluate.ceiling([[0.0, 0.0], [0.5, 0.0], [50.0, 0.0]], [[0.2, 0.0], [53.2, 0.0]], identity) == 1
    shift = np.array([[1.0, 0, 10.0], [0, 1.0, 0], [0, 0, 1.0]])
    assert evaluate.ceiling([[0.0, 0.0], [20.0, 0.0]], [[10.0, 0.0], [30.0, 0.0]], shift) == 2
    # Asked to, it also needs orientations agreeing within 30 degrees, across 0/360.
    turned = ([350.0, 90.0], [15.0, 130.0])
    assert evaluate.ceiling([[0.0, 0.0], [20.0, 0.0]], [[10.0, 0.0], [30.0, 0.0]], shift, angles=turned) == 1


@pytest.mark.parametrize("raw_size", [(800, 640), (512, 512)])
def test_a_rigid_pair_turns_the_prepared_image_without_shear(raw_size):
    evaluate = pytest.importorskip("lf_tools.training.evaluate")
    from lf_tools.common.prepared_image import PREPARED_HEIGHT, PREPARED_WIDTH, raw_to_prepared

    to_prepared = raw_to_prepared(*raw_size)
    seen = to_prepared @ evaluate.rigid_rotation(*raw_size, 50) @ np.linalg.inv(to_prepared)
    seen /= seen[2, 2]
    turn = math.radians(50)
    np.testing.assert_allclose(seen[:2, :2], [[math.cos(turn), math.sin(turn)],
                                              [-math.sin(turn), math.cos(turn)]], atol=1e-9)
    np.testing.assert_allclose(seen[2, :2], 0, atol=1e-12)
    centre = np.array([(PREPARED_WIDTH - 1) / 2, (PREPARED_HEIGHT - 1) / 2, 1])
    np.testing.assert_allclose(seen @ centre, centre, atol=1e-6)


def test_scene_batches_hold_runs_of_one_view_pair_and_spare_one_place():
    pytest.importorskip("tensorflow")
    from lf_tools.training import train

    view = np.repeat(np.arange(6), [300, 300, 260, 130, 20, 14]).astype(np.int32)
    rng = np.random.default_rng(1)
    xy = rng.uniform(0, 2000, (len(view), 2)).astype(np.float32)
    xy[1] = xy[0] + 1.0        # one place in one view pair
    xy[400] = xy[0] + 1.0      # the same position in another view pair: another place
    order = train.batch_order(len(view), 512, rng, view, groups=2)
    assert len(order) == len(view) // 512
    flat = np.concatenate(order)
    assert len(np.unique(flat)) == len(flat)
    for indices in order:
        assert len(indices) == 512
        for run in (indices[:128], indices[128:256]):
            assert len(np.unique(view[run])) == 1
    place = train.same_place(view, xy, np.array([0, 1, 400, 2]))
    expected = np.eye(4)
    expected[0, 1] = expected[1, 0] = 1
    np.testing.assert_array_equal(place, expected)
    # A look-alike at one place is no negative; elsewhere it is the hardest one:
    # margins 1 - 0.894 and 1 + 0.632 - 0.894, by hand.
    first = np.array([[1.0, 0.0], [0.0, 1.0]], np.float32)
    second = np.array([[1.0, 0.0], [0.6, 0.8]], np.float32)
    loss_apart, _, _ = train.hardest_negative_loss(first, second)
    loss_one_place, _, _ = train.hardest_negative_loss(first, second, same_place=np.float32(1 - np.eye(2)))
    assert float(loss_apart) == pytest.approx(0.422, abs=0.002)
    assert float(loss_one_place) == 0.0


@pytest.mark.parametrize("neighbours, differs", [(1, False), (3, True)])
def test_the_second_order_term_compares_only_nearest_neighbours(neighbours, differs):
    train = pytest.importorskip("lf_tools.training.train")
    t = 0.2
    first = np.array([[1, 0, 0, 0], [math.cos(t), math.sin(t), 0, 0],
                      [0, 0, 1, 0], [0, 0, math.cos(t), math.sin(t)]], np.float32)
    # The second view turns the second cluster by 45 degrees: distances within each
    # cluster stay, distances across the clusters change.
    turn = np.eye(4, dtype=np.float32)
    turn[[0, 0, 2, 2], [0, 2, 0, 2]] = np.float32(math.sqrt(0.5)) * np.array([1, 1, -1, 1])
    second = first.copy()
    second[2:] = first[2:] @ turn
    term = float(train.second_order_loss(first, second, neighbours=neighbours))
    assert (term > 0.3) if differs else (term < 1e-3)


def test_weights_of_other_widths_are_not_averaged(tmp_path):
    average_weights = pytest.importorskip("lf_tools.training.average_weights")
    for name, channels in (("half.npz", 16), ("full.npz", 32)):
        np.savez(tmp_path / name, **{"layer1/kernel": np.ones((3, 3, 1, channels), np.float32)})
    with pytest.raises(ValueError, match="another network"):
        average_weights.mean_kernels([str(tmp_path / "half.npz"), str(tmp_path / "full.npz")])


def test_averaging_into_a_missing_folder_is_refused_before_the_work(tmp_path, capsys):
    average_weights = pytest.importorskip("lf_tools.training.average_weights")
    for name in ("a.npz", "b.npz"):
        np.savez(tmp_path / name, **{"layer1/kernel": np.ones((3, 3, 1, 16), np.float32)})
    out = tmp_path / "missing" / "mean.npz"
    with pytest.raises(SystemExit) as refused:
        average_weights.main([str(out), str(tmp_path / "a.npz"), str(tmp_path / "b.npz"),
                              "--shard", str(tmp_path / "shard.npz")])
    assert refused.value.code == 2 and str(out.parent) in capsys.readouterr().err


def test_an_interrupted_write_leaves_the_old_weights_whole(tmp_path, monkeypatch):
    train = pytest.importorskip("lf_tools.training.train")
    out = str(tmp_path / "default.npz")
    train.save_weights(out, {"layer1/kernel": np.ones(3, np.float32)})

    def interrupted(f, **_):
        f.write(b"PK")
        raise KeyboardInterrupt
    monkeypatch.setattr(train.np, "savez", interrupted)
    with pytest.raises(KeyboardInterrupt):
        train.save_weights(out, {"layer1/kernel": np.zeros(3, np.float32)})
    monkeypatch.undo()
    assert os.listdir(tmp_path) == ["default.npz"]
    np.testing.assert_array_equal(np.load(out)["layer1/kernel"], np.ones(3, np.float32))


@pytest.mark.parametrize("recorded, flags, conflicts", [
    ({"schedule": "steps", "steps": 1500, "sos_weight": 1.0}, {"sos_weight": 0.0}, {"sos_weight": 1.0}),
    ({"schedule": "steps", "steps": 1500, "second_negative": 0.5}, {}, {"second_negative": 0.5}),
    ({"steps": 1500}, {}, {"schedule": "time"}),
    # A run that recorded no loss weights is resumed as asked.
    ({"schedule": "steps", "steps": 1500}, {"second_negative": 0.5, "sos_weight": 1.0}, {}),
])
def test_a_run_resumes_only_with_the_loss_it_was_trained_with(recorded, flags, conflicts):
    train = pytest.importorskip("lf_tools.training.train")
    args = argparse.Namespace(**{"schedule": "steps", "steps": 1500, "second_negative": 0.0,
                                 "sos_weight": 0.0, **flags})
    assert train.recipe_conflicts(recorded, args) == conflicts


def test_a_shard_link_to_nowhere_is_passed_over(tmp_path):
    train = pytest.importorskip("lf_tools.training.train")
    (tmp_path / "shard-0003.npz").write_bytes(b"")
    (tmp_path / "shard-0001.npz").symlink_to(tmp_path / "gone.npz")
    assert train.choose_shard(str(tmp_path), {}) == str(tmp_path / "shard-0003.npz")


@pytest.mark.parametrize("chosen, expected", [(None, "shard-0002.npz"), ("synthetic.npz", "synthetic.npz")])
def test_the_recalibration_shard_is_the_chosen_one_or_the_least_recently_used(tmp_path, chosen, expected):
    train = pytest.importorskip("lf_tools.training.train")
    for index in (1, 2, 3):
        (tmp_path / f"shard-{index:04d}.npz").write_bytes(b"")
    usage = {"1": 40, "2": 10, "3": 30}
    named = str(tmp_path / chosen) if chosen else None
    assert train.recalibration_shard(str(tmp_path), usage, named) == str(tmp_path / expected)


def write_sequence(folder, sizes, homographies):
    """A sequence folder: images 1..6 of the given sizes (PNG), H_1_k as text."""
    import cv2

    folder.mkdir()
    rng = np.random.default_rng(1)
    for number, (width, height) in enumerate(sizes, start=1):
        cv2.imwrite(str(folder / f"{number}.png"), rng.integers(0, 255, (height, width), np.uint8))
    for number, homography in enumerate(homographies, start=2):
        np.savetxt(folder / f"H_1_{number}", homography)


def test_a_sequence_of_one_view_at_other_sizes_is_the_identity_in_the_prepared_images(tmp_path):
    # Image k is image 1 resized: its raw homography is a scale, and both prepared
    # images are the same 2048x1024 picture, so the prepared homography is the identity.
    evaluate = pytest.importorskip("lf_tools.training.evaluate")
    sizes = [(768, 1024), (384, 512), (1536, 2048), (768, 1024), (96, 128), (2048, 1024)]
    scales = [(w / 768, h / 1024) for w, h in sizes[1:]]
    # Pixel centres: x_k + 0.5 = s (x_1 + 0.5).
    homographies = [np.array([[sx, 0, (sx - 1) / 2], [0, sy, (sy - 1) / 2], [0, 0, 1]]) for sx, sy in scales]
    write_sequence(tmp_path / "v_test", sizes, homographies)
    files, captures, pairs = {}, [], []
    evaluate.add_sequence(str(tmp_path / "v_test"), files, captures, pairs)
    assert [c[0] for c in captures] == [f"v_test-{k}" for k in range(1, 7)]
    assert sorted(files) == sorted(f"v_test-{k}.png" for k in range(1, 7))
    assert [(p[0], p[1], p[2]) for p in pairs] == [(f"v_test 1 -> {k} sequence", "v_test-1", f"v_test-{k}")
                                                  for k in range(2, 7)]
    for *_, prepared in pairs:
        np.testing.assert_allclose(prepared / prepared[2, 2], np.eye(3), atol=1e-9)


@pytest.mark.parametrize("with_sequence", [False, True])
def test_a_sequence_group_joins_the_summary_and_the_comparison_with_tfeat(with_sequence):
    evaluate = pytest.importorskip("lf_tools.training.evaluate")
    quality = {"sift": 0.2, "raw": 0.1, "untrained": 0.15, "trained": 0.5, "tfeat": 0.3}
    pair_names = ["graf1 -> graf3", "aero1 synthetic"] + (["v_x 1 -> 2 sequence"] if with_sequence else [])
    rows = []
    for pair in pair_names:
        for descriptor in evaluate.DESCRIPTORS:
            value = quality[descriptor]
            if pair.endswith("sequence") and descriptor == "tfeat":
                value = 0.9  # TFeat ahead on the sequence only
            rows.append({"pair": pair, "descriptor": descriptor, "mutual": 1000, "ceiling": 1000,
                         "oriented_ceiling": 900, "mma": {t: value for t in ("1", "3", "5")},
                         "correct": {"3": int(1000 * value)}})
    text = evaluate.summary(rows)
    header = next(line for line in text.splitlines() if line.startswith("| descriptor | graf MMA@3"))
    assert ("sequence mean MMA@3" in header) == with_sequence
    assert ("ahead of TFeat on every figure of the summary: met" in text) == (not with_sequence)
    if with_sequence:
        assert "(not on: sequence mean MMA@3, sequence weakest correct@3 / SIFT's, " in text
