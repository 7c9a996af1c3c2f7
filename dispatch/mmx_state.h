#pragma once

namespace quillet {

// Executes EMMS so the x87 unit is usable again after MMX stages ran on this thread. A no-op on
// builds without vector forms.
void clearMmxState();

}  // namespace quillet
