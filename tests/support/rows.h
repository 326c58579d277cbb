// The installer's component table, as the build reads it from the
// installer's source: row names, file names, which rows are servers.
#pragma once

#include "component_table.h"

namespace orbel::test {

using table::kRows;
using table::kServerRows;
using Row = table::Row;

}  // namespace orbel::test
