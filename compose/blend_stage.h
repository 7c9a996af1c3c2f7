#pragma once

#include "compose/compose.h"
#include "rows/row_job.h"

namespace quillet {

// The row loop every blend stage shares (compiled once, without vector flags). Picks rows[mode]
// by job.selector (a mode outside 0..2 returns at once, claiming nothing), then claims runs of band
// rows from job.counters->rows, also on one thread, and calls the row function with the frame
// rows at job.stride pixels and the map rows at job.motion->pitch values past row bandTop /
// map row 0. In mode 0 the next slot is not read and the row function gets a null next row.
void runBlendRows(const RowJob& job, const void* extra, const BlendRowTable& rows);

}  // namespace quillet
