#include "gemm/int4_gemm.h"

#include <ATen/ATen.h>
#include <c10/util/Half.h>

#include <array>
#include <mutex>

#include <oneapi/dnnl/dnnl.hpp>

#include "dnnl_utils/matmul_plan.h"
#include "gemm/transpose_scale_kernel.h"
#include "linear/dequantize_kernels.h"
#include "platform/device.h"
#include "platform/memory.h"

namespace {

using dt = dnnl::memory::data_type;
using tag = dnnl::memory::format_tag;

constexpr int64_t kGroup = 64;        // weights per scale
constexpr int64_t kBlockBytes = 34;   // 32 code bytes and one fp16 scale per 64 weights

// A device allocation that only grows; never freed before process exit. One per device.
struct growing_buffer {
  void* ptr = nullptr;
  size_t bytes = 0;

  void* reserve(int device, size_t need) {
    if (bytes < need) {
      hostxpu::release(ptr);
      ptr = hostxpu::allocate(device, need);
      bytes = need;
    }
    return ptr;
  }
};

std::array<growing_buffer, hostxpu::kMaxDevices> scale_buffers;
// The f16 weights of the expanded road (see dnnl_s4_gemm).
std::array<growing_buffer, hostxpu::kMaxDevices> expanded_weights;

// The weight zero point: one device byte holding 8, made once per device.
struct syclpool {
  uint8_t* cell;
  explicit syclpool(hostxpu::queue& q) : cell(static_cast<uint8_t*>(hostxpu::allocate(q.get_device().index(), 1))) {
    *cell = 8;  // the copy completes here: platform queues finish work inside submit
  }
};

uint8_t* zero_point_cell(hostxpu::queue& q) {
  static std::array<std::once_flag, hostxpu::kMaxDevices> made;
  static std::array<uint8_t*, hostxpu::kMaxDevices> cells;
  const int device = q.get_device().index();
  std::call_once(made[device], [&] { cells[device] = syclpool(q).cell; });
  return cells[device];
}

// oneDNN 3.7 builds the u4 matmul with grouped scales over N-major codes (brg_matmul), but on
// AVX-512 it ran 30 times slower than a dense f16 matmul of the same shape, far behind
// expanding the weights first; the int4 kernels optimised for this layout arrive in 3.10.
bool runs_int4_natively(const dnnl::matmul::primitive_desc& pd) {
  return DNNL_VERSION_MAJOR * 100 + DNNL_VERSION_MINOR >= 310 && pd && !dnnl_utils::is_reference_impl(pd);
}

}  // namespace

size_t s4_gemm_scale_buffer_bytes(int device) {
  hostxpu::check_device_index(device);
  return scale_buffers[device].bytes;
}

void dnnl_s4_gemm(hostxpu::queue& q, int64_t M, int64_t N, int64_t K, uint8_t* input, uint8_t* weight,
                  uint8_t* output, uint8_t* scales) {
  uint8_t* zero_point = zero_point_cell(q);
  dnnl::engine engine(dnnl::engine::kind::cpu, 0);
  dnnl::stream stream(engine);

  const dnnl::memory::desc src({M, K}, dt::f16, tag::ab);
  const dnnl::memory::desc dst({M, N}, dt::f16, tag::ab);
  const dnnl::memory::desc codes({K, N}, dt::u4, tag::ba);
  // Group-major buffer: the scale of output n and K-group g at g * N + n.
  const dnnl::memory::desc scale_md({K / kGroup, N}, dt::f16, tag::ab);
  const dnnl::memory::desc zero_point_md({1}, dt::u8, tag::a);
  dnnl::primitive_attr attr;
  attr.set_scales(DNNL_ARG_WEIGHTS, /*mask=*/3, {kGroup, 1}, dt::f16);
  attr.set_zero_points(DNNL_ARG_WEIGHTS, /*mask=*/0, {}, dt::u8);
  attr.set_fpmath_mode(dnnl::fpmath_mode::f16, /*apply_to_int=*/true);

  const dnnl::matmul::primitive_desc native(engine, src, codes, dst, attr, /*allow_empty=*/true);
  hostxpu::device_access scope;
  if (runs_int4_natively(native)) {
    dnnl::matmul(native).execute(stream, {{DNNL_ARG_SRC, dnnl::memory(src, engine, input)},
                                          {DNNL_ARG_WEIGHTS, dnnl::memory(codes, engine, weight)},
                                          {DNNL_ARG_ATTR_SCALES | DNNL_ARG_WEIGHTS, dnnl::memory(scale_md, engine, scales)},
                                          {DNNL_ARG_ATTR_ZERO_POINTS | DNNL_ARG_WEIGHTS,
                                           dnnl::memory(zero_point_md, engine, zero_point)},
                                          {DNNL_ARG_DST, dnnl::memory(dst, engine, output)}});
    return;
  }
  // The expanded road: the library's q4_0_woq decoder writes each weight as the f16 product of
  // (code - 8) and its scale, which is the f16 weight the f16-decompressing matmul above
  // multiplies; then oneDNN multiplies dense f16 weights. (Decoding to fp32 and rounding by a
  // oneDNN reorder gives the same bits, but on an AMD Zen 5 that reorder took 0.2 s for a
  // 4096 x 4096 weight, the decoder about a millisecond.)
  // ONEDNN_VERBOSE shows an f16:f16 matmul (on CPUs without f16 arithmetic, reorders widening
  // the source and rounding the destination around an f32:f16 one).
  const int device = q.get_device().index();
  auto* dense = static_cast<c10::Half*>(expanded_weights[device].reserve(device, N * K * sizeof(c10::Half)));
  vorn::kernels::qlinear_xpu_dequantize_kernel_q4_0_woq_1x2<c10::Half, 16>(
      weight, dense, K, N, c10::Device(c10::DeviceType::XPU, static_cast<c10::DeviceIndex>(device)));
  const dnnl::memory::desc weights({K, N}, dt::f16, tag::ba);
  const dnnl::memory dense_memory(weights, engine, dense);
  dnnl_utils::execute_plan(dnnl_utils::plan_matmul(engine, src, weights, {}, dst, {}), engine, stream,
                           {{DNNL_ARG_SRC, dnnl::memory(src, engine, input)},
                            {DNNL_ARG_WEIGHTS, dense_memory},
                            {DNNL_ARG_DST, dnnl::memory(dst, engine, output)}},
                           device);
}

void linear_xpu_forward_onednn_s4_gemm(void* input, void* weight, void* output, size_t M, size_t K, size_t N,
                                       hostxpu::queue& q) {
  const size_t need = N * K / kGroup * 2;
  const int device = q.get_device().index();
  auto* scales = static_cast<uint16_t*>(scale_buffers[device].reserve(device, need));
  const auto* block_scales = reinterpret_cast<const uint16_t*>(static_cast<uint8_t*>(weight) + N * K / 2);
  transpose_scale_kernel(q, block_scales, scales, K / kGroup, N);
  dnnl_s4_gemm(q, static_cast<int64_t>(M), static_cast<int64_t>(N), static_cast<int64_t>(K),
               static_cast<uint8_t*>(input), static_cast<uint8_t*>(weight), static_cast<uint8_t*>(output),
               reinterpret_cast<uint8_t*>(scales));
}

at::Tensor run_linear_woq(at::Tensor input, at::Tensor weight, GpuType gpu) {
  (void)gpu;
  TORCH_CHECK(input.is_xpu() && weight.is_xpu(), "run_linear_woq: input and weight must be XPU tensors");
  TORCH_CHECK(input.device() == weight.device(), "run_linear_woq: input (", input.device(), ") and weight (",
              weight.device(), ") must be on one device");
  TORCH_CHECK(input.scalar_type() == at::kHalf, "run_linear_woq: input must be fp16, got ", input.scalar_type());
  TORCH_CHECK(input.dim() == 2 && input.is_contiguous(), "run_linear_woq: input must be a contiguous [M, K] tensor, got sizes ",
              input.sizes());
  TORCH_CHECK(weight.scalar_type() == at::kByte && weight.dim() == 1 && weight.is_contiguous(),
              "run_linear_woq: weight must be a contiguous one-dimensional uint8 tensor");
  const uint64_t M = input.size(0), K = input.size(1), weight_bytes = weight.size(0);
  // The scale reorder runs one work-group of K/64 work-items per output column.
  TORCH_CHECK(K > 0 && K % kGroup == 0 && K / kGroup <= hostxpu::kMaxWorkGroupSize,
              "run_linear_woq: K must be a positive multiple of 64 of at most ", kGroup * hostxpu::kMaxWorkGroupSize,
              ", got ", K);
  const uint64_t N = (weight_bytes / kBlockBytes * kGroup) / K;
  TORCH_CHECK(N * K < (uint64_t{1} << 31), "run_linear_woq: weight of ", N, " x ", K, " weights exceeds 2^31");
  at::Tensor output = at::empty({static_cast<int64_t>(M), static_cast<int64_t>(N)}, input.options().device(weight.device()));
  if (M == 0 || N == 0) return output;
  hostxpu::queue& q = hostxpu::getCurrentXPUStream(weight.device().index()).queue();
  linear_xpu_forward_onednn_s4_gemm(input.data_ptr(), weight.data_ptr(), output.data_ptr(), M, K, N, q);
  return output;
}
