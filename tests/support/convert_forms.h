#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "formats/convert.h"

namespace quillet::test {

// The forms of the sample-scale conversion, for tests and benchmarks parameterised by form.
// `cpu` names the feature the form needs in __builtin_cpu_supports terms, or is empty for the
// scalar form.
struct ConvertForm {
  const char* name;
  const ConvertKernels* kernels;
  const char* cpu;
};

inline void PrintTo(const ConvertForm& form, std::ostream* os) { *os << form.name; }

inline std::vector<ConvertForm> convertForms(bool withScalar) {
  std::vector<ConvertForm> forms;
  if (withScalar) forms.push_back({"Scalar", &ConvertKernelsScalar, ""});
#if QUILLET_ENABLE_SIMD
  forms.push_back({"Sse2", &ConvertKernelsSse2, "sse2"});
#if QUILLET_HAVE_AVX2
  forms.push_back({"Avx2", &ConvertKernelsAvx2, "avx2"});
#endif
#endif
  return forms;
}

inline bool formAvailable(const ConvertForm& form) {
  const std::string cpu = form.cpu;
#if defined(__i386__) || defined(__x86_64__)
  if (cpu == "sse2") return __builtin_cpu_supports("sse2");
  if (cpu == "avx2") return __builtin_cpu_supports("avx2");
#endif
  return cpu.empty();
}

}  // namespace quillet::test
