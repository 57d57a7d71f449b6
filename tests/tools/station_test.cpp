// The station file without a unit: names, addresses, time-outs and order; every kind of malformed file is
// refused with its file, line and what is wrong; --unit lists resolved against a station.
#include <gtest/gtest.h>

#include "failure.h"
#include "station.h"

namespace zelctl {
namespace {

constexpr const char* kStation = R"(timeout_ms = 2000
[units.bay3]
address = "127.0.0.7"
label = "DUT rack A, slot 3"
timeout_ms = 5000

[units.bay1]
address = "127.0.0.5"
)";

TEST(StationFile, UnitsKeepTheFileOrderAndTheirOwnSettings) {
    const Station s = ParseStation(kStation, "bench.toml");
    ASSERT_EQ(s.units.size(), 2u);
    EXPECT_EQ(s.units[0].name, "bay3");  // the file's order, not the alphabet
    EXPECT_EQ(s.units[0].address, "127.0.0.7");
    EXPECT_EQ(s.units[0].label, "DUT rack A, slot 3");
    EXPECT_EQ(s.units[0].timeout_ms, 5000u);
    EXPECT_EQ(s.units[0].line, 2);
    EXPECT_EQ(s.units[1].name, "bay1");
    EXPECT_FALSE(s.units[1].timeout_ms.has_value());
    EXPECT_EQ(s.timeout_ms, 2000u);
    EXPECT_EQ(s.Find("bay1"), &s.units[1]);
    EXPECT_EQ(s.Find("bay2"), nullptr);
}

struct Malformed {
    const char* what;
    const char* text;
    int line;
    const char* message;  // a part of the message
};

TEST(StationFile, MalformedFilesNameTheFileTheLineAndTheFault) {
    const Malformed cases[] = {
        {"not TOML", "[units.a\naddress = \"127.0.0.1\"\n", 1, ""},
        {"unknown top-level key", "timeout = 5\n[units.a]\naddress = \"127.0.0.1\"\n", 1, "unknown key 'timeout'"},
        {"unknown unit key", "[units.a]\naddress = \"127.0.0.1\"\nport = 6653\n", 3, "unknown key 'port' in unit a"},
        {"duplicate name", "[units.a]\naddress = \"127.0.0.1\"\n[units.a]\naddress = \"127.0.0.2\"\n", 3, ""},
        {"same address twice", "[units.a]\naddress = \"127.0.0.1\"\n[units.b]\naddress = \"127.0.0.1\"\n", 3,
         "unit b has the address 127.0.0.1 of unit a"},
        {"bad address", "[units.a]\naddress = \"127.0.0.256\"\n", 2, "address '127.0.0.256' of unit a"},
        {"host name", "[units.a]\naddress = \"bench-7\"\n", 2, "is not an IPv4 address"},
        {"no address", "[units.a]\nlabel = \"x\"\n", 1, "unit a has no address"},
        {"address of the wrong type", "[units.a]\naddress = 127\n", 2, "'address' must be a string, not an integer"},
        {"time-out of the wrong type", "[units.a]\naddress = \"127.0.0.1\"\ntimeout_ms = \"5s\"\n", 3,
         "'timeout_ms' must be a whole number of milliseconds, not a string"},
        {"negative time-out", "timeout_ms = -1\n[units.a]\naddress = \"127.0.0.1\"\n", 1, "outside 0..4294967295"},
        {"label of the wrong type", "[units.a]\naddress = \"127.0.0.1\"\nlabel = 3.5\n", 3, "'label' must be a string"},
        {"units not a table", "units = 3\n", 1, "'units' must be a table of units"},
        {"unit not a table", "[units]\na = 1\n", 2, "'units.a' must be a table"},
        {"name that is an address", "[units.\"127.0.0.1\"]\naddress = \"127.0.0.1\"\n", 1, "unit name '127.0.0.1'"},
        {"name all", "[units.all]\naddress = \"127.0.0.1\"\n", 1, "unit name 'all'"},
        {"name with a comma", "[units.\"a,b\"]\naddress = \"127.0.0.1\"\n", 1, "unit name 'a,b'"},
        {"no units", "timeout_ms = 5\n", 1, "no units"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ParseStation(c.text, "bench.toml");
            ADD_FAILURE() << "accepted";
        } catch (const Failure& e) {
            EXPECT_EQ(e.code(), kExitFile);
            const std::string message = e.what();
            EXPECT_EQ(message.rfind("bench.toml:" + std::to_string(c.line) + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        }
    }
}

TEST(StationFile, AMissingFileIsAFileError) {
    try {
        LoadStation("/nonexistent/bench.toml");
        FAIL() << "accepted";
    } catch (const Failure& e) {
        EXPECT_EQ(e.code(), kExitFile);
        EXPECT_NE(std::string(e.what()).find("/nonexistent/bench.toml"), std::string::npos);
    }
}

TEST(StationFile, DottedQuads) {
    for (const char* good : {"0.0.0.0", "127.0.0.1", "10.0.0.7", "255.255.255.255"}) EXPECT_TRUE(IsDottedQuad(good));
    for (const char* bad : {"", "127.0.0", "127.0.0.1.", "127.0.0.1.2", "256.0.0.1", "01.0.0.1", "1..2.3", "a.b.c.d",
                            " 127.0.0.1", "127.0.0.1 ", "1234.0.0.1", "-1.0.0.1"})
        EXPECT_FALSE(IsDottedQuad(bad)) << bad;
}

TEST(StationUnits, ListsOfNamesAndAddressesResolveInOrderOnce) {
    const Station s = ParseStation(kStation, "bench.toml");
    const auto targets = ResolveUnits({"bay1,10.0.0.9", "bay3", "127.0.0.5"}, &s, std::nullopt, 7000);
    ASSERT_EQ(targets.size(), 3u);  // 127.0.0.5 is bay1 again
    EXPECT_EQ(targets[0].name, "bay1");
    EXPECT_EQ(targets[0].timeout_ms, 2000u);  // the station's
    EXPECT_EQ(targets[1].name, "10.0.0.9");
    EXPECT_EQ(targets[1].address, "10.0.0.9");
    EXPECT_EQ(targets[1].timeout_ms, 7000u);  // not a station unit: the command line's
    EXPECT_EQ(targets[2].name, "bay3");
    EXPECT_EQ(targets[2].timeout_ms, 5000u);  // its own

    const auto all = ResolveUnits({"all"}, &s, 100u, 7000);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "bay3");
    EXPECT_EQ(all[0].timeout_ms, 100u);  // --timeout on the command line wins
    EXPECT_EQ(all[1].name, "bay1");
}

TEST(StationUnits, UnknownNamesAndEmptyItemsAreUsageErrors) {
    // Without a station every item is an address: the library's connect refuses a malformed one.
    const auto plain = ResolveUnits({"127.0.0.300"}, nullptr, std::nullopt, 5000);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].address, "127.0.0.300");

    const Station s = ParseStation(kStation, "bench.toml");
    const struct {
        std::vector<std::string> values;
        const Station* station;
        const char* message;
    } cases[] = {
        {{"bay9"}, &s, "bay9: no such unit in bench.toml"},
        {{"bay3,"}, &s, "empty item"},
        {{"all"}, nullptr, "needs a station"},
    };
    for (const auto& c : cases) {
        try {
            ResolveUnits(c.values, c.station, std::nullopt, 5000);
            ADD_FAILURE() << c.message;
        } catch (const Failure& e) {
            EXPECT_EQ(e.code(), kExitUsage);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zelctl
