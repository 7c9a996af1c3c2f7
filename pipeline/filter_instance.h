#pragma once

#include "rows/row_job.h"

namespace quillet {

// What one filter instance keeps for its stages. Stages reach it only through the RowJob its
// driver hands them.
struct FilterInstance {
  RowCounters counters;
};

}  // namespace quillet
