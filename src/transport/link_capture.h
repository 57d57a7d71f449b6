// Capturing a link's frames to a pcapng file (include/zel_capture/pcapng.h gives the format).
//
// The call path only copies: each frame, connect and close is queued in memory with its time
// stamp, and a writer thread of the file encodes the queue and writes it, a batch at a time. So
// writing never blocks or fails a unit call. Links that capture to the same path share one file
// (one section, one interface, a TCP conversation per connection); the file is opened by the
// first of them and closed, after everything queued is written, when the last one stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/hw_layer.h"
#include "zel_api.h"

namespace zel::transport {

class CaptureFile;

class LinkCapture final : public LinkTap {
public:
    // Joins the capture of `path`, opening (and truncating) the file when no link of this process
    // writes it yet. Null when the file cannot be opened for writing (`reason` ZEL_ERR_CAPTURE).
    static std::unique_ptr<LinkCapture> Start(const std::string& path, zel_error& reason);
    ~LinkCapture() override;
    LinkCapture(const LinkCapture&) = delete;
    LinkCapture& operator=(const LinkCapture&) = delete;

    // Leaves the file once everything this link queued is written (the file closed when this was
    // the last link writing it). ZEL_OK, or ZEL_ERR_CAPTURE when some of the file could not be
    // written (a write error, or frames dropped because the writer fell far behind). Detach the
    // link (HwLayer::SetTap(nullptr)) first, so that its open connection is closed in the file.
    zel_error Finish();

    // Whether `path` names the file this capture writes (as Start would find it).
    bool Writes(const std::string& path) const;

    void Opened(std::uint32_t local_address, std::uint16_t local_port, std::uint32_t peer_address,
                std::uint16_t peer_port) override;
    void Frame(int direction, const std::uint8_t* bytes, std::size_t length) override;
    void Closed() override;

private:
    LinkCapture(std::shared_ptr<CaptureFile> file, std::string key);

    std::shared_ptr<CaptureFile> file_;
    std::string key_;  // the file's absolute, normal path, as taken at the start
    std::uint32_t conversation_ = 0;
    bool open_ = false;
};

}  // namespace zel::transport
