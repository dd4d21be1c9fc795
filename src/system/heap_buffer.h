// A zeroed block from the process heap, owned like a handle. The program
// is built without the C++ runtime's allocation and exception support, so
// variable-size buffers come from here.
#pragma once

#include <windows.h>

template <typename T>
class HeapBuffer {
public:
    explicit HeapBuffer(size_t count)
        : data_(count != 0 && count <= kMaxCount
                    ? static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, count * sizeof(T)))
                    : nullptr),
          count_(data_ != nullptr ? count : 0)
    {
    }
    ~HeapBuffer()
    {
        if (data_ != nullptr)
            HeapFree(GetProcessHeap(), 0, data_);
    }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;

    // Null when the block could not be had.
    T* Get() const { return data_; }
    size_t Count() const { return count_; }

private:
    static const size_t kMaxCount = static_cast<size_t>(-1) / sizeof(T);
    T* data_;
    size_t count_;
};
