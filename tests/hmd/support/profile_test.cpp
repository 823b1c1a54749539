// The profile store on real Profiles.json files: the path, one table of files (none, no regular
// file, malformed, half-valid, odd values) with the state and log each leaves, and threads.
#include "hmd/support/profile.h"

#include "tests/hmd/support/support_fixture.h"

#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Visor::Profile;
using Visor::ProfileManager;
using Visor::Ptr;

namespace {

// The header members, then a "Profile" member per entry: an entry starting with a quote is
// the text after "Name":, any other the member's whole value.
std::string Profiles(const char* current, const char* count, std::vector<std::string> members) {
    std::string text = std::string(R"({"Visor Profile Version": 1, "CurrentProfile": ")") +
                       current + R"(", "ProfileCount": )" + count;
    for (const std::string& member : members)
        text += ", \"Profile\": " + (member[0] == '"' ? "{\"Name\": " + member + "}" : member);
    return text + "}";
}

const std::string Full = R"(, "Gender": "Male", "PlayerHeight": 1.9, "IPD": 0.061, "VisorOne":
    {"EyeCup": "B", "LL": 1, "LR": -2, "RL": 3, "RR": 4})";
const std::string FullState = " 1 1.9 0.061 1 1 -2 3 4", Defaults = " 0 1.778 0.064 0 0 0 0 0";

} // namespace

class ProfileStore : public visor_test::SupportTest {
protected:
    Ptr<Profile> Fetch(const char* name) {
        return Ptr<Profile>::Adopt(Manager->FetchProfile(Visor::Profile_VisorOne, name));
    }
    // Loaded type, count and current name, then every field of each profile named a to e.
    std::string State() {
        const char* current = Manager->CurrentProfileName(Visor::Profile_VisorOne);
        std::ostringstream out;
        out << Manager->GetLoadedType() << " " << Manager->GetProfileCount() << " "
            << (current ? current : "-");
        for (const char* name : {"a", "b", "c", "d", "e"})
            if (Ptr<Profile> p = Fetch(name)) {
                auto* one = static_cast<const Visor::VisorOneProfile*>(p.GetPtr());
                out << " | " << p->Name << " " << p->Gender << " " << p->PlayerHeight << " "
                    << p->IPD << " " << one->EyeCup << " " << one->LL << " " << one->LR << " "
                    << one->RL << " " << one->RR;
            }
        return out.str();
    }

    int DataHome = setenv("XDG_DATA_HOME", Dir.c_str(), 1) + mkdir(path("Visor").c_str(), 0700);
    Ptr<ProfileManager> Manager = Ptr<ProfileManager>::Adopt(ProfileManager::Create());
};

TEST_F(ProfileStore, FilePathFollowsTheXdgDataFolder) {
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", Dir.c_str(), 1);
    setenv("XDG_DATA_HOME", "relative", 1); // ignored, as the XDG rules say
    Visor::String created = ProfileManager::ProfileFilePath(true);
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(std::string(created.ToCStr()), Dir + "/.local/share/Visor/Profiles.json");
    EXPECT_TRUE(std::filesystem::is_directory(path(".local/share/Visor")));
}

TEST_F(ProfileStore, EachFileLeavesItsStateAndLogLine) {
    const std::string file = path("Visor/Profiles.json"), tooLong(32, 'n');
    const std::string notRegular =
        "cannot read \"" + file + "\": not a regular file (file error 0x1003).";
    const struct {
        const char* name;
        std::string text, state, log;
    } rows[] = {
        {"every field", Profiles("b", "2", {"\"a\"" + Full, "\"b\"" + Full}),
         "1 2 b | a" + FullState + " | b" + FullState, ""},
        {"folder", "<folder>", "0 0 -", notRegular},
        {"FIFO", "<fifo>", "0 0 -", notRegular},
        {"empty", "", "0 0 -", "cannot parse \"" + file + "\": Syntax Error: Invalid syntax."},
        {"wrong first member", R"({"Version": 1, "CurrentProfile": "a", "ProfileCount": 1})",
         "0 0 -", "is no profile file"},
        {"profile no object", Profiles("a", "2", {"\"a\"" + Full, "7"}), "0 0 -",
         "does not start with its \"Name\"; no profile loaded."},
        {"count bounds the load", Profiles("a", "1", {"\"a\"" + Full, "\"b\"" + Full}),
         "1 1 a | a" + FullState, ""},
        {"missing members", Profiles("a", "5e12", {"\"a\"" + Full}), "1 1 a | a" + FullState, ""},
        {"zero count", Profiles("a", "0", {"\"a\"" + Full}), "1 0 -", ""},
        {"no headset object", Profiles("a", "2", {R"("a")", R"("b", "VisorOne": {})"}),
         "1 1 a | b" + Defaults, ""},
        {"value rules",
         Profiles("a", "4",
                  {R"("a", "Gender": "male", "PlayerHeight": "tall", "VisorOne": {"EyeCup": "b"})",
                   R"("b", "Gender": "Female", "IPD": "0.07m", "PlayerHeight": 1e99,
                       "VisorOne": {"EyeCup": "Cup"})",
                   R"("c", "LL": 5, "VisorOne": {"EyeCup": "BC"}, "VisorOne": {"EyeCup": "C"},
                       "Unknown": 1)",
                   R"("d", "VisorOne": {"LL": "12abc", "LR": 99999999999, "RL": -99999999999,
                       "RR": "x", "Name": "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"})"}),
         "1 4 a | a" + Defaults + " | b 2 1.778 0.07 2 0 0 0 0 | c 0 1.778 0.064 1 5 0 0 0" +
             " | d 0 1.778 0.064 0 12 2147483647 -2147483648 0",
         ""},
        {"names over 31 bytes refused whole",
         Profiles(tooLong.c_str(), "2", {"\"" + tooLong + "\"" + Full, "\"e\"" + Full}),
         "1 1 - | e" + FullState, "is longer than 31 bytes; profile skipped."},
        {"missing file", "<none>", "0 0 -", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        remove(file.c_str());
        ASSERT_TRUE(row.text == "<none>" ||
                    (row.text == "<fifo>"     ? mkfifo(file.c_str(), 0600) == 0
                     : row.text == "<folder>" ? mkdir(file.c_str(), 0700) == 0
                                              : write("Visor/Profiles.json", row.text)));
        alarm(10); // a load stuck on the FIFO ends the run instead of hanging it
        Manager->LoadProfiles(Visor::Profile_VisorHD); // another type makes the next load reread
        EXPECT_EQ(State(), row.state);
        alarm(0);
        std::string log = takeLog();
        EXPECT_TRUE(row.log.empty() ? log.empty() : log.find(row.log) != std::string::npos) << log;
    }
    // After a failed load the next request reads the file again; a loaded store is kept.
    for (const char* count : {"1", "2"}) {
        ASSERT_TRUE(
            write("Visor/Profiles.json", Profiles("a", count, {"\"a\"" + Full, "\"b\"" + Full})));
        EXPECT_EQ(State(), "1 1 a | a" + FullState);
    }
    Fetch("a")->IPD = 1.0f; // a fetch is a copy
    EXPECT_FLOAT_EQ(Fetch("a")->IPD, 0.061f);
}

TEST_F(ProfileStore, ThreadsShareTheStore) {
    ASSERT_TRUE(write("Visor/Profiles.json", Profiles("a", "2", {"\"a\"" + Full, "\"b\"" + Full})));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                EXPECT_TRUE(Fetch(t % 2 ? "a" : "b"));
                if (i % 50 == 0)
                    Manager->LoadProfiles(t % 2 ? Visor::Profile_VisorOne : Visor::Profile_VisorHD);
            }
        });
    for (auto& thread : threads)
        thread.join();
}
