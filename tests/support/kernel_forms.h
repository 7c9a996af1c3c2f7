#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "comb/comb.h"
#include "compose/compose.h"
#include "dispatch/cpu_features.h"
#include "dispatch/row_kernels.h"
#include "formats/convert.h"
#include "formats/planar.h"
#include "include/quillet/quillet.h"
#include "lowpass/lowpass.h"
#include "motion/motion.h"
#include "rows/row_job.h"

namespace quillet::test {

// One kernel form and its entry points in every subsystem, null where the form has none of its
// own. The list of these (kernelForms) is the one place the tests and benchmarks learn which
// forms exist: a new form joins every cross-form test and benchmark with one entry there.
struct KernelForm {
  const char* name;      // "Scalar", "Mmx", "Sse", "Sse2", "Sse2Aligned", "Avx2"
  const char* set;       // --cpu name of the kernel set the form is; null when it is no set
  QuilletCpu engineCpu;  // the engine's name for that set; QUILLET_CPU_AUTO when it is no set
  CpuFeatures level;     // the feature bit the form is built for; 0 for scalar
  bool aligned;          // needs 16-byte-aligned rows and strides of whole 8-pixel blocks
  bool usesMmx;          // runs on the MMX registers (its stages clear the state before returning)
  int32_t block;         // pixels per step of its difference and motion rows
  const LowpassKernelTable* lowpass = nullptr;
  RowStage lowpassStage = nullptr;
  DiffRowFn diffRow = nullptr;
  RowStage diffStage = nullptr;
  MotionRowFn motionRow = nullptr;
  MotionRowLimitedFn motionRowLimited = nullptr;
  RowStage motionStage = nullptr;
  const BlendRowTable* blendRows = nullptr;
  RowStage blendStage = nullptr;
  const ConvertKernels* convert = nullptr;
  const PlanarKernels* planar = nullptr;  // the engine's planar rows
  const CombKernels* comb = nullptr;      // the engine's comb detector rows

  // The features that install this form's set: its level and every level below it.
  CpuFeatures setMask() const { return level == 0 ? 0 : (level | (level - 1)); }
};

// Every form this build has, scalar first.
const std::vector<KernelForm>& kernelForms();

// True when the processor and the operating system run the form.
bool formRuns(const KernelForm& form);

// The forms that have their own `entry` (e.g. &KernelForm::diffRow); the scalar form only when
// `withScalar`.
template <class Entry>
std::vector<KernelForm> formsWith(Entry KernelForm::*entry, bool withScalar = false) {
  std::vector<KernelForm> forms;
  for (const KernelForm& form : kernelForms()) {
    if (form.*entry == nullptr || (form.level == 0 && !withScalar)) continue;
    forms.push_back(form);
  }
  return forms;
}

// The forms that are kernel sets, scalar included.
std::vector<KernelForm> kernelSets();

inline void PrintTo(const KernelForm& form, std::ostream* os) { *os << form.name; }

// Test-name generator for suites parameterised by form.
struct FormName {
  template <class ParamInfo>
  const char* operator()(const ParamInfo& info) const {
    return info.param.name;
  }
};

}  // namespace quillet::test
