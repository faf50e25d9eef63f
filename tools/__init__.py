"""The project's Python tools, installed as the package lf_tools.

  common     shared code: the capture list, result files, the program's
             image preparation, SIFT and patch sampling in Python, matching
  user       features.py, match.py, draw.py, export.py, reconstruct.py
  scene      a rendered scene with known cameras (tests, README figures)
  demo       the default model and the demo workspace
  benchmark  the program against a plain Python version of its pipeline
  training   training pairs, training and evaluation of the network
  cluster    Slurm job arrays and their checks
  fixtures   test models for the program's tests
"""
