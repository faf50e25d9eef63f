"""Code shared by the Python tools.

  model_contract    what the program expects of a descriptor network
  folders           replace_folder: build beside, then swap in
  workspace_writer  writing a workspace and reading its capture list
  results           reading and writing a capture's .feat/.desc pair
  prepared_image    a capture's image as the program prepares it
  matching          mutual nearest neighbours, homographies, MMA, RANSAC fits
  drawing           keypoints and matches as pictures

Scripts in tools/<audience>/ import it with
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
    from common import ...
Modules here import nothing heavy at load time (no TensorFlow; OpenCV only
inside the functions that need it), so every interpreter the tools run under
can use them.
"""
