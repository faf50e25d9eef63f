"""What the program expects of a descriptor network (README, "The model").

A SavedModel with a meta graph tagged SERVE_TAG, a float32 input operation
INPUT_NAME of shape [BATCH, PATCH, PATCH, 1] (row-major patches, one channel)
and an operation OUTPUT_NAME whose output 0 is float32 [BATCH,
DESCRIPTOR_LENGTH], row b describing patch b.

The program states it in contract/model_contract.h; test_header_mirror.py
checks that the two agree.
"""

SERVE_TAG = "serve"
INPUT_NAME = "local_model_inputs"
OUTPUT_NAME = "StatefulPartitionedCall_1"
BATCH = 1024
PATCH = 32
DESCRIPTOR_LENGTH = 128

# Tensor names as a session's feed and fetch take them.
INPUT_TENSOR = INPUT_NAME + ":0"
OUTPUT_TENSOR = OUTPUT_NAME + ":0"
