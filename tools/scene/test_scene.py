import types

import numpy as np

from lf_tools.scene.check_scene import rotation_errors, similarity


def rotation(axis, degrees):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    K = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    a = np.radians(degrees)
    return np.eye(3) + np.sin(a) * K + (1 - np.cos(a)) * K @ K


def fake_model(poses):
    """What rotation_errors reads of a pycolmap Reconstruction: images with name and pose."""
    images = {}
    for number, (name, R, t) in enumerate(poses):
        pose = types.SimpleNamespace(rotation=types.SimpleNamespace(matrix=lambda R=R: R), translation=t)
        images[number] = types.SimpleNamespace(name=name, has_pose=True, cam_from_world=lambda p=pose: p)
    return types.SimpleNamespace(images=images)


def test_a_model_in_another_frame_and_scale_aligns_to_zero_error_but_a_turned_camera_shows():
    rng = np.random.default_rng(4)
    truth = {"views": {}}
    poses = []
    # The model's world is the true one turned by 40 degrees, scaled by 0.3 and moved.
    s, R_w, t_w = 0.3, rotation([1, 2, 3], 40), np.array([5.0, -2.0, 1.0])
    for k in range(5):
        R = rotation(rng.normal(size=3), rng.uniform(0, 90))
        centre = rng.normal(size=3) * 3
        truth["views"][f"v{k}"] = {"image": f"raw/v{k}.png", "R": R.tolist(), "t": (-R @ centre).tolist()}
        model_R = R @ R_w.T
        if k == 2:
            model_R = rotation([0, 1, 0], 2.5) @ model_R  # one camera turned 2.5 degrees
        model_centre = s * R_w @ centre + t_w
        poses.append((f"raw/v{k}.png", model_R, -model_R @ model_centre))
    errors, centre_error = rotation_errors(fake_model(poses), truth)
    assert centre_error < 1e-9
    assert abs(errors.pop("v2") - 2.5) < 1e-6
    assert max(errors.values()) < 1e-4  # arccos near 1 keeps about 1e-6 degrees


def test_similarity_recovers_scale_rotation_and_translation():
    rng = np.random.default_rng(1)
    points = rng.normal(size=(6, 3))
    R = rotation([0.3, -1, 0.2], 75)
    s, R_found, t = similarity(points, 2.5 * points @ R.T + [1, 2, 3])
    assert np.isclose(s, 2.5) and np.allclose(R_found, R) and np.allclose(t, [1, 2, 3])
