#include "zelsim/factory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "mix.h"

namespace zelsim {
namespace {

constexpr double kScale = 1e12;
constexpr double kMaxCode = 4095.0;

// Quantize to what a scaled record holds, so the stored bytes decode to exactly this value.
double Quantize(double x) { return static_cast<double>(std::llround(x * kScale)) / kScale; }

double RoundTo(double x, double step) { return std::round(x / step) * step; }

// Unit-to-unit spread in [-1, 1], fixed per serial number, select, wavelength and item.
double Spread(const UnitConfig& cfg, unsigned select, std::uint16_t wavelength, unsigned item) {
    std::uint64_t h = cfg.serial ^ (std::uint64_t{select} << 40) ^ (std::uint64_t{wavelength} << 16) ^ item;
    return UnitInterval(Mix64(h)) * 2.0 - 1.0;
}

// First code whose attenuation reaches `db`, or the nearer of it and the code below.
std::uint16_t CodeFor(const double (&c)[4], bool quartic, double db) {
    int lo = 0, hi = 4095;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (EvalVoaCurve(c, quartic, mid) < db) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo > 0 && db - EvalVoaCurve(c, quartic, lo - 1) < EvalVoaCurve(c, quartic, lo) - db) --lo;
    return static_cast<std::uint16_t>(lo);
}

void PutBits(std::vector<std::uint8_t>& image, std::uint32_t address, std::uint64_t bits) {
    for (unsigned i = 0; i < 8; ++i) {
        image[(address + i) % image.size()] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
}

}  // namespace

std::vector<std::uint16_t> SlotWavelengths(const UnitConfig& cfg) {
    std::vector<std::uint16_t> out{BoardFactsOf(cfg.board_type).default_nm};
    for (std::uint16_t wl : cfg.extra_wavelengths) {
        if (out.size() == kSlots) break;
        if (wl != 0xFFFF) out.push_back(wl);  // 0xFFFF is the free-slot marker, never a wavelength
    }
    return out;
}

double EvalVoaCurve(const double (&c)[4], bool quartic, double x) {
    if (quartic) return (((c[0] * x + c[1]) * x + c[2]) * x + c[3]) * x;
    return ((c[0] * x + c[1]) * x + c[2]) * x + c[3];
}

ChannelCalibration FactoryCalibration(const UnitConfig& cfg, unsigned slot, unsigned select) {
    ChannelCalibration cal;
    const std::vector<std::uint16_t> wls = SlotWavelengths(cfg);
    const std::uint16_t wl = wls[std::min<std::size_t>(slot, wls.size() - 1)];
    // Attenuators and taps are a little wavelength dependent: +-4 % per 240 nm around 1310 nm.
    const double w = std::clamp((static_cast<double>(wl) - 1310.0) / 240.0, -2.0, 2.0);

    // Full-scale attenuation about 35 dB, never below 32 dB; the curve is a sum of
    // positive powers of code/4095, so it rises monotonically from 0 dB at code 0.
    const double full = 35.0 * (1.0 + 0.03 * w) * (1.0 + 0.02 * Spread(cfg, select, wl, 1));
    const double p1 = 0.55 + 0.05 * Spread(cfg, select, wl, 2);
    const double p3 = 0.15 + 0.03 * Spread(cfg, select, wl, 3);
    const bool quartic = BoardFactsOf(cfg.board_type).quartic;
    if (quartic) {
        const double p4 = 0.05 + 0.02 * Spread(cfg, select, wl, 4);
        const double p2 = 1.0 - p1 - p3 - p4;
        cal.voa[0] = full * p4 / std::pow(kMaxCode, 4);
        cal.voa[1] = full * p3 / std::pow(kMaxCode, 3);
        cal.voa[2] = full * p2 / std::pow(kMaxCode, 2);
        cal.voa[3] = full * p1 / kMaxCode;
    } else {
        const double p2 = 1.0 - p1 - p3;
        cal.voa[0] = full * p3 / std::pow(kMaxCode, 3);
        cal.voa[1] = full * p2 / std::pow(kMaxCode, 2);
        cal.voa[2] = full * p1 / kMaxCode;
        cal.voa[3] = 0.0;
    }
    // 0.025 uW per count: 1000 uW at 0 dB reads about 40000.
    cal.tap_uw_per_count = Quantize(0.025 * (1.0 + 0.04 * w) * (1.0 + 0.03 * Spread(cfg, select, wl, 5)));
    cal.voa_insertion_loss_db = Quantize(RoundTo(0.6 + 0.05 * w + 0.15 * Spread(cfg, select, wl, 6), 0.001));
    cal.switch_insertion_loss_db = Quantize(RoundTo(0.9 + 0.2 * Spread(cfg, select, wl, 7), 0.001));
    for (unsigned j = 0; j < kDefinedValues; ++j) {
        cal.defined_codes[j] = CodeFor(cal.voa, quartic, j + 1.0);
    }
    return cal;
}

void PutScaled(std::vector<std::uint8_t>& image, std::uint32_t address, double value) {
    const double v = std::round(value * kScale);
    std::uint64_t bits = std::uint64_t{1} << 63;
    if (v >= 0 && v < 18446744073709551616.0) {
        bits = static_cast<std::uint64_t>(v);
    } else if (v < 0 && v >= -9223372036854775808.0) {
        bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    }
    PutBits(image, address, bits);
}

void PutRaw(std::vector<std::uint8_t>& image, std::uint32_t address, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutBits(image, address, bits);
}

double GetScaled(const std::vector<std::uint8_t>& image, std::uint32_t address) {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 8; ++i) bits |= std::uint64_t{image[(address + i) % image.size()]} << (8 * i);
    return static_cast<double>(static_cast<std::int64_t>(bits)) / kScale;
}

std::vector<std::uint8_t> FactoryImage(const UnitConfig& cfg) {
    std::vector<std::uint8_t> img(kEepromSize, 0xFF);
    PutScaled(img, kSlotBase, static_cast<double>(cfg.board_type));
    const std::vector<std::uint16_t> wls = SlotWavelengths(cfg);
    for (unsigned w = 0; w < wls.size(); ++w) {
        const std::uint32_t base = kSlotBase + kSlotSize * w;
        if (w > 0) {
            img[base] = static_cast<std::uint8_t>(wls[w] >> 8);
            img[base + 1] = static_cast<std::uint8_t>(wls[w]);
        }
        for (unsigned s = 0; s < kChannels; ++s) {
            const ChannelCalibration cal = FactoryCalibration(cfg, w, s);
            PutScaled(img, base + slot_offset::kTap + 8 * s, cal.tap_uw_per_count);
            for (unsigned k = 0; k < 4; ++k) {
                PutRaw(img, base + slot_offset::kVoaCoefficients + 32 * s + 8 * k, cal.voa[k]);
            }
            for (unsigned j = 0; j < kDefinedValues; ++j) {
                const std::uint32_t a = base + slot_offset::kDefinedValues + 60 * s + 2 * j;
                img[a] = static_cast<std::uint8_t>(cal.defined_codes[j]);
                img[a + 1] = static_cast<std::uint8_t>(cal.defined_codes[j] >> 8);
            }
            PutScaled(img, base + slot_offset::kVoaInsertionLoss + 8 * s, cal.voa_insertion_loss_db);
            PutScaled(img, base + slot_offset::kSwitchInsertionLoss + 8 * s, cal.switch_insertion_loss_db);
        }
    }
    if (wls.size() < kSlots) {
        const std::uint32_t free_slot = kSlotBase + kSlotSize * static_cast<std::uint32_t>(wls.size());
        img[free_slot] = 0xFF;
        img[free_slot + 1] = 0xFF;
    }
    std::fill(img.begin() + kUserCalBegin, img.begin() + kUserCalEnd, std::uint8_t{0});
    return img;
}

}  // namespace zelsim
