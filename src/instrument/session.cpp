// Instrument session: construction, connect and disconnect, board ID, revision, the board-type
// to channel-layout rule, the date stamp and the number-list splitter.
#include <cctype>
#include <climits>
#include <cstdio>
#include <utility>

#include "instrument/date_stamp.h"
#include "instrument/zel_api_class.h"
#include "transport/link_capture.h"

namespace {

static_assert(zel::board::kChannelIndexes == ZEL_API::kSelects, "a layout maps every select");

// Whether a board type was read or written, so that the layout exists; records "not connected" if not.
bool KnowsBoardType(ZEL_API& unit) {
    if (!unit.Layout().empty()) return true;
    unit.RecordError(ZEL_ERR_NOT_CONNECTED);
    return false;
}

constexpr const char* kRevisionText = "$Revision: 6926 $";

// atoi's reading of a token: leading white space, optional sign, digits up to the first other
// character; 0 without digits. Values beyond 32 bits saturate.
std::int32_t TokenToInt(const std::string& token) {
    std::size_t i = 0;
    while (i < token.size() && std::isspace(static_cast<unsigned char>(token[i]))) ++i;
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
    long long v = 0;
    for (; i < token.size() && std::isdigit(static_cast<unsigned char>(token[i])); ++i) {
        v = v * 10 + (token[i] - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    return static_cast<std::int32_t>(v);
}

}  // namespace

namespace zel {
std::string FormatDateStamp(const std::tm& local, unsigned milliseconds) {
    char text[32] = {};
    std::strftime(text, sizeof text, "Date-%Y-%m-%d-Time-%H-%M-%S", &local);
    return std::string(text) + "-" + std::to_string(milliseconds);
}
}  // namespace zel

ZEL_API::ZEL_API() = default;

ZEL_API::~ZEL_API() { StopCapture(); }

std::uint8_t ZEL_API::StartCapture(const char* path) {
    if (capture_ != nullptr && capture_->Writes(path)) return 1;
    StopCapture();
    ClearLastError();  // what the stopped capture lost is no failure of this start
    zel_error reason = ZEL_OK;
    auto capture = zel::transport::LinkCapture::Start(path, reason);
    if (capture == nullptr) {
        RecordError(reason);
        return 0;
    }
    capture_ = std::move(capture);
    link_.SetTap(capture_.get());
    return 1;
}

std::uint8_t ZEL_API::StopCapture() {
    if (capture_ == nullptr) return 1;
    link_.SetTap(nullptr);
    const zel_error reason = capture_->Finish();
    capture_.reset();
    if (reason == ZEL_OK) return 1;
    RecordError(reason);
    return 0;
}

double ZEL_API::GetAPIRev() {
    double value = 0;
    for (const char* p = kRevisionText; *p != '\0'; ++p)
        if (*p >= '0' && *p <= '9') value = value * 10 + (*p - '0');
    return value;
}

std::uint8_t ZEL_API::Connect(std::string ip) { return ConnectWith(std::move(ip), EepromItems::Settled); }

std::uint8_t ZEL_API::QuickConnect(std::string ip) { return ConnectWith(std::move(ip), EepromItems::Blocks); }

std::uint8_t ZEL_API::ConnectWith(std::string ip, EepromItems items) {
    ip_ = std::move(ip);
    if (!link_.OpenLink(ip_.c_str(), kUnitPort)) return 0;
    // ReadBoardID's 0 is also a board ID: its exchange failed only if it left a reason.
    link_.ClearLastError();
    ReadBoardID();
    if (LastError() != ZEL_OK) return 0;
    // The link knows the length of the unit's replies for sure only once a second register reply has
    // shown where it starts; before that a block read would first wait for the unit to fall quiet.
    // The byte-wise scan's own register reads settle it; the block scan reads the board ID again.
    if (items == EepromItems::Blocks) {
        ReadBoardID();
        if (LastError() != ZEL_OK) return 0;
    }
    current_slot_ = 0;
    return ScanSlots(items);
}

std::uint8_t ZEL_API::Disconnect() { return link_.CloseLink() ? 1 : 0; }

std::uint32_t ZEL_API::ReadBoardID() {
    std::uint16_t word = 0;
    bool ok = ReadRegister(0, zel::reg::kBoardID, word);
    board_id_ = word;
    return ok ? word : 0;
}

void ZEL_API::RebuildLayout() {
    layout_.resize(kSelects, 0);
    const zel::board::BoardFacts* row = zel::board::FactsOf(board_type_);
    if (row == nullptr) return;
    port_count_ = row->ports;
    channel_count_ = row->channels;
    layout_.assign(row->map, row->map + kSelects);
}

void ZEL_API::AdoptBoardType(std::int32_t type) {
    board_type_ = type;
    RebuildLayout();
}

std::uint8_t ZEL_API::GetChannelCount(std::uint8_t* count) {
    *count = 0;
    if (!KnowsBoardType(*this)) return 0;
    if (zel::board::IsKnownBoardType(board_type_)) *count = static_cast<std::uint8_t>(channel_count_);
    return 1;
}

std::uint8_t ZEL_API::GetBoardType(std::uint16_t* type) {
    *type = 0;
    if (!KnowsBoardType(*this)) return 0;
    *type = static_cast<std::uint16_t>(board_type_);
    return 1;
}

std::uint8_t ZEL_API::GetSwitchPorts(std::uint8_t* two_by_two, std::uint8_t* mems, std::uint8_t* lbmm) {
    *two_by_two = *mems = *lbmm = 0;
    if (!KnowsBoardType(*this)) return 0;
    if (const zel::board::BoardFacts* row = zel::board::FactsOf(board_type_)) {
        *two_by_two = row->two_by_two_ports;
        *mems = row->mems_ports;
        *lbmm = row->lbmm_ports;
    }
    return 1;
}

std::optional<std::uint16_t> ZEL_API::SelectOf(std::uint16_t channel) {
    if (channel >= layout_.size()) {
        // Before the first connect there is no layout at all: say so rather than blame the channel.
        RecordError(layout_.empty() && !link_.IsOpen() ? ZEL_ERR_NOT_CONNECTED : ZEL_ERR_NO_SUCH_CHANNEL);
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(layout_[channel]);
}

std::string ZEL_API::MakeDateStamp() {
    system_time_ = zel::platform::UtcSystemTime();
    clock_reading_ = zel::platform::ClockSeconds();
    if (!zel::platform::LocalTime(clock_reading_, broken_down_)) broken_down_ = std::tm{};
    std::string stamp = zel::FormatDateStamp(broken_down_, system_time_.milliseconds);
    std::snprintf(date_text_, sizeof date_text_, "%s", stamp.substr(0, stamp.rfind('-')).c_str());
    return stamp;
}

std::vector<std::int32_t> ZEL_API::SplitNumbers(std::string text, char delimiter) {
    std::vector<std::int32_t> numbers;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(delimiter, start);
        if (end == std::string::npos) end = text.size();
        numbers.push_back(TokenToInt(text.substr(start, end - start)));
        start = end + 1;
    }
    return numbers;
}
