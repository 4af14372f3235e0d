// The memory this process may use, for refusing work that cannot fit
// before any of it is done.
#pragma once

namespace minque {

// The address-space limit where one is set, else the machine's physical
// memory, in bytes.
double usableMemory();

}  // namespace minque
