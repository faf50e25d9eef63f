#pragma once
// Owning handles for the TensorFlow C API's objects. The deleters are stateless
// and never throw, so a handle can be dropped on any path, early returns included.

#include <memory>

#include <tensorflow/c/c_api.h>

namespace lf {
namespace detail {

struct TFStatusDeleter {
  void operator()(TF_Status* status) const noexcept { TF_DeleteStatus(status); }
};

struct TFGraphDeleter {
  void operator()(TF_Graph* graph) const noexcept { TF_DeleteGraph(graph); }
};

struct TFSessionOptionsDeleter {
  void operator()(TF_SessionOptions* options) const noexcept { TF_DeleteSessionOptions(options); }
};

struct TFDeviceListDeleter {
  void operator()(TF_DeviceList* list) const noexcept { TF_DeleteDeviceList(list); }
};

struct TFTensorDeleter {
  void operator()(TF_Tensor* tensor) const noexcept { TF_DeleteTensor(tensor); }
};

// A session must be closed before it is deleted; both report into a status of
// their own so that the owner's status is left as it was.
struct TFSessionDeleter {
  void operator()(TF_Session* session) const noexcept {
    TF_Status* status = TF_NewStatus();
    TF_CloseSession(session, status);
    TF_DeleteSession(session, status);
    TF_DeleteStatus(status);
  }
};
}  // namespace detail

using TFStatusPtr = std::unique_ptr<TF_Status, detail::TFStatusDeleter>;
using TFGraphPtr = std::unique_ptr<TF_Graph, detail::TFGraphDeleter>;
using TFSessionOptionsPtr = std::unique_ptr<TF_SessionOptions, detail::TFSessionOptionsDeleter>;
using TFSessionPtr = std::unique_ptr<TF_Session, detail::TFSessionDeleter>;
using TFTensorPtr = std::unique_ptr<TF_Tensor, detail::TFTensorDeleter>;
using TFDeviceListPtr = std::unique_ptr<TF_DeviceList, detail::TFDeviceListDeleter>;

}  // namespace lf
