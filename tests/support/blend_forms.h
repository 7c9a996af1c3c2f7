#pragma once

#include <string>
#include <vector>

#include "compose/compose.h"
#include "rows/row_job.h"

namespace quillet::test {

// The forms of the blend stage, for tests parameterised by form. `cpu` names the feature the
// form needs in __builtin_cpu_supports terms, or is empty for the scalar form.
struct BlendForm {
  const char* name;
  RowStage stage;
  const char* cpu;
};

inline std::vector<BlendForm> blendForms(bool withScalar) {
  std::vector<BlendForm> forms;
  if (withScalar) forms.push_back({"Scalar", BlendStageScalar, ""});
#if QUILLET_ENABLE_SIMD
  forms.push_back({"Sse", BlendStageSse, "sse"});
  forms.push_back({"Sse2", BlendStageSse2, "sse2"});
#endif
#if QUILLET_HAVE_AVX2
  forms.push_back({"Avx2", BlendStageAvx2, "avx2"});
#endif
  return forms;
}

inline bool formAvailable(const BlendForm& form) {
  const std::string cpu = form.cpu;
#if defined(__i386__) || defined(__x86_64__)
  if (cpu == "sse") return __builtin_cpu_supports("sse");
  if (cpu == "sse2") return __builtin_cpu_supports("sse2");
#endif
#if defined(__x86_64__)
  if (cpu == "avx2") return __builtin_cpu_supports("avx2");
#endif
  return cpu.empty();
}

}  // namespace quillet::test
