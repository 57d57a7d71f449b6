#include "log.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zelsim {

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, again);
        out.assign(buf.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

void WriteLogLine(const std::string& tag, const std::string& text) {
    static const auto start = std::chrono::steady_clock::now();
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string line = Format("[%9.3f] %s: %s\n", t, tag.c_str(), text.c_str());
    std::fwrite(line.data(), 1, line.size(), stderr);
}

void FrameLog::Record(const std::uint8_t (&frame)[kFrameSize]) {
    ++received_;
    if (capacity_ == 0) return;
    Frame f;
    std::copy(std::begin(frame), std::end(frame), f.begin());
    if (ring_.size() < capacity_) {
        ring_.push_back(f);
    } else {
        ring_[head_] = f;
        head_ = (head_ + 1) % capacity_;
    }
}

std::vector<Frame> FrameLog::Frames() const {
    std::vector<Frame> out;
    out.reserve(ring_.size());
    out.insert(out.end(), ring_.begin() + static_cast<std::ptrdiff_t>(head_), ring_.end());
    out.insert(out.end(), ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(head_));
    return out;
}

void FrameLog::Clear() {
    ring_.clear();
    head_ = 0;
}

void FrameLog::SetCapacity(std::size_t frames) {
    std::vector<Frame> keep = Frames();
    if (keep.size() > frames) keep.erase(keep.begin(), keep.end() - static_cast<std::ptrdiff_t>(frames));
    ring_ = std::move(keep);
    head_ = 0;
    capacity_ = frames;
}

}  // namespace zelsim
