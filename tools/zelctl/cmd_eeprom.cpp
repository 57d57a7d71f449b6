// eeprom read|write|dump|load: the unit's EEPROM and whole-image files.
//
// An image file holds the whole 128 KiB, as zel-unit-sim expects: the select-0 bank (64 KiB), then
// the select-1 bank. Reads reach both in 128-byte blocks; the byte write reaches the select-0 bank.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "args.h"
#include "calib_store.h"
#include "terminal.h"
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
    sub->add_option("--start", range.start, "First EEPROM address")->check(CLI::Range(0u, end - 1));
    sub->add_option("--length", range.length, "Number of bytes (default: to the end of " + whole + ")")
        ->check(CLI::Range(1u, end));
}

Range Clip(Range r, std::uint32_t end) {
    r.length = std::min(r.length, end - r.start);
    return r;
}

std::vector<std::uint8_t> ReadImageFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitFile, "cannot open " + path);
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() != kImageSize) {
        throw Failure(kExitFile, path + " is not an EEPROM image: " + std::to_string(data.size()) +
                                     " bytes, expected " + std::to_string(kImageSize));
    }
    return data;
}

}  // namespace

void AddEepromCommands(CLI::App& app, const GlobalOptions& g) {
    auto* ee = app.add_subcommand("eeprom",
                                  "The unit's EEPROM: reads in 128-byte blocks (a whole 128 KiB dump in well under a "
                                  "second), writes byte by byte (about 10 ms per byte written)")
                   ->require_subcommand(1);

    auto address = std::make_shared<std::uint32_t>(0);
    auto count = std::make_shared<std::uint32_t>(1);
    auto* read = ee->add_subcommand("read", "Read bytes and show them in hex");
    read->add_option("address", *address, "First address (0x... for hex; the EEPROM holds 0x0000..0x1FFFF)")
        ->required()
        ->check(AddressInRange(0, ZEL_EEPROM_SIZE - 1));
    read->add_option("-n,--count", *count, "Number of bytes")->check(InRange(1, 4096));
    read->callback([&g, address, count] {
        // A range running past the EEPROM's last byte is refused whole rather than cut short.
        if (*address + *count > ZEL_EEPROM_SIZE) {
            throw Failure(kExitUsage, std::to_string(*count) + " bytes from " + Hex(*address, 4) +
                                          " run past the end of the EEPROM (" + Hex(ZEL_EEPROM_SIZE - 1, 4) + ", " +
                                          std::to_string(ZEL_EEPROM_SIZE / 1024) + " KiB): at most " +
                                          std::to_string(ZEL_EEPROM_SIZE - *address) + " from there");
        }
        Session s(g);
        const std::uint32_t n = *count;
        const std::vector<std::uint8_t> bytes = ReadEeprom(s, *address, n);
        if (g.json) {
            PrintJson(Json{{"address", *address}, {"bytes", bytes}});
            return;
        }
        for (std::uint32_t line = 0; line < n; line += 16) {
            std::string text = Hex(*address + line, *address + n > kBankSize ? 5 : 4) + ":";
            for (std::uint32_t i = line; i < std::min(n, line + 16); ++i) text += " " + Hex(bytes[i], 2).substr(2);
            std::printf("%s\n", text.c_str());
        }
    });

    auto values = std::make_shared<std::vector<unsigned>>();
    auto* write = ee->add_subcommand("write", "Write bytes from an address on");
    write->add_option("address", *address, "First address (0x... for hex)")
        ->required()
        ->check(CLI::Range(0u, kBankSize - 1));
    write->add_option("bytes", *values, "Byte values (0..255)")->required()->check(CLI::Range(0u, 255u));
    write->callback([&g, address, values] {
        if (*address + values->size() > kBankSize)
            throw Failure(kExitUsage, "the bytes run past the end of the EEPROM (0xFFFF)");
        Session s(g);
        for (std::size_t i = 0; i < values->size(); ++i) {
            WriteEepromByte(s, static_cast<std::uint32_t>(*address + i), static_cast<std::uint8_t>((*values)[i]));
        }
        Record()
            .Add("address", "Address", *address, Hex(*address, 4))
            .Add("written", "Bytes written", values->size())
            .Print(g.json);
    });

    auto file = std::make_shared<std::string>();
    auto range = std::make_shared<Range>();
    auto* dump = ee->add_subcommand("dump",
                                    "Capture the EEPROM into a 128 KiB image file that zel-unit-sim --eeprom "
                                    "loads (bytes outside the range are left 0xFF, erased)");
    dump->add_option("file", *file, "Image file to write")->required();
    AddRangeOptions(dump, *range, kImageSize, "the EEPROM");
    dump->callback([&g, file, range] {
        const Range r = Clip(*range, kImageSize);
        Session s(g);
        std::vector<std::uint8_t> image(kImageSize, 0xFF);
        {
            Progress progress("dump", r.length, g.json);
            for (std::uint32_t a = r.start; a < r.start + r.length; a += kDumpChunk) {
                const std::uint32_t n = std::min(kDumpChunk, r.start + r.length - a);
                const std::vector<std::uint8_t> bytes = ReadEeprom(s, a, n);
                std::copy(bytes.begin(), bytes.end(), image.begin() + a);
                progress.Advance(n);
            }
        }
        WriteFileWhole(*file, image.data(), image.size());
        Record()
            .Add("file", "File", *file)
            .Add("start", "First address", r.start, Hex(r.start, 4))
            .Add("length", "Bytes read", r.length)
            .Print(g.json);
    });

    auto* load = ee->add_subcommand("load",
                                    "Write the select-0 bank of a 128 KiB image file into the EEPROM: only the "
                                    "bytes that differ are written, then the range is read back");
    load->add_option("file", *file, "Image file to read")->required();
    AddRangeOptions(load, *range, kBankSize, "the bank");
    load->callback([&g, file, range] {
        const Range r = Clip(*range, kBankSize);
        const std::vector<std::uint8_t> image = ReadImageFile(*file);
        Session s(g);
        store::PatchOutcome done;
        {
            const InterruptGuard interrupt;
            Progress progress("load", 0, g.json);
            store::WriteOptions options;
            options.progress = [&](std::size_t n, std::size_t total) { progress.Update(n, total); };
            options.stop = [] { return Interrupted(); };
            done = store::Patch(s.Instance(), r.start,
                                store::Bytes(image.begin() + r.start, image.begin() + r.start + r.length), options);
        }
        if (done.interrupted) {
            throw Failure(kExitInterrupted, "interrupted: " + std::to_string(done.bytes_written) + " of " +
                                                std::to_string(done.bytes_to_write) +
                                                " differing bytes written, next at " + Hex(done.next_address, 4) +
                                                "; run the load again to complete it");
        }
        if (!done.mismatches.empty()) {
            throw Failure(kExitMismatch, std::to_string(done.mismatches.size()) +
                                             " byte(s) read back other than written, the "
                                             "first at " +
                                             Hex(done.mismatches.front(), 4));
        }
        Record()
            .Add("file", "File", *file)
            .Add("start", "First address", r.start, Hex(r.start, 4))
            .Add("length", "Bytes compared", r.length)
            .Add("written", "Bytes written", done.bytes_written)
            .Print(g.json);
    });
}

}  // namespace zelctl
