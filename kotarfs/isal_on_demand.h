// ISA-L, which kotarfs loads when it first inflates (isal_on_demand.cpp).
#pragma once

namespace kotarfs {

// Whether loading ISA-L was tried and failed. The reason has then been
// told, and a kgz read as damaged for that reason alone.
bool isalUnavailable();

}  // namespace kotarfs
