#include "platform/pytorch/host_alias.h"

#include <c10/core/CPUAllocator.h>
#include <c10/core/TensorImpl.h>

namespace hostxpu {
namespace {

void release_storage_reference(void* context) { delete static_cast<c10::Storage*>(context); }

}  // namespace

c10::Storage host_alias_storage(const c10::Storage& xpu_storage) {
  void* data = const_cast<void*>(xpu_storage.data());
  c10::DataPtr ptr(data, new c10::Storage(xpu_storage), &release_storage_reference,
                   c10::Device(c10::DeviceType::CPU));
  return c10::Storage(c10::make_intrusive<c10::StorageImpl>(
      c10::StorageImpl::use_byte_size_t(), xpu_storage.nbytes(), std::move(ptr),
      c10::GetCPUAllocator(), xpu_storage.resizable()));
}

at::Tensor host_tensor_on(const c10::Storage& storage, const at::Tensor& like) {
  c10::DispatchKeySet keys(storage.device_type() == c10::DeviceType::CPU ? c10::DispatchKey::CPU
                                                                          : c10::DispatchKey::XPU);
  at::Tensor t = at::detail::make_tensor<c10::TensorImpl>(c10::Storage(storage), keys, like.dtype());
  c10::TensorImpl* impl = t.unsafeGetTensorImpl();
  impl->set_sizes_and_strides(like.sizes(), like.strides(), like.storage_offset());
  impl->_set_conj(like.is_conj());
  impl->_set_neg(like.is_neg());
  return t;
}

at::Tensor host_view(const at::Tensor& tensor) {
  if (!tensor.defined() || !tensor.is_xpu()) return tensor;
  return host_tensor_on(host_alias_storage(tensor.storage()), tensor);
}

}  // namespace hostxpu
