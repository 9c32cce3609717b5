#include "TlsHeap.h"

#include <malloc.h>

namespace Tls {

void keepBuffersOnHeap()
{
    // Only blocks larger than this are mapped on their own, and the heap
    // keeps this much free at its top before it gives memory back.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

} // namespace Tls
