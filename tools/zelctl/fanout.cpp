#include "fanout.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace zelctl {

namespace {

thread_local UnitOutput* t_output = nullptr;
thread_local const UnitTarget* t_unit = nullptr;

std::string NameOf(const UnitTarget& unit) {
    return unit.name == unit.address ? unit.address : unit.name + " (" + unit.address + ")";
}

// The single value a unit's run printed under --json, or null when it printed none or several.
std::optional<Json> JsonOf(const UnitOutput& output) {
    std::vector<Json> values;
    for (const auto& item : output.items) {
        switch (item.kind) {
            case UnitOutput::Item::kRecord:
                values.push_back(item.record->ToJson());
                break;
            case UnitOutput::Item::kTable:
                values.push_back(item.table->ToJson());
                break;
            case UnitOutput::Item::kJson:
                values.push_back(item.json);
                break;
            case UnitOutput::Item::kText:
                break;
        }
    }
    if (values.empty()) return std::nullopt;
    if (values.size() == 1) return values.front();
    return Json(values);
}

Json JsonRun(const UnitRun& run) {
    Json out = Json::object();
    out["unit"] = run.unit.name;
    out["address"] = run.unit.address;
    if (run.exit_code != kExitOk) {
        out["error"] = run.error;
        out["exit_code"] = run.exit_code;
        return out;
    }
    const std::optional<Json> value = JsonOf(run.output);
    if (!value) return out;
    if (value->is_object()) {
        for (const auto& [key, v] : value->items()) {
            if (key != "unit" && key != "address") out[key] = v;
        }
    } else {
        out[value->is_array() ? "rows" : "result"] = *value;
    }
    return out;
}

bool OnlyOne(const UnitOutput& output, UnitOutput::Item::Kind kind) {
    return output.items.size() == 1 && output.items.front().kind == kind;
}

// One table of every unit's record: the unit, then each field.
std::optional<Table> RecordsAsTable(const std::vector<const UnitRun*>& runs) {
    std::vector<std::string> keys, labels;
    for (const UnitRun* run : runs) {
        if (!OnlyOne(run->output, UnitOutput::Item::kRecord)) return std::nullopt;
        for (const auto& f : run->output.items.front().record->Fields()) {
            if (f.key == "unit" || f.key == "address") continue;  // the first column names the unit
            if (std::find(keys.begin(), keys.end(), f.key) == keys.end()) {
                keys.push_back(f.key);
                labels.push_back(f.label);
            }
        }
    }
    std::vector<Table::Column> columns{{"unit", "Unit", false}};
    for (std::size_t i = 0; i < keys.size(); ++i) columns.push_back({keys[i], labels[i], false});
    Table table(columns);
    for (const UnitRun* run : runs) {
        std::vector<std::pair<Json, std::string>> cells{{run->unit.name, run->unit.name}};
        const auto& fields = run->output.items.front().record->Fields();
        for (const auto& key : keys) {
            const auto f = std::find_if(fields.begin(), fields.end(), [&](const auto& x) { return x.key == key; });
            cells.push_back(f == fields.end() ? std::pair<Json, std::string>{nullptr, "-"}
                                              : std::pair<Json, std::string>{f->value, f->text});
        }
        table.AddRow(std::move(cells));
    }
    return table;
}

// One table of every unit's rows, when the tables have the same columns: the unit, then the row.
std::optional<Table> TablesAsTable(const std::vector<const UnitRun*>& runs) {
    const std::vector<Table::Column>* first = nullptr;
    for (const UnitRun* run : runs) {
        if (!OnlyOne(run->output, UnitOutput::Item::kTable)) return std::nullopt;
        const auto& columns = run->output.items.front().table->Columns();
        if (first == nullptr) first = &columns;
        const auto same = [](const Table::Column& a, const Table::Column& b) { return a.key == b.key; };
        if (!std::equal(first->begin(), first->end(), columns.begin(), columns.end(), same)) return std::nullopt;
    }
    std::vector<Table::Column> columns{{"unit", "Unit", false}};
    columns.insert(columns.end(), first->begin(), first->end());
    Table table(columns);
    for (const UnitRun* run : runs) {
        for (auto row : run->output.items.front().table->Rows()) {
            row.insert(row.begin(), {run->unit.name, run->unit.name});
            table.AddRow(std::move(row));
        }
    }
    return table;
}

void PrintItems(const UnitOutput& output) {
    for (const auto& item : output.items) {
        switch (item.kind) {
            case UnitOutput::Item::kRecord:
                item.record->PrintText();
                break;
            case UnitOutput::Item::kTable:
                item.table->PrintText();
                break;
            case UnitOutput::Item::kJson:
                std::printf("%s\n", item.json.dump(2).c_str());
                break;
            case UnitOutput::Item::kText:
                std::printf("%s", item.text.c_str());
                break;
        }
    }
}

}  // namespace

UnitOutput* CollectedOutput() { return t_output; }

const UnitTarget* FanOutUnit() { return t_unit; }

std::vector<UnitRun> RunOnUnits(const std::vector<UnitTarget>& units, unsigned jobs,
                                const std::function<int(const UnitTarget&)>& command) {
    std::vector<UnitRun> runs(units.size());
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        for (std::size_t i = next++; i < units.size(); i = next++) {
            UnitRun& run = runs[i];
            run.unit = units[i];
            t_output = &run.output;
            t_unit = &run.unit;
            try {
                run.exit_code = command(run.unit);
            } catch (const Failure& e) {
                run.exit_code = e.code();
                run.error = e.what();
            } catch (const std::exception& e) {
                run.exit_code = kExitUnit;
                run.error = e.what();
            }
            if (run.exit_code != kExitOk && run.error.empty()) run.error = "failed";
            t_output = nullptr;
            t_unit = nullptr;
        }
    };
    const std::size_t count = std::min<std::size_t>(jobs == 0 ? units.size() : jobs, units.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) threads.emplace_back(worker);
    for (auto& t : threads) t.join();
    return runs;
}

int PrintRuns(const std::vector<UnitRun>& runs, bool json) {
    int exit_code = kExitOk;
    for (const auto& run : runs) exit_code = std::max(exit_code, run.exit_code);
    if (json) {
        Json out = Json::array();
        for (const auto& run : runs) out.push_back(JsonRun(run));
        std::printf("%s\n", out.dump(2).c_str());
        return exit_code;
    }
    std::vector<const UnitRun*> done;
    for (const auto& run : runs) {
        if (run.exit_code == kExitOk) done.push_back(&run);
    }
    if (!done.empty()) {
        if (auto table = RecordsAsTable(done)) {
            table->PrintText();
        } else if (auto rows = TablesAsTable(done)) {
            rows->PrintText();
        } else {
            for (std::size_t i = 0; i < done.size(); ++i) {
                std::printf("%s== %s ==\n", i == 0 ? "" : "\n", NameOf(done[i]->unit).c_str());
                PrintItems(done[i]->output);
            }
        }
    }
    std::fflush(stdout);
    for (const auto& run : runs) {
        if (run.exit_code != kExitOk)
            std::fprintf(stderr, "zelctl: %s: %s\n", NameOf(run.unit).c_str(), run.error.c_str());
    }
    return exit_code;
}

std::string UnitFile(Session& s, const std::string& path, const std::string& extension, bool for_reading) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (t_unit == nullptr && !fs::is_directory(path, ec)) return path;
    if (path == "-") throw Failure(kExitUsage, "- (standard output) takes the output of one unit, not of several");
    std::int64_t serial = 0;
    std::int32_t confirmed = 0;
    zel_ReadSerialNumber(s.Instance(), &serial, &confirmed);
    s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
    const std::string file = (fs::path(path) / (std::to_string(serial) + extension)).string();
    if (for_reading) {
        if (!fs::is_regular_file(file, ec)) {
            throw Failure(kExitFile, "no file of unit " + s.address() + " (serial number " + std::to_string(serial) +
                                         ") in " + path + ": " + file + " is missing");
        }
    } else if (!fs::create_directories(path, ec) && ec) {
        throw Failure(kExitFile, "cannot create the directory " + path + ": " + ec.message());
    }
    return file;
}

std::string UnitNamedFile(const std::string& path) {
    if (t_unit == nullptr || path.empty()) return path;
    const std::filesystem::path p(path);
    return (p.parent_path() / (p.stem().string() + "-" + t_unit->name + p.extension().string())).string();
}

}  // namespace zelctl
