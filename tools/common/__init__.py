"""Code shared by the Python tools: the model contract, folder swapping, the
workspace writer, the result files and descriptor matching.

Scripts in tools/<audience>/ import it with
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
    from common import ...
Modules here import nothing heavy at load time (no TensorFlow; OpenCV only
inside the functions that need it), so every interpreter the tools run under
can use them.
"""
