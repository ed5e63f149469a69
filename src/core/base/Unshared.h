#pragma once

// A copy of a container that shares no storage with the original.
//
// Qt's containers decide whether to copy before a write by a relaxed read of their reference count.
// When a list kept under a lock by one thread is handed out as an implicitly shared copy and that
// copy is later dropped on another thread, the owner's next write reuses the storage with no order
// the memory model (or ThreadSanitizer) can see between the other thread's last read and the write.
// Lists that cross threads are therefore handed out unshared: the copy owns its storage from the
// start, and the owner's storage is never touched by another thread.
template <typename Container> Container unsharedCopy(const Container& original)
{
    return Container(original.cbegin(), original.cend());
}
