#pragma once

#include <gtest/gtest.h>

#include "tests/support/kernel_forms.h"

namespace quillet::test {

// The fixture of suites parameterised by kernel form: a form the processor cannot run is
// skipped. Instantiate with ValuesIn(formsWith(...)) and FormName().
class FormTest : public ::testing::TestWithParam<KernelForm> {
 protected:
  void SetUp() override {
    if (!formRuns(GetParam()))
      GTEST_SKIP() << "the processor lacks the " << GetParam().name << " form";
  }
  const KernelForm& form() const { return GetParam(); }
};

}  // namespace quillet::test
