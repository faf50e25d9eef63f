"""Code shared by the Python tools (import lf_tools.common.<module>).

  model_contract    what the program expects of a descriptor network
  program           the program's constants and its image preparation, SIFT
                    and patch sampling written in Python (the mirror)
  capture_list      reading the capture list, and finding its images, as the
                    program does
  folders           replace_folder: build beside, then swap in
  workspace_writer  writing a workspace
  results           reading and writing a capture's .feat/.desc pair
  prepared_image    a capture's image as the program prepares it, and the map
                    from raw-image pixels to prepared pixels
  matching          mutual nearest neighbours, homographies, MMA, RANSAC fits
  drawing           keypoints and matches as pictures

Modules here import nothing heavy at load time (no TensorFlow; OpenCV only
inside the functions that need it), so every interpreter the tools run under
can use them.
"""
