#pragma once
// The model contract: what a descriptor network takes and gives, which every
// layer along the data path relies on, stated once. The Python tools mirror
// it in tools/common/model_contract.py.
//
// The network is a TensorFlow SavedModel with a meta graph tagged "serve":
//  * its operation "local_model_inputs" takes float [batch_size, patch_side,
//    patch_side, 1]: batch_size single-channel patches, row-major, one after
//    another;
//  * output 0 of its operation "StatefulPartitionedCall_1" gives float
//    [batch_size, descriptor_length], row b describing patch b;
//  * row b depends only on patch b, never on the other slots of the batch. The
//    pipeline relies on this: every run is a full batch, and the slots that
//    carry no patch of the current capture hold whatever it left there
//    (earlier patches, or the first patches of the next captures), so a
//    capture's rows must not change with what shares its batch.

#include <cstddef>

namespace lf {

constexpr int batch_size = 1024;
constexpr int patch_side = 32;
constexpr std::size_t patch_floats = patch_side * patch_side;
constexpr int descriptor_length = 128;

// Patch buffers handed to the network are aligned to this many bytes:
// TensorFlow copies an input that is less aligned.
constexpr std::size_t network_input_alignment = 64;

constexpr const char* serve_tag = "serve";
constexpr const char* input_operation_name = "local_model_inputs";
constexpr const char* output_operation_name = "StatefulPartitionedCall_1";

}  // namespace lf
