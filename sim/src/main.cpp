// zel-unit-sim: one or more simulated test units on TCP port 6653.
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include "cli.h"
#include "sys.h"
#include "zelsim/eeprom_file.h"
#include "zelsim/replay.h"
#include "zelsim/sim.h"

int main(int argc, char** argv) {
    zelsim::SimOptions opts;
    const int status = zelsim::ParseCommandLine(argc, argv, opts);
    if (status >= 0) return status;

    // Before any thread starts, so that only the wait below sees the stop requests.
    zelsim::sys::CatchStopRequests();

    std::unique_ptr<zelsim::Replay> replay;
    if (!opts.replay.empty()) {
        zel::capture::Capture capture;
        std::string why;
        if (!zel::capture::ReadCaptureFile(opts.replay, capture, &why)) {
            std::fprintf(stderr, "zel-unit-sim: cannot read the capture %s\n", why.c_str());
            return zelsim::kExitImageFile;
        }
        for (const std::string& w : capture.warnings)
            std::fprintf(stderr, "zel-unit-sim: %s: %s\n", opts.replay.c_str(), w.c_str());
        std::vector<zel::capture::Conversation> conversations;
        if (!zelsim::Replay::Pick(capture, opts.replay_unit, conversations, &why)) {
            std::fprintf(stderr, "zel-unit-sim: %s: %s\n", opts.replay.c_str(), why.c_str());
            return zelsim::kExitUsage;
        }
        std::fprintf(stderr, "zel-unit-sim: replaying %s: %zu connections with %s\n", opts.replay.c_str(),
                     conversations.size(), conversations.front().unit.c_str());
        replay = std::make_unique<zelsim::Replay>(std::move(conversations),
                                                  zelsim::ReplayOptions{opts.replay_timing, opts.replay_fallback},
                                                  [](const std::string& line) {
                                                      std::fprintf(stderr, "zel-unit-sim: %s\n", line.c_str());
                                                      std::fflush(stderr);
                                                  });
    }

    std::vector<std::unique_ptr<zelsim::UnitModel>> units;
    std::vector<std::unique_ptr<zelsim::Server>> servers;
    int exit_code = zelsim::kExitOk;
    try {
        for (const auto& address : opts.listen) {
            zelsim::UnitConfig cfg = opts.unit;
            // Units of one simulator differ: each has a serial number (and so a calibration) of its own.
            if (opts.listen.size() > 1) cfg.serial = zelsim::SerialForAddress(address);
            cfg.eeprom_file = zelsim::EepromFileFor(opts.unit.eeprom_file, address, opts.listen.size());
            std::string why;
            // Before serving: a unit whose image cannot be saved would lose every EEPROM write.
            if (!cfg.eeprom_file.empty() && !zelsim::CanSaveImageFile(cfg.eeprom_file, &why)) {
                std::fprintf(stderr, "zel-unit-sim: cannot save the EEPROM image %s: %s\n", cfg.eeprom_file.c_str(),
                             why.c_str());
                exit_code = zelsim::kExitImageFile;
                break;
            }
            // An existing image keeps the wavelengths of its slots: --wavelengths would be ignored.
            if (opts.wavelengths_given && !cfg.eeprom_file.empty() &&
                zelsim::LoadImageFile(cfg.eeprom_file, zelsim::kEepromSize)) {
                std::fprintf(
                    stderr,
                    "zel-unit-sim: --wavelengths conflicts with the wavelengths calibrated in the EEPROM image "
                    "%s (leave out --wavelengths to serve the image as it is, or use another image)\n",
                    cfg.eeprom_file.c_str());
                exit_code = zelsim::kExitUsage;
                break;
            }
            auto unit = std::make_unique<zelsim::UnitModel>(cfg);
            // An existing image carries its own board type in record 0: the unit reports that one.
            const int stored = unit->BoardType();
            if (stored != cfg.board_type && opts.board_type_given) {
                std::fprintf(stderr,
                             "zel-unit-sim: --board-type %d conflicts with board type %d in the EEPROM image %s "
                             "(leave out --board-type to serve the image as it is, or use another image)\n",
                             cfg.board_type, stored, cfg.eeprom_file.c_str());
                exit_code = zelsim::kExitUsage;
                break;
            }
            units.push_back(std::move(unit));
            units.back()->SetLogTag(address);
            servers.push_back(std::make_unique<zelsim::Server>(*units.back(), address, opts.port, opts.limits));
            servers.back()->SetAnswerer(replay.get());
            if (!servers.back()->Start(&why)) {
                std::fprintf(stderr, "zel-unit-sim: cannot listen on %s:%u: %s\n", address.c_str(), opts.port,
                             why.c_str());
                exit_code = zelsim::kExitFailure;
                break;
            }
            std::fprintf(stderr,
                         "zel-unit-sim: unit at %s:%u (board type %d, board ID 0x%04X, serial %llu, firmware "
                         "%.1f%s%s)\n",
                         address.c_str(), servers.back()->Port(), units.back()->BoardType(), cfg.board_id,
                         static_cast<unsigned long long>(cfg.serial), cfg.firmware_tenths / 10.0,
                         cfg.eeprom_file.empty() ? "" : ", EEPROM ", cfg.eeprom_file.c_str());
        }
    } catch (const zelsim::ImageFileError& e) {
        std::fprintf(stderr, "zel-unit-sim: %s\n", e.what());
        exit_code = zelsim::kExitImageFile;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zel-unit-sim: %s\n", e.what());
        exit_code = zelsim::kExitFailure;
    }

    if (exit_code == zelsim::kExitOk) {
        const std::string why = zelsim::sys::WaitForStopRequest();
        std::fprintf(stderr, "zel-unit-sim: %s, stopping\n", why.c_str());
    }
    for (auto& s : servers) s->Stop();
    servers.clear();
    units.clear();  // saves changed EEPROM images
    return exit_code;
}
