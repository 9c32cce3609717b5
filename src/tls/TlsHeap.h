#pragma once

namespace Tls {

// Qt's TLS socket encrypts and decrypts a batch of records at a time, into
// buffers of a few hundred KiB made for the batch. glibc hands out such sizes
// by mmap and gives them back at once, so each batch would fault in fresh
// pages: a transfer inside TLS would run at a fraction of the speed of plain
// frames. Called first thing in main(), it keeps such buffers on the heap.
void keepBuffersOnHeap();

} // namespace Tls
