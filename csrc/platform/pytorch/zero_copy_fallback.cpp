// Every ATen operator without an XPU kernel runs on PyTorch's CPU kernels over CPU aliases of
// the xpu tensors' memory: no copies, so in-place operators write into the xpu tensors and
// views keep sharing the xpu storage.

#include "platform/pytorch/zero_copy_fallback.h"

#include <ATen/ATen.h>
#include <ATen/EmptyTensor.h>
#include <c10/core/DeviceGuard.h>
#include <torch/library.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/device.h"
#include "platform/memory.h"
#include "platform/pytorch/backend.h"
#include "platform/pytorch/host_alias.h"

namespace hostxpu {
namespace {

// Namespaces whose operators have their own XPU kernels: reaching the fallback means the
// kernel does not exist, and running a CPU kernel instead would hide that.
const char* const kOwnNamespaces[] = {"lumora::", "vorn_host::"};

void release_storage_reference(void* context) { delete static_cast<c10::Storage*>(context); }

class CallTranslation {
 public:
  // Replaces xpu tensors, storages and devices among the arguments with host ones.
  c10::IValue to_host(const c10::IValue& v) {
    if (v.isTensor()) return to_host(v.toTensor());
    if (v.isTensorList()) {
      c10::List<at::Tensor> out;
      for (const at::Tensor& t : v.toTensorList().vec()) out.push_back(to_host(t));
      return out;
    }
    if (v.isList()) {
      c10::impl::GenericList out(v.toList().elementType());
      for (const c10::IValue& e : v.toList()) out.push_back(to_host(e));
      return out;
    }
    if (v.isStorage() && v.toStorage().device_type() == c10::DeviceType::XPU) {
      remember_device(v.toStorage().device());
      return alias_of(v.toStorage());
    }
    if (v.isDevice() && v.toDevice().is_xpu()) {
      remember_device(v.toDevice());
      return c10::IValue(c10::Device(c10::DeviceType::CPU));
    }
    return v;
  }

  // Moves results back: aliases onto their xpu storage, fresh host results onto the device.
  c10::IValue to_device(const c10::IValue& v) {
    if (v.isTensor()) return to_device(v.toTensor());
    if (v.isTensorList()) {
      c10::List<at::Tensor> out;
      for (const at::Tensor& t : v.toTensorList().vec()) out.push_back(to_device(t));
      return out;
    }
    if (v.isList()) {
      c10::impl::GenericList out(v.toList().elementType());
      for (const c10::IValue& e : v.toList()) out.push_back(to_device(e));
      return out;
    }
    if (v.isStorage()) return c10::IValue(device_storage_of(v.toStorage()));
    return v;
  }

  // Brings a mutated argument's metadata (and storage, if the kernel replaced it) back.
  void sync_back(at::Tensor& xpu, const at::Tensor& host) {
    if (!xpu.defined() || !xpu.is_xpu()) return;
    c10::TensorImpl* impl = xpu.unsafeGetTensorImpl();
    c10::Storage storage = device_storage_of(host.storage());
    if (!storage.is_alias_of(xpu.storage())) impl->set_storage_keep_dtype(storage);
    impl->set_sizes_and_strides(host.sizes(), host.strides(), host.storage_offset());
  }

  bool saw_xpu() const { return device_.has_value(); }

 private:
  at::Tensor to_host(const at::Tensor& t) {
    if (!t.defined()) return t;
    if (!t.is_xpu()) {
      if (t.has_storage()) host_inputs_.insert(t.storage().unsafeGetStorageImpl());
      return t;
    }
    TORCH_CHECK(t.has_storage(), "the host XPU platform supports only strided xpu tensors");
    remember_device(t.device());
    return host_tensor_on(alias_of(t.storage()), t);
  }

  at::Tensor to_device(const at::Tensor& t) {
    if (!t.defined() || t.device().type() != c10::DeviceType::CPU || !t.has_storage()) return t;
    // Views of host inputs stay host tensors.
    if (host_inputs_.count(t.storage().unsafeGetStorageImpl())) return t;
    return host_tensor_on(device_storage_of(t.storage()), t);
  }

  c10::Storage alias_of(const c10::Storage& xpu) {
    auto found = alias_.find(xpu.unsafeGetStorageImpl());
    if (found != alias_.end()) return found->second;
    c10::Storage alias = host_alias_storage(xpu);
    alias_.emplace(xpu.unsafeGetStorageImpl(), alias);
    from_xpu_.emplace(alias.unsafeGetStorageImpl(), Origin{xpu, xpu.data()});
    return alias;
  }

  // The xpu storage behind a host storage: the aliased one (re-pointed if the kernel
  // reallocated the alias), or a new one adopting a fresh host buffer.
  c10::Storage device_storage_of(const c10::Storage& host) {
    if (host.device_type() != c10::DeviceType::CPU) return host;
    auto found = from_xpu_.find(host.unsafeGetStorageImpl());
    if (found != from_xpu_.end()) {
      Origin& origin = found->second;
      if (host.data() != origin.data) {
        c10::StorageImpl* alias = host.unsafeGetStorageImpl();
        c10::DataPtr moved = alias->set_data_ptr(c10::DataPtr(nullptr, c10::Device(c10::DeviceType::CPU)));
        origin.xpu.unsafeGetStorageImpl()->set_data_ptr_noswap(
            adopt_host_buffer(std::move(moved), host.nbytes(), origin.xpu.device()));
        origin.xpu.unsafeGetStorageImpl()->set_nbytes(host.nbytes());
        origin.data = origin.xpu.data();
        alias->set_data_ptr_noswap(c10::DataPtr(const_cast<void*>(origin.data),
                                                c10::Device(c10::DeviceType::CPU)));
      }
      return origin.xpu;
    }
    // A fresh host result becomes device memory without a copy; the xpu storage keeps the host
    // storage (possibly shared by several results) alive.
    c10::Device device = device_.value_or(c10::Device(c10::DeviceType::XPU, current_device()));
    c10::DataPtr owner(const_cast<void*>(host.data()), new c10::Storage(host), &release_storage_reference,
                       c10::Device(c10::DeviceType::CPU));
    c10::Storage xpu(c10::make_intrusive<c10::StorageImpl>(
        c10::StorageImpl::use_byte_size_t(), host.nbytes(),
        adopt_host_buffer(std::move(owner), host.nbytes(), device), xpu_allocator(), host.resizable()));
    from_xpu_.emplace(host.unsafeGetStorageImpl(), Origin{xpu, xpu.data()});
    return xpu;
  }

  void remember_device(c10::Device d) {
    if (!device_.has_value()) {
      device_ = c10::Device(c10::DeviceType::XPU, d.has_index() ? d.index() : current_device());
    }
  }

  struct Origin {
    c10::Storage xpu;
    const void* data;  // what the alias pointed at when it was made
  };
  std::unordered_map<c10::StorageImpl*, c10::Storage> alias_;
  std::unordered_map<c10::StorageImpl*, Origin> from_xpu_;
  std::unordered_set<c10::StorageImpl*> host_inputs_;
  std::optional<c10::Device> device_;
};

}  // namespace

void zero_copy_fallback(const c10::OperatorHandle& op, torch::jit::Stack* stack) {
  device_access scope;
  const c10::FunctionSchema& schema = op.schema();
  for (const char* ns : kOwnNamespaces) {
    TORCH_CHECK(schema.name().rfind(ns, 0) != 0, "Could not run '", schema.name(),
                "' with arguments from the 'XPU' backend: the operator has no XPU kernel");
  }
  const size_t num_args = schema.arguments().size();
  const size_t first = stack->size() - num_args;
  std::vector<c10::IValue> original(stack->begin() + first, stack->end());

  CallTranslation translation;
  for (size_t i = 0; i < num_args; ++i) (*stack)[first + i] = translation.to_host(original[i]);
  std::vector<c10::IValue> host_args(stack->begin() + first, stack->end());

  op.callBoxed(stack);

  for (size_t i = 0; i < num_args; ++i) {
    const c10::AliasInfo* alias = schema.arguments()[i].alias_info();
    if (alias != nullptr && alias->isWrite() && original[i].isTensor()) {
      at::Tensor xpu = original[i].toTensor();
      translation.sync_back(xpu, host_args[i].toTensor());
    }
  }
  const size_t num_returns = schema.returns().size();
  const size_t first_return = stack->size() - num_returns;
  for (size_t r = 0; r < num_returns; ++r) {
    c10::IValue& result = (*stack)[first_return + r];
    const c10::AliasInfo* alias = schema.returns()[r].alias_info();
    std::optional<size_t> written;
    if (alias != nullptr && alias->isWrite()) {
      for (size_t i = 0; i < num_args && !written; ++i) {
        const c10::AliasInfo* arg_alias = schema.arguments()[i].alias_info();
        if (arg_alias != nullptr && arg_alias->beforeSets() == alias->beforeSets()) written = i;
      }
    }
    result = written ? original[*written] : translation.to_device(result);
  }
}

namespace {

c10::Device target_device(std::optional<c10::Device> device) {
  int index = device.has_value() && device->has_index() ? device->index() : current_device();
  return c10::Device(c10::DeviceType::XPU, static_cast<c10::DeviceIndex>(index));
}

at::Tensor empty_memory_format(c10::IntArrayRef size, std::optional<c10::ScalarType> dtype,
                               std::optional<c10::Layout> layout, std::optional<c10::Device> device,
                               std::optional<bool> pin_memory,
                               std::optional<c10::MemoryFormat> memory_format) {
  TORCH_CHECK(!layout.has_value() || *layout == c10::kStrided,
              "the host XPU platform supports only strided xpu tensors");
  c10::DeviceGuard guard(target_device(device));
  return at::detail::empty_generic(size, xpu_allocator(), c10::DispatchKeySet(c10::DispatchKey::XPU),
                                   c10::dtype_or_default(dtype), memory_format);
}

at::Tensor empty_strided(c10::IntArrayRef size, c10::IntArrayRef stride,
                         std::optional<c10::ScalarType> dtype, std::optional<c10::Layout> layout,
                         std::optional<c10::Device> device, std::optional<bool> pin_memory) {
  TORCH_CHECK(!layout.has_value() || *layout == c10::kStrided,
              "the host XPU platform supports only strided xpu tensors");
  c10::DeviceGuard guard(target_device(device));
  return at::detail::empty_strided_generic(size, stride, xpu_allocator(),
                                           c10::DispatchKeySet(c10::DispatchKey::XPU),
                                           c10::dtype_or_default(dtype));
}

// Copies between any pair of cpu and xpu tensors are host copies.
at::Tensor& copy_(at::Tensor& self, const at::Tensor& src, bool non_blocking) {
  device_access scope;
  host_view(self).copy_(host_view(src), non_blocking);
  return self;
}

struct Registration {
  std::unique_ptr<torch::Library> aten, fallback;
  Registration() {
    if (!host_backend_enabled()) return;
    aten = std::make_unique<torch::Library>(torch::Library::IMPL, "aten", c10::DispatchKey::XPU,
                                            __FILE__, __LINE__);
    aten->impl("empty.memory_format", TORCH_FN(empty_memory_format));
    aten->impl("empty_strided", TORCH_FN(empty_strided));
    aten->impl("copy_", TORCH_FN(copy_));
    // Their composite kernels ask for a backend implementation that only the fallback has.
    for (const char* name : {"convolution", "convolution_backward"}) {
      aten->impl(name, torch::CppFunction::makeFromBoxedFunction<&zero_copy_fallback>());
    }
    fallback = std::make_unique<torch::Library>(torch::Library::IMPL, "_", c10::DispatchKey::XPU,
                                                __FILE__, __LINE__);
    fallback->fallback(torch::CppFunction::makeFromBoxedFunction<&zero_copy_fallback>());
  }
} registration;

}  // namespace
}  // namespace hostxpu
