#include "inference/descriptor_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <ostream>
#include <sstream>

const char* const DescriptorModel::input_operation_name = "local_model_inputs";
const char* const DescriptorModel::output_operation_name = "StatefulPartitionedCall_1";
const char* const DescriptorModel::serve_tag = "serve";
const std::array<unsigned char, 4> DescriptorModel::session_config{0x32, 0x02, 0x20, 0x01};

namespace {

AlignedFloatBuffer make_input_buffer() {
  constexpr std::size_t floats = DescriptorModel::input_byte_length / sizeof(float);
  auto* data = static_cast<float*>(
      std::aligned_alloc(DescriptorModel::input_buffer_alignment, DescriptorModel::input_byte_length));
  if (data == nullptr) throw std::bad_alloc();
  std::fill(data, data + floats, 0.5f);
  return AlignedFloatBuffer(data);
}

// The buffer stays with the model: tensors made over it must not free it.
void keep_buffer(void*, std::size_t, void*) {}

std::string describe_type(TF_DataType type) {
  switch (type) {
    case TF_FLOAT: return "float";
    case TF_DOUBLE: return "double";
    case TF_INT32: return "int32";
    case TF_INT64: return "int64";
    case TF_HALF: return "half";
    default: return "type " + std::to_string(static_cast<int>(type));
  }
}

std::string describe_tensor(const TF_Tensor* tensor) {
  if (tensor == nullptr) return "missing";
  std::ostringstream text;
  text << describe_type(TF_TensorType(tensor)) << " [";
  for (int d = 0; d < TF_NumDims(tensor); ++d) text << (d > 0 ? ", " : "") << TF_Dim(tensor, d);
  text << "]";
  return text.str();
}

bool is_descriptor_batch(const TF_Tensor* tensor) {
  return tensor != nullptr && TF_TensorType(tensor) == TF_FLOAT && TF_NumDims(tensor) == 2 &&
         TF_Dim(tensor, 0) == DescriptorModel::batch_size &&
         TF_Dim(tensor, 1) == DescriptorModel::descriptor_length &&
         TF_TensorByteSize(tensor) >= DescriptorModel::batch_size * DescriptorModel::row_bytes;
}

void copy_patches_into_batch(const PatchList& patches, std::size_t first, std::size_t count,
                             float* batch) {
  for (std::size_t j = 0; j < count; ++j) {
    std::memcpy(batch + j * DescriptorModel::patch_floats, patches[first + j].ptr<float>(),
                DescriptorModel::patch_bytes);
  }
}

}  // namespace

bool DescriptorModel::load(const std::string& model_path, std::ostream& err) {
  options.reset(TF_NewSessionOptions());
  graph.reset(TF_NewGraph());
  status.reset(TF_NewStatus());
  TF_SetConfig(options.get(), session_config.data(), session_config.size(), status.get());

  const char* tags[] = {serve_tag};
  session.reset(TF_LoadSessionFromSavedModel(options.get(), nullptr, model_path.c_str(), tags, 1,
                                             graph.get(), nullptr, status.get()));
  if (TF_GetCode(status.get()) != TF_OK) {
    session.reset();
    err << "Error: loading saved_model failed." << std::endl;
    return false;
  }

  input_buffer = make_input_buffer();
  input = TF_Output{TF_GraphOperationByName(graph.get(), input_operation_name), 0};
  output = TF_Output{TF_GraphOperationByName(graph.get(), output_operation_name), 0};
  // A run must never be handed a missing endpoint.
  for (const char* missing : {input.oper == nullptr ? input_operation_name : nullptr,
                              output.oper == nullptr ? output_operation_name : nullptr}) {
    if (missing != nullptr) {
      err << "Error: loading saved_model failed." << std::endl;
      err << "Error: the saved model has no operation \"" << missing << "\"" << std::endl;
      return false;
    }
  }
  return true;
}

int batch_count(std::size_t patch_count) {
  return static_cast<int>(std::ceil(static_cast<double>(patch_count) * 0.0009765625));
}

bool compute_descriptors(DescriptorModel& model, const PatchList& patches,
                         const DescriptorSink& sink, std::ostream& out, std::ostream& err) {
  const int batches = batch_count(patches.size());
  for (int i = 0; i < batches; ++i) {
    const int first = i * DescriptorModel::batch_size;
    const int count = i + 1 < batches ? DescriptorModel::batch_size
                                      : static_cast<int>(patches.size()) - first;
    copy_patches_into_batch(patches, first, count, model.input_buffer.get());

    TFTensorPtr input_tensor(TF_NewTensor(TF_FLOAT, model.input_dims.data(),
                                          static_cast<int>(model.input_dims.size()),
                                          model.input_buffer.get(), DescriptorModel::input_byte_length,
                                          keep_buffer, nullptr));
    TF_Tensor* input_values[] = {input_tensor.get()};
    TF_Tensor* output_values[] = {nullptr};
    TF_SessionRun(model.session.get(), nullptr, &model.input, input_values, 1, &model.output,
                  output_values, 1, nullptr, 0, nullptr, model.status.get());
    TFTensorPtr output_tensor(output_values[0]);
    if (TF_GetCode(model.status.get()) != TF_OK) {
      out << "TF_Error:" << static_cast<int>(TF_GetCode(model.status.get())) << "\n";
      return false;
    }
    if (!is_descriptor_batch(output_tensor.get())) {
      err << "Error: the model's output \"" << DescriptorModel::output_operation_name << "\" is "
          << describe_tensor(output_tensor.get()) << ", expected float [" << DescriptorModel::batch_size
          << ", " << DescriptorModel::descriptor_length << "]" << std::endl;
      return false;
    }
    sink(static_cast<const float*>(TF_TensorData(output_tensor.get())), count);
    input_tensor.reset();
    output_tensor.reset();
  }
  return true;
}
