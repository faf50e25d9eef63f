"""run_demo.py around a stand-in program that prints the real one's lines;
the result files are written beforehand with planted matches."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from lf_tools.common.results import write_results
from lf_tools.common.workspace_writer import write_workspace

cv2 = pytest.importorskip("cv2")
RUN_DEMO = pathlib.Path(__file__).resolve().parent / "run_demo.py"


def png(width, height):
    ok, data = cv2.imencode(".png", np.full((height, width), 90, np.uint8))
    return data.tobytes()


def stand_in_program(folder, lines, exit_code):
    path = folder / "program"
    path.write_text(f"#!{sys.executable}\nimport sys\nprint({lines!r}, end='')\nsys.exit({exit_code})\n")
    path.chmod(0o755)
    return str(path)


@pytest.fixture
def workspace(tmp_path):
    folder = tmp_path / "ws"
    write_workspace(str(folder), [("demo-0002", "leuvenA.jpg", ""), ("demo-0003", "leuvenB.jpg", "")],
                    lambda name: png(2048, 1024))
    matches = folder / "caches" / "matches"
    matches.mkdir()
    rng = np.random.default_rng(2)
    xy = rng.uniform(100, 900, (40, 2))
    moved = xy + [30.0, -12.0]
    moved[25:] += rng.uniform(80, 300, (15, 2))  # 15 of 40 stray from the shift
    descriptors = rng.normal(size=(40, 128)).astype(np.float32)
    write_results(str(matches), "demo-0002", [(x, y, 5, 0) for x, y in xy], descriptors)
    write_results(str(matches), "demo-0003", [(x, y, 5, 0) for x, y in moved], descriptors)
    return folder


def run_demo(tmp_path, workspace, lines, exit_code=0):
    program = stand_in_program(tmp_path, lines, exit_code)
    drawing = tmp_path / "matches.png"
    run = subprocess.run([sys.executable, str(RUN_DEMO), program, "model", str(workspace),
                          "--drawing", str(drawing)], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    return run, drawing


PROGRAM_LINES = ("uuid : demo-0002\nkeypoints: 40\nuuid : demo-0003\nkeypoints: 40\n"
                 "------------Feature Predicion Success------------\n")


def test_passes_the_program_lines_through_then_tables_and_scores_a_pair(tmp_path, workspace):
    run, drawing = run_demo(tmp_path, workspace, PROGRAM_LINES)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert run.stdout.startswith(PROGRAM_LINES)
    assert [line.split()[:2] for line in lines if line.startswith("demo-")] == \
        [["demo-0002", "40"], ["demo-0003", "40"]]
    assert lines[-1].startswith("Matching demo-0002 with demo-0003 (leuvenA.jpg, leuvenB.jpg): "
                                "40 matches (mutual nearest neighbours, ratio test 0.8 both ways), "
                                "25 inliers of a homography fit (RANSAC, 3 px; 62.5%). Drawing: ")
    # The picture, under a caption band of two lines.
    assert cv2.imread(str(drawing)).shape == (50 + 256, 1024, 3)


def test_a_failed_run_keeps_its_exit_code_and_scores_nothing(tmp_path, workspace):
    run, drawing = run_demo(tmp_path, workspace, "uuid : demo-0002\n", exit_code=1)
    assert run.returncode == 1
    assert "Matching" not in run.stdout and not drawing.exists()
