// zelctl serve: the console's API against in-process simulated units, through HTTP as a browser or curl
// would use it; every refusal checked to reach no unit (its frame count and its registers unchanged).
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "zelctl_harness.h"

namespace zelctltest {
namespace {

using nlohmann::json;

constexpr unsigned kSelects = 16;

// A console run as `zelctl serve ARGS --listen LISTEN`, its URL read from what it prints.
class Console {
public:
    Console(std::vector<std::string> args, const std::string& listen = "127.0.0.1:0") {
        args.insert(args.begin(), "serve");
        args.insert(args.end(), {"--listen", listen});
        child_ = std::make_unique<ZelctlChild>(args);
        const std::regex url(R"(Console: http://([0-9.]+):([0-9]+)/(\?token=([0-9a-f]+))?)");
        for (int i = 0; i < 200; ++i) {
            std::smatch m;
            const std::string out = child_->OutputSoFar();
            if (std::regex_search(out, m, url)) {
                host_ = m[1];
                port_ = std::stoi(m[2]);
                token_ = m[4];
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("zelctl serve printed no URL: " + child_->OutputSoFar());
    }
    // A client that sends the token when there is one.
    httplib::Client Client(bool with_token = true) const {
        httplib::Client c(host_, port_);
        c.set_read_timeout(10, 0);
        if (with_token && !token_.empty()) c.set_bearer_token_auth(token_);
        return c;
    }
    // Waits until every unit is connected (or not), as GET /api/v1/units says.
    json WaitForUnits(bool connected) const {
        json units;
        for (int i = 0; i < 200; ++i) {
            auto r = Client().Get("/api/v1/units");
            if (r && r->status == 200) {
                units = json::parse(r->body);
                bool all = true;
                for (const auto& u : units) all = all && u["connected"] == connected;
                if (all) return units;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ADD_FAILURE() << "units never reached connected=" << connected << ": " << units.dump();
        return units;
    }
    ZelctlChild& child() { return *child_; }
    const std::string& token() const { return token_; }
    const std::string& host() const { return host_; }
    int port() const { return port_; }

private:
    std::unique_ptr<ZelctlChild> child_;
    std::string host_, token_;
    int port_ = 0;
};

// What the unit holds that a call could change: its VOA codes and switch words, its EEPROM.
struct UnitState {
    std::size_t frames;
    std::vector<std::uint16_t> registers;
    std::vector<std::uint8_t> eeprom;
    explicit UnitState(Unit& u) : frames(u.server().FramesReceived()), eeprom(u.model().EepromImage()) {
        for (unsigned s = 0; s < kSelects; ++s) {
            for (unsigned r :
                 {zelsim::reg::kVoaCode, zelsim::reg::kSwitch2x2, zelsim::reg::kSwitchMems, zelsim::reg::kSwitchLbmm})
                registers.push_back(u.model().Register(s, r));
        }
    }
    bool operator==(const UnitState& o) const {
        return frames == o.frames && registers == o.registers && eeprom == o.eeprom;
    }
};

json Body(const httplib::Result& r) { return r ? json::parse(r->body) : json(); }

json Channel(const Console& c, const std::string& unit, int channel) {
    return Body(c.Client().Get("/api/v1/units/" + unit + "/channels"))["channels"][channel];
}

TEST(ZelctlServe, UnitsAndChannelsShowTheUnitAndEveryChannel) {
    Unit unit(Board(6, {1550}));
    Console console({"--unit", unit.ip()});
    const json units = console.WaitForUnits(true);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["name"], unit.ip());
    EXPECT_EQ(units[0]["address"], unit.ip());
    EXPECT_EQ(units[0]["board_type"], 6);
    EXPECT_EQ(units[0]["channels"], 8);
    EXPECT_EQ(units[0]["wavelengths_nm"], json::array({1310, 1550}));
    EXPECT_EQ(units[0]["wavelength_nm"], 1310);
    EXPECT_EQ(units[0]["serial"], static_cast<std::int64_t>(zelsim::UnitConfig{}.serial));
    for (const char* key : {"firmware", "temperature_c", "link_reopens"}) EXPECT_TRUE(units[0][key].is_number()) << key;

    const json readings = Body(console.Client().Get("/api/v1/units/" + unit.ip() + "/channels"));
    ASSERT_EQ(readings["channels"].size(), 8u);
    for (const auto& ch : readings["channels"]) {
        EXPECT_EQ(ch["code"], 0);
        EXPECT_EQ(ch["attenuation_db"], 0.0);
        // The simulator's 1000 uW at each input, through the factory TAP factor, within its noise.
        EXPECT_NEAR(ch["power_uw"].get<double>(), 1000.0, 20.0) << ch;
        EXPECT_NEAR(ch["power_dbm"].get<double>(), 0.0, 0.1);
        EXPECT_GT(ch["count"].get<int>(), 0);
        EXPECT_EQ(ch["switch_2x2"], 0);
    }
    // Static files: the page at / and the chart library, without caching; nothing else outside /api/.
    auto page = console.Client().Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-cache");
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    auto chart = console.Client().Get("/chart.min.js");
    ASSERT_TRUE(chart);
    EXPECT_GT(chart->body.size(), 100000u);
    EXPECT_EQ(console.Client().Get("/nothing.js")->status, 404);
    EXPECT_TRUE(page->get_header_value("Access-Control-Allow-Origin").empty());
}

TEST(ZelctlServe, SettingsReachTheUnit) {
    Unit unit(Board(6, {1550}));
    Console console({"--unit", unit.ip()});
    console.WaitForUnits(true);
    auto c = console.Client();
    const std::string u = "/api/v1/units/" + unit.ip();
    struct Case {
        std::string path, body, key;
        json want;
    } cases[] = {
        {"/channels/2/attenuation", R"({"db": 12.5})", "attenuation_db", 12.5},
        {"/channels/3/attenuation", R"({"code": 1718})", "code", 1718},
        {"/channels/4/switch", R"({"position": 1})", "switch_2x2", 1},
    };
    for (const auto& k : cases) {
        auto r = c.Put(u + k.path, k.body, "application/json");
        ASSERT_TRUE(r) << k.path;
        EXPECT_EQ(r->status, 200) << k.path << r->body;
    }
    EXPECT_NEAR(Channel(console, unit.ip(), 2)["attenuation_db"].get<double>(), 12.5, 0.01);
    EXPECT_GT(Channel(console, unit.ip(), 2)["code"].get<int>(), 0);
    EXPECT_EQ(Channel(console, unit.ip(), 3)["code"], 1718);
    EXPECT_EQ(Channel(console, unit.ip(), 4)["switch_2x2"], 1);
    EXPECT_EQ(Channel(console, unit.ip(), 5)["switch_2x2"], 0);
    // The attenuation of channel 2 took light away: about 12.5 dB less power than channel 0.
    EXPECT_NEAR(Channel(console, unit.ip(), 0)["power_dbm"].get<double>() -
                    Channel(console, unit.ip(), 2)["power_dbm"].get<double>(),
                12.5, 0.3);

    for (const char* sw : {"mems", "lbmm"}) {
        auto r = c.Put(u + "/" + sw, R"({"position": 3})", "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << r->body;
        EXPECT_EQ(Body(c.Get(u + "/channels"))[sw], 3) << sw;
    }
    auto w = c.Put(u + "/wavelength", R"({"nm": 1550})", "application/json");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->status, 200) << w->body;
    EXPECT_EQ(Body(c.Get("/api/v1/units"))[0]["wavelength_nm"], 1550);

    auto none = c.Get(u + "/sweep?format=csv");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404) << none->body;  // before the first sweep
    auto sweep = c.Post(u + "/sweep", R"({"channel": 1, "from": 0, "to": 3, "step": 0.5})", "application/json");
    ASSERT_TRUE(sweep);
    ASSERT_EQ(sweep->status, 200) << sweep->body;
    const json points = json::parse(sweep->body)["points"];
    ASSERT_EQ(points.size(), 7u);
    EXPECT_EQ(json::parse(sweep->body)["wavelength_nm"], 1550);
    for (std::size_t i = 0; i < points.size(); ++i) {
        EXPECT_DOUBLE_EQ(points[i]["set_db"].get<double>(), 0.5 * static_cast<double>(i));
        EXPECT_NEAR(points[i]["read_db"].get<double>(), points[i]["set_db"].get<double>(), 0.05);
    }
    EXPECT_NEAR(Channel(console, unit.ip(), 1)["attenuation_db"].get<double>(), 3.0, 0.05);  // left at the last step

    // The downloads are that sweep, in the forms voa sweep writes.
    auto csv = c.Get(u + "/sweep?format=csv");
    ASSERT_TRUE(csv);
    ASSERT_EQ(csv->status, 200) << csv->body;
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    std::vector<std::string> rows;
    std::istringstream lines(csv->body);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), points.size() + 1) << csv->body;  // the header, then a row a point
    EXPECT_EQ(rows[0].rfind("set_db,read_db,power_uw,power_dbm", 0), 0u) << rows[0];
    EXPECT_EQ(rows[4].rfind("1.5000,", 0), 0u) << rows[4];  // the fourth point
    auto svg = c.Get(u + "/sweep?format=svg");
    ASSERT_TRUE(svg);
    ASSERT_EQ(svg->status, 200) << svg->body;
    EXPECT_EQ(svg->get_header_value("Content-Type"), "image/svg+xml");
    EXPECT_NE(svg->body.find("<svg"), std::string::npos);
    auto again = c.Get(u + "/sweep");
    ASSERT_TRUE(again);
    EXPECT_EQ(json::parse(again->body)["points"], points);
    auto other = c.Get(u + "/sweep?format=xlsx");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 400) << other->body;
}

TEST(ZelctlServe, CalibrationBackupDiffAndRestore) {
    Unit unit(Board(6, {1550}));
    Console console({"--unit", unit.ip()});
    console.WaitForUnits(true);
    auto c = console.Client();
    const std::string u = "/api/v1/units/" + unit.ip() + "/calibration";
    auto backup = c.Get(u);
    ASSERT_TRUE(backup);
    ASSERT_EQ(backup->status, 200);
    json doc = json::parse(backup->body);
    EXPECT_EQ(doc["version"], 2);

    // The unit's own backup: nothing to write.
    auto same = c.Post(u + "/diff", backup->body, "application/json");
    ASSERT_TRUE(same);
    ASSERT_EQ(same->status, 200) << same->body;
    EXPECT_EQ(json::parse(same->body)["bytes_to_write"], 0);
    EXPECT_TRUE(json::parse(same->body)["records"].empty());

    // One changed TAP factor: the diff names it and writes nothing; the restore writes it.
    json changed = doc;
    auto& record = changed["wavelengths"][0]["channels"][5];
    record["tap"] = 0.05;
    record["bytes"]["tap"] = "00743ba40b000000";  // 0.05 x 10^12, least significant byte first
    const std::vector<std::uint8_t> before = unit.model().EepromImage();
    auto diff = c.Post(u + "/diff", changed.dump(), "application/json");
    ASSERT_TRUE(diff);
    ASSERT_EQ(diff->status, 200) << diff->body;
    const json d = json::parse(diff->body);
    ASSERT_EQ(d["records"].size(), 1u) << d;
    EXPECT_NE(d["records"][0]["record"].get<std::string>().find("channel 5"), std::string::npos) << d;
    EXPECT_GT(d["bytes_to_write"].get<int>(), 0);
    EXPECT_EQ(unit.model().EepromImage(), before);

    auto restore = c.Post(u + "/restore", changed.dump(), "application/json");
    ASSERT_TRUE(restore);
    ASSERT_EQ(restore->status, 200) << restore->body;
    EXPECT_EQ(json::parse(restore->body)["bytes_written"], d["bytes_to_write"]);
    EXPECT_NE(unit.model().EepromImage(), before);
    auto again = c.Post(u + "/diff", changed.dump(), "application/json");
    EXPECT_EQ(json::parse(again->body)["bytes_to_write"], 0);
    // The live readings take the restored factor: channel 5's power is the count times 0.05.
    const json ch5 = Channel(console, unit.ip(), 5);
    EXPECT_NEAR(ch5["power_uw"].get<double>(), ch5["count"].get<double>() * 0.05, 1e-6);

    // Another unit's backup is refused before anything is written, unless forced.
    json other = doc;
    other["unit"]["serial"] = 12345;
    const std::vector<std::uint8_t> restored = unit.model().EepromImage();
    auto refused = c.Post(u + "/restore", other.dump(), "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
    EXPECT_NE(json::parse(refused->body)["error"].get<std::string>().find("serial number 12345"), std::string::npos);
    EXPECT_EQ(unit.model().EepromImage(), restored);
    auto forced = c.Post(u + "/restore?force=true", other.dump(), "application/json");
    EXPECT_EQ(forced->status, 200) << forced->body;
    EXPECT_EQ(unit.model().EepromImage(), before);  // the original records are back
}

TEST(ZelctlServe, BadInputUnknownUnitsAndChannelsReachNoUnit) {
    Unit unit(Board(6));
    Console console({"--unit", unit.ip()});
    console.WaitForUnits(true);
    auto c = console.Client();
    const std::string u = "/api/v1/units/" + unit.ip();
    struct Case {
        const char* method;
        std::string path, body;
        int status;
        std::string error;  // part of the message
    } cases[] = {
        {"PUT", u + "/channels/2/attenuation", R"({"db": 35})", 400, "35 dB is outside 0..30 dB"},
        {"PUT", u + "/channels/2/attenuation", R"({"db": -1})", 400, "-1 dB is outside 0..30 dB"},
        {"PUT", u + "/channels/2/attenuation", R"({"code": 4096})", 400, "VOA code 4096 is outside 0..4095"},
        {"PUT", u + "/channels/2/attenuation", R"({"code": 1.5})", 400, "not a whole number"},
        {"PUT", u + "/channels/2/attenuation", R"({"db": 1, "code": 2})", 400, "either"},
        {"PUT", u + "/channels/2/attenuation", R"({"db": "5"})", 400, "must be a number"},
        {"PUT", u + "/channels/2/attenuation", "{db:", 400, "no JSON"},
        {"PUT", u + "/channels/2/attenuation", "[1]", 400, "JSON object"},
        {"PUT", u + "/channels/2/switch", R"({"position": 2})", 400, "a 2x2 switch is bar (0) or cross (1)"},
        {"PUT", u + "/mems", R"({"position": 8})", 400, "has 8 ports"},
        {"PUT", u + "/lbmm", R"({})", 400, "no \"position\""},
        {"PUT", u + "/wavelength", R"({"nm": 1234})", 400, "not calibrated for it (calibrated: 1310 nm)"},
        {"POST", u + "/sweep", R"({"channel": 1, "from": 0, "to": 3, "step": 0})", 400, "greater than 0 dB"},
        {"POST", u + "/sweep", R"({"channel": 1, "from": 5, "to": 3})", 400, "is above --to"},
        {"POST", u + "/sweep", R"({"from": 0})", 400, "\"channel\""},
        {"POST", u + "/calibration/diff", R"({"version": 9})", 400, "backup:"},
        {"POST", u + "/calibration/restore", "not json", 400, "backup:"},
        {"GET", u + "/frames?after=x", "", 400, "whole number"},
        {"PUT", u + "/channels/8/attenuation", R"({"db": 1})", 404, "channel 8: the board (type 6) has channels 0..7"},
        {"PUT", u + "/channels/x/switch", R"({"position": 1})", 404, "channel x"},
        {"POST", u + "/sweep", R"({"channel": 9, "to": 1})", 404, "channel 9"},
        {"GET", "/api/v1/units/127.9.9.9/channels", "", 404, "unknown unit 127.9.9.9"},
        {"PUT", "/api/v1/units/bay9/mems", R"({"position": 1})", 404, "unknown unit bay9"},
        {"GET", "/api/v1/nothing", "", 404, "nothing at /api/v1/nothing"},
    };
    for (const auto& k : cases) {
        const UnitState before(unit);
        httplib::Result r = std::string(k.method) == "GET"   ? c.Get(k.path)
                            : std::string(k.method) == "PUT" ? c.Put(k.path, k.body, "application/json")
                                                             : c.Post(k.path, k.body, "application/json");
        ASSERT_TRUE(r) << k.path;
        EXPECT_EQ(r->status, k.status) << k.method << " " << k.path << " " << k.body << ": " << r->body;
        const json e = json::parse(r->body);
        EXPECT_NE(e["error"].get<std::string>().find(k.error), std::string::npos) << e;
        EXPECT_TRUE(e.contains("reason"));
        // Refused values go nowhere; only the wavelength's and the channel's checks read the unit's tables.
        if (k.status == 400 && k.path.find("wavelength") == std::string::npos) {
            EXPECT_TRUE(before == UnitState(unit)) << k.path;
        }
    }
}

TEST(ZelctlServe, RefusalsHappenBeforeTheUnit) {
    Unit unit(Board(6));
    // A console on a 127.x address other than the default needs its token: one is generated.
    Console console({"--unit", unit.ip()}, RandomLoopback() + ":0");
    ASSERT_EQ(console.token().size(), 32u);
    console.WaitForUnits(true);
    const std::string own = console.host() + ":" + std::to_string(console.port());
    const std::string put = "/api/v1/units/" + unit.ip() + "/channels/1/attenuation";
    struct Case {
        std::string name;
        bool token;
        httplib::Headers headers;
        std::string method, path, body;
        int status;
    } cases[] = {
        {"no token, GET", false, {}, "GET", "/api/v1/units", "", 401},
        {"no token, PUT", false, {}, "PUT", put, R"({"db": 5})", 401},
        {"wrong token", false, {{"Authorization", "Bearer 0123"}}, "PUT", put, R"({"db": 5})", 401},
        {"wrong token in the URL", false, {}, "GET", "/api/v1/events?token=abc", "", 401},
        {"foreign Origin", true, {{"Origin", "http://evil.example"}}, "PUT", put, R"({"db": 5})", 403},
        {"the console's Origin from another port",
         true,
         {{"Origin", "http://" + console.host() + ":1"}},
         "PUT",
         put,
         R"({"db": 5})",
         403},
        {"cross-site fetch", true, {{"Sec-Fetch-Site", "cross-site"}}, "PUT", put, R"({"db": 5})", 403},
        {"foreign Host, GET",
         true,
         {{"Host", "evil.example:" + std::to_string(console.port())}},
         "GET",
         "/api/v1/units",
         "",
         403},
        {"foreign Host, PUT", true, {{"Host", "rebound.example"}}, "PUT", put, R"({"db": 5})", 403},
        {"oversized body", true, {}, "PUT", put, std::string(300 * 1024, ' '), 413},
    };
    for (const auto& k : cases) {
        const UnitState before(unit);
        auto c = console.Client(k.token);
        httplib::Result r =
            k.method == "GET" ? c.Get(k.path, k.headers) : c.Put(k.path, k.headers, k.body, "application/json");
        ASSERT_TRUE(r) << k.name;
        EXPECT_EQ(r->status, k.status) << k.name << ": " << r->body;
        EXPECT_FALSE(json::parse(r->body)["error"].get<std::string>().empty()) << k.name;
        EXPECT_TRUE(r->get_header_value("Access-Control-Allow-Origin").empty());
        EXPECT_TRUE(before == UnitState(unit)) << k.name << " reached the unit";
    }
    // With the token, from the page's own origin, and by ?token= as the page's live feed sends it.
    auto c = console.Client();
    auto ok = c.Put(put, {{"Origin", "http://" + own}}, R"({"db": 5})", "application/json");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200) << ok->body;
    EXPECT_EQ(console.Client(false).Get("/api/v1/units?token=" + console.token())->status, 200);
    EXPECT_EQ(console.Client(false)
                  .Get("/api/v1/units", {{"Host", "localhost:" + std::to_string(console.port())},
                                         {"Authorization", "Bearer " + console.token()}})
                  ->status,
              200);
    // The page itself needs no token: it holds nothing of the units.
    EXPECT_EQ(console.Client(false).Get("/")->status, 200);
}

TEST(ZelctlServe, OnTheDefaultAddressNoTokenIsNeededButTheOriginIsChecked) {
    Unit unit(Board(6));
    Console console({"--unit", unit.ip()});
    EXPECT_TRUE(console.token().empty());
    console.WaitForUnits(true);
    auto c = console.Client();
    const std::string put = "/api/v1/units/" + unit.ip() + "/channels/1/attenuation";
    EXPECT_EQ(c.Put(put, R"({"db": 2})", "application/json")->status, 200);  // curl: no Origin
    const UnitState before(unit);
    EXPECT_EQ(c.Put(put, {{"Origin", "http://localhost:1"}}, R"({"db": 3})", "application/json")->status, 403);
    EXPECT_TRUE(before == UnitState(unit));
    EXPECT_EQ(c.Put(put, {{"Origin", "http://localhost:" + std::to_string(console.port())}}, R"({"db": 3})",
                    "application/json")
                  ->status,
              200);
}

// The live feed: readings of every unit at least twice a second, sweep points as they are taken, and a
// unit that went away shown disconnected, then connected again once it answers.
TEST(ZelctlServe, TheLiveFeedFollowsReadingsAndConnections) {
    Unit a(Board(6)), b(Board(6));
    Console console({"--unit", a.ip() + "," + b.ip(), "--timeout", "300"});
    console.WaitForUnits(true);
    std::string events;
    std::mutex mutex;
    std::atomic<bool> stop{false};
    std::thread feed([&] {
        auto c = console.Client();
        c.Get("/api/v1/events", [&](const char* data, std::size_t n) {
            const std::lock_guard<std::mutex> lock(mutex);
            events.append(data, n);
            return !stop.load();
        });
    });
    const auto count = [&](const std::string& what) {
        const std::lock_guard<std::mutex> lock(mutex);
        std::size_t n = 0;
        for (auto at = events.find(what); at != std::string::npos; at = events.find(what, at + 1)) ++n;
        return n;
    };
    const auto wait_for = [&](const std::string& what, std::size_t n) {
        for (int i = 0; i < 400 && count(what) < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return count(what);
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_GE(count("\"unit\":\"" + a.ip() + "\",\"time\""), 4u);  // 2 s, twice a second
    EXPECT_GE(count("\"unit\":\"" + b.ip() + "\",\"time\""), 4u);

    auto c = console.Client();
    ASSERT_EQ(c.Post("/api/v1/units/" + a.ip() + "/sweep", R"({"channel": 0, "to": 2})", "application/json")->status,
              200);
    EXPECT_EQ(wait_for("event: sweep", 3), 3u);

    // Unit b goes away: shown disconnected, its calls 502, while a goes on.
    b.server().Stop();
    EXPECT_GE(wait_for("\"connected\":false", 1), 1u);
    const json units = Body(c.Get("/api/v1/units"));
    EXPECT_EQ(units[0]["connected"], true);
    EXPECT_EQ(units[1]["connected"], false);
    auto gone = c.Put("/api/v1/units/" + b.ip() + "/channels/0/switch", R"({"position": 1})", "application/json");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 502) << gone->body;
    EXPECT_FALSE(json::parse(gone->body)["reason"].get<std::string>().empty());
    // It answers again: connected within the retry.
    ASSERT_TRUE(b.server().Start());
    EXPECT_GE(wait_for("\"connected\":true", 3), 3u);  // two at the start, one now
    EXPECT_EQ(Body(c.Get("/api/v1/units"))[1]["connected"], true);

    // A unit that takes the frame and never answers: 504 after its time-out.
    a.server().SetFaults({zelsim::Fault::Stall});
    auto stalled = c.Put("/api/v1/units/" + a.ip() + "/channels/0/switch", R"({"position": 1})", "application/json");
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->status, 504) << stalled->body;
    a.server().SetFaults({});
    stop = true;
    feed.join();
}

TEST(ZelctlServe, TheFrameLogShowsTheFramesInOrder) {
    Unit unit(Board(6));
    Console console({"--unit", unit.ip()});
    console.WaitForUnits(true);
    auto c = console.Client();
    const std::string u = "/api/v1/units/" + unit.ip();
    const json all = Body(c.Get(u + "/frames"))["frames"];
    ASSERT_FALSE(all.empty());
    EXPECT_LE(all.size(), 200u);
    const std::uint64_t last = all.back()["seq"];
    ASSERT_EQ(c.Put(u + "/channels/6/attenuation", R"({"code": 300})", "application/json")->status, 200);
    const json fresh = Body(c.Get(u + "/frames?after=" + std::to_string(last)))["frames"];
    ASSERT_EQ(fresh.size(), 2u) << fresh;  // the write and its reply
    EXPECT_EQ(fresh[0]["seq"], last + 1);
    EXPECT_EQ(fresh[0]["direction"], "sent");
    EXPECT_EQ(fresh[1]["direction"], "received");
    // The frame as it went out: 128 bytes, the code 300 (0x012c, least significant byte first) among them.
    const std::string hex = fresh[0]["hex"];
    EXPECT_EQ(hex.size(), 128u * 3 - 1);
    EXPECT_NE(hex.find("2c 01"), std::string::npos) << hex;
    // Decoded as the capture viewer decodes it: a register write of the code, and the unit's answer.
    const std::string sent = fresh[0]["text"], answer = fresh[1]["text"];
    EXPECT_EQ(sent.rfind("write s", 0), 0u) << sent;
    EXPECT_NE(sent.find("(VOA code"), std::string::npos) << sent;
    EXPECT_NE(sent.find("= 0x012C"), std::string::npos) << sent;
    EXPECT_FALSE(answer.empty());
}

// A station's units by their names, in the file's order; one that never answered shows so, and its calls fail
// with the library's reason.
TEST(ZelctlServe, AStationsUnitsByName) {
    Unit unit(Board(6));
    const std::string nowhere = RandomLoopback();
    const std::string path = TempPath("bench.toml");
    std::ofstream(path) << "[units.bay3]\naddress = \"" << unit.ip() << "\"\n[units.bay4]\naddress = \"" << nowhere
                        << "\"\ntimeout_ms = 300\n";
    Console console({"--station", path});
    json units;
    for (int i = 0; i < 200 && !(units.size() == 2 && units[0]["connected"] == true && units[1].contains("error"));
         ++i) {
        units = Body(console.Client().Get("/api/v1/units"));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_EQ(units.size(), 2u) << units;
    EXPECT_EQ(units[0]["name"], "bay3");
    EXPECT_EQ(units[0]["connected"], true);
    EXPECT_EQ(units[1]["name"], "bay4");
    EXPECT_EQ(units[1]["address"], nowhere);
    EXPECT_EQ(units[1]["connected"], false);
    EXPECT_TRUE(units[1]["serial"].is_null());
    auto c = console.Client();
    EXPECT_EQ(Body(c.Get("/api/v1/units/bay3/channels"))["channels"].size(), 8u);
    EXPECT_EQ(Body(c.Get("/api/v1/units/" + unit.ip() + "/channels"))["unit"], "bay3");  // by address too
    auto gone = c.Get("/api/v1/units/bay4/channels");
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->status, 502) << gone->body;
    EXPECT_EQ(json::parse(gone->body)["reason"], "the unit refused the connection") << gone->body;
}

TEST(ZelctlServe, CtrlCStopsTheServerCleanly) {
    if (!zeltest::host::CanInterrupt()) GTEST_SKIP() << "no console here to carry a Ctrl+Break to zelctl";
    Console console({"--demo"});
    EXPECT_EQ(console.WaitForUnits(true)[0]["name"], "demo");
    ASSERT_TRUE(console.child().Interrupt());
    const Result r = console.child().Wait();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Stopped."), std::string::npos);
}

TEST(ZelctlServe, ListenAddressesItCannotTakeAreUsageErrors) {
    const struct {
        const char* listen;
        const char* message;
    } cases[] = {
        {"nowhere:99999", "--listen nowhere:99999: the address must be"},
        {"127.0.0.1:70000", "--listen 127.0.0.1:70000: the port must be 0..65535"},
        {"127.0.0.1:", "--listen 127.0.0.1:: the port must be 0..65535"},
        {"[::1", "--listen [::1: no ']' after the address"},
    };
    for (const auto& k : cases) {
        const Result r = Zelctl({"serve", "--demo", "--listen", k.listen});
        EXPECT_EQ(r.code, 2) << k.listen;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace zelctltest
