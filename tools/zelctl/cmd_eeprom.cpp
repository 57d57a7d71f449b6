// eeprom read|write|dump|load: the unit's EEPROM and whole-image files.
//
// An image file holds the whole 128 KiB, as zel-unit-sim expects: the select-0 bank (64 KiB), then
// the select-1 bank. Reads reach both in 128-byte blocks; the byte write reaches the select-0 bank.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "args.h"
#include "calib_backup.h"
#include "fanout.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

constexpr std::uint32_t kBankSize = 0x10000;
constexpr std::uint32_t kImageSize = 2 * kBankSize;
constexpr std::uint32_t kDumpChunk = 4096;  // block reads per progress step: 32

struct Range {
    std::uint32_t start = 0;
    std::uint32_t length = kImageSize;
};

// `end`: the first address the command cannot reach.
void AddRangeOptions(CLI::App* sub, Range& range, std::uint32_t end, const std::string& whole) {
    sub->add_option("--start", range.start, "First EEPROM address")->check(InRange(0, end - 1));
    sub->add_option("--length", range.length, "Number of bytes (default: to the end of " + whole + ")")
        ->check(InRange(1, end));
}

Range Clip(Range r, std::uint32_t end) {
    r.length = std::min(r.length, end - r.start);
    return r;
}

std::vector<std::uint8_t> ReadImageFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileFailure("open", path);
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() != kImageSize) {
        throw Failure(kExitFile, path + " is not an EEPROM image: " + std::to_string(data.size()) +
                                     " bytes, expected " + std::to_string(kImageSize));
    }
    return data;
}

struct EepromReadOptions {
    std::uint32_t address = 0;
    std::uint32_t count = 1;
};

void RunEepromRead(Session& s, const EepromReadOptions& o, bool json) {
    // A range running past the EEPROM's last byte is refused whole rather than cut short.
    if (o.address + o.count > ZEL_EEPROM_SIZE) {
        throw Failure(kExitUsage, std::to_string(o.count) + " bytes from " + Hex(o.address, 4) +
                                      " run past the end of the EEPROM (" + Hex(ZEL_EEPROM_SIZE - 1, 4) + ", " +
                                      std::to_string(ZEL_EEPROM_SIZE / 1024) + " KiB): at most " +
                                      std::to_string(ZEL_EEPROM_SIZE - o.address) + " from there");
    }
    const std::vector<std::uint8_t> bytes = ReadEeprom(s, o.address, o.count);
    if (json) {
        PrintJson(Json{{"address", o.address}, {"bytes", bytes}});
        return;
    }
    for (std::uint32_t line = 0; line < o.count; line += 16) {
        std::string text = Hex(o.address + line, o.address + o.count > kBankSize ? 5 : 4) + ":";
        for (std::uint32_t i = line; i < std::min(o.count, line + 16); ++i) text += " " + Hex(bytes[i], 2).substr(2);
        PrintOut(text + "\n");
    }
}

struct EepromWriteOptions {
    std::uint32_t address = 0;
    std::vector<unsigned> bytes;
};

void RunEepromWrite(Session& s, const EepromWriteOptions& o, bool json) {
    if (o.address + o.bytes.size() > kBankSize)
        throw Failure(kExitUsage, "the bytes run past the end of the EEPROM (0xFFFF)");
    for (std::size_t i = 0; i < o.bytes.size(); ++i) {
        WriteEepromByte(s, static_cast<std::uint32_t>(o.address + i), static_cast<std::uint8_t>(o.bytes[i]));
    }
    Record()
        .Add("address", "Address", o.address, Hex(o.address, 4))
        .Add("written", "Bytes written", o.bytes.size())
        .Print(json);
}

// eeprom dump and eeprom load.
struct EepromImageOptions {
    std::string file;
    Range range;
};

void RunEepromDump(Session& s, const EepromImageOptions& o, bool json) {
    const Range r = Clip(o.range, kImageSize);
    std::vector<std::uint8_t> image(kImageSize, 0xFF);
    {
        Progress progress("dump", r.length, json);
        for (std::uint32_t a = r.start; a < r.start + r.length; a += kDumpChunk) {
            const std::uint32_t n = std::min(kDumpChunk, r.start + r.length - a);
            const std::vector<std::uint8_t> bytes = ReadEeprom(s, a, n);
            std::copy(bytes.begin(), bytes.end(), image.begin() + a);
            progress.Advance(n);
        }
    }
    const std::string file = UnitFile(s, o.file, ".eeprom", false);
    WriteFileWhole(file, image.data(), image.size());
    if (file == "-") return;  // standard output holds the image
    Record()
        .Add("file", "File", file)
        .Add("start", "First address", r.start, Hex(r.start, 4))
        .Add("length", "Bytes read", r.length)
        .Print(json);
}

void RunEepromLoad(Session& s, const EepromImageOptions& o, bool json) {
    const Range r = Clip(o.range, kBankSize);
    const std::string file = UnitFile(s, o.file, ".eeprom", true);
    const std::vector<std::uint8_t> image = ReadImageFile(file);
    const store::PatchOutcome done = InterruptibleWrite("load", json, [&](const store::WriteOptions& options) {
        return store::Patch(s.Instance(), r.start,
                            store::Bytes(image.begin() + r.start, image.begin() + r.start + r.length), options);
    });
    if (done.interrupted) {
        throw Failure(kExitInterrupted, "interrupted: " + std::to_string(done.bytes_written) + " of " +
                                            std::to_string(done.bytes_to_write) + " differing bytes written, next at " +
                                            Hex(done.next_address, 4) + "; run the load again to complete it");
    }
    if (!done.mismatches.empty()) {
        throw Failure(kExitMismatch, std::to_string(done.mismatches.size()) +
                                         " byte(s) read back other than written, the first at " +
                                         Hex(done.mismatches.front(), 4));
    }
    Record()
        .Add("file", "File", file)
        .Add("start", "First address", r.start, Hex(r.start, 4))
        .Add("length", "Bytes compared", r.length)
        .Add("written", "Bytes written", done.bytes_written)
        .Print(json);
}

}  // namespace

void AddEepromCommands(CLI::App& app, const GlobalOptions& g) {
    auto* ee = app.add_subcommand("eeprom",
                                  "The unit's EEPROM: reads in 128-byte blocks (a whole 128 KiB dump in well under a "
                                  "second), writes byte by byte (about 10 ms per byte written)")
                   ->require_subcommand(1);

    auto read_options = std::make_shared<EepromReadOptions>();
    auto* read = ee->add_subcommand("read", "Read bytes and show them in hex");
    read->add_option("address", read_options->address,
                     "First address (0x... for hex; the EEPROM holds 0x0000..0x1FFFF)")
        ->required()
        ->check(AddressInRange(0, ZEL_EEPROM_SIZE - 1));
    read->add_option("-n,--count", read_options->count, "Number of bytes")->check(InRange(1, 4096));
    RunWithSession(read, g, read_options, RunEepromRead);

    auto write_options = std::make_shared<EepromWriteOptions>();
    auto* write = ee->add_subcommand("write", "Write bytes from an address on");
    write->add_option("address", write_options->address, "First address (0x... for hex)")
        ->required()
        ->check(InRange(0, kBankSize - 1));
    write->add_option("bytes", write_options->bytes, "Byte values (0..255)")->required()->check(InRange(0, 255));
    RunWithSession(write, g, write_options, RunEepromWrite);

    auto image_options = std::make_shared<EepromImageOptions>();
    auto* dump = ee->add_subcommand("dump",
                                    "Capture the EEPROM into a 128 KiB image file that zel-unit-sim --eeprom "
                                    "loads (bytes outside the range are left 0xFF, erased)");
    dump->add_option("file", image_options->file, "Image file to write (- for standard output)")->required();
    AddRangeOptions(dump, image_options->range, kImageSize, "the EEPROM");
    RunWithSession(dump, g, image_options, RunEepromDump);

    auto* load = ee->add_subcommand("load",
                                    "Write the select-0 bank of a 128 KiB image file into the EEPROM: only the "
                                    "bytes that differ are written, then the range is read back");
    load->add_option("file", image_options->file, "Image file to read")->required();
    AddRangeOptions(load, image_options->range, kBankSize, "the bank");
    RunWithSession(load, g, image_options, RunEepromLoad);
}

}  // namespace zelctl
