#include "serial/rxqueue.h"

#include <algorithm>
#include <cstring>

namespace serial {

int TRxFilter::Apply(char* data, int n, const TRxFilterConfig& c) {
    int out = 0;
    auto put = [&](char b, bool replaced) {
        if (c.discardNull && b == 0 && !replaced)
            return;
        data[out++] = b;
    };
    if (!c.marks) {
        carry_ = 0;
        if (!c.discardNull)
            return n;
        for (int i = 0; i < n; ++i)
            put(data[i], false);
        return out;
    }
    for (int i = 0; i < n; ++i) {
        const char b = data[i];
        if (carry_ == 0) {
            if (b == '\377')
                carry_ = 1;
            else
                put(b, false);
        } else if (carry_ == 1) {
            if (b == '\377') {
                carry_ = 0;
                put(b, false);
            } else if (b == 0) {
                carry_ = 2;
            } else {
                // Not a mark after all (the kernel never sends this): keep both.
                carry_ = 0;
                put('\377', false);
                put(b, false);
            }
        } else {
            carry_ = 0;
            if (c.replace)
                put(static_cast<char>(c.replaceChar), true);
            else
                put(b, false);
        }
    }
    return out;
}

void TRxQueue::SetCapacity(int capacity) {
    std::lock_guard lock(mutex_);
    capacity_ = std::max(capacity, 0);
}

int TRxQueue::Capacity() const {
    std::lock_guard lock(mutex_);
    return capacity_;
}

TRxQueue::Appended TRxQueue::Append(const char* data, int n) {
    std::lock_guard lock(mutex_);
    Appended a;
    a.before = static_cast<int>(size_);
    const int room = std::max(0, capacity_ - static_cast<int>(size_));
    a.taken = std::min(n, room);
    if (a.taken > 0) {
        const std::size_t need = size_ + static_cast<std::size_t>(a.taken);
        if (need > ring_.size()) {
            // Grown once up to the capacity; unrolled so that head is 0.
            std::vector<char> bigger(std::max<std::size_t>(need, static_cast<std::size_t>(capacity_)));
            for (std::size_t i = 0; i < size_; ++i)
                bigger[i] = ring_[(head_ + i) % ring_.size()];
            ring_.swap(bigger);
            head_ = 0;
        }
        const std::size_t cap = ring_.size();
        std::size_t tail = (head_ + size_) % cap;
        std::size_t left = static_cast<std::size_t>(a.taken);
        const std::size_t first = std::min(left, cap - tail);
        std::memcpy(ring_.data() + tail, data, first);
        std::memcpy(ring_.data(), data + first, left - first);
        size_ += left;
    }
    a.after = static_cast<int>(size_);
    if (a.taken > 0 && readerWaiting_) {
        a.readerWaiting = true;
        readerWaiting_ = false;
    }
    return a;
}

int TRxQueue::Take(char* out, int n, bool arm) {
    std::lock_guard lock(mutex_);
    const std::size_t want = static_cast<std::size_t>(std::max(n, 0));
    const std::size_t got = std::min(want, size_);
    if (got > 0) {
        const std::size_t cap = ring_.size();
        const std::size_t first = std::min(got, cap - head_);
        std::memcpy(out, ring_.data() + head_, first);
        std::memcpy(out + first, ring_.data(), got - first);
        head_ = (head_ + got) % cap;
        size_ -= got;
        if (size_ == 0)
            head_ = 0;
    }
    if (arm && got < want)
        readerWaiting_ = true;
    return static_cast<int>(got);
}

int TRxQueue::Size() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(size_);
}

int TRxQueue::Free() const {
    std::lock_guard lock(mutex_);
    return std::max(0, capacity_ - static_cast<int>(size_));
}

void TRxQueue::Clear() {
    std::lock_guard lock(mutex_);
    size_ = 0;
    head_ = 0;
}

} // namespace serial
