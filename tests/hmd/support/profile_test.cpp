// The profile store against real Profiles.json files in a temporary XDG data folder: loading,
// the states a missing, unreadable, malformed or half-valid file leaves, and lookups.
#include "hmd/support/profile.h"

#include "hmd/devices/log.h"
#include "hmd/devices/system.h"
#include "tests/hmd/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using Visor::Profile;
using Visor::ProfileManager;
using Visor::Ptr;
using Visor::VisorOneProfile;

namespace {

// Sets (or with null, unsets) an environment variable until the end of the scope.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value) : Name(name) {
        const char* old = std::getenv(name);
        Had = old != nullptr;
        Old = Had ? old : "";
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvOverride() { Had ? setenv(Name.c_str(), Old.c_str(), 1) : unsetenv(Name.c_str()); }

private:
    std::string Name, Old;
    bool Had;
};

std::string ProfileMember(const std::string& name, const std::string& gender = "Male",
                          const std::string& device = R"("VisorOne": {"EyeCup": "B", "LL": 1,
                              "LR": -2, "RL": 3, "RR": 4})") {
    return R"("Profile": {"Name": ")" + name + R"(", "Gender": ")" + gender +
           R"(", "PlayerHeight": 1.9, "IPD": 0.061)" + (device.empty() ? "" : ", " + device) + "}";
}

std::string ProfileFile(const std::string& current, const std::string& count,
                        const std::vector<std::string>& members) {
    std::string text = R"({"Visor Profile Version": 1, "CurrentProfile": ")" + current +
                       R"(", "ProfileCount": )" + count;
    for (const std::string& member : members)
        text += ",\n" + member;
    return text + "}";
}

} // namespace

class ProfileStore : public ::testing::Test {
protected:
    void SetUp() override {
        Visor::System::Init();
        Visor::Log::SetOutputSink(&ProfileStore::Capture, this);
        Manager = Ptr<ProfileManager>::Adopt(ProfileManager::Create());
        ASSERT_TRUE(Manager);
    }
    void TearDown() override {
        Manager.Clear();
        Visor::Log::SetOutputSink(nullptr, nullptr);
        Visor::System::Destroy();
    }

    // Writes the profile file where the store looks for it.
    void WriteProfiles(const std::string& text) {
        mkdir(Dir.file("Visor").c_str(), 0700);
        ASSERT_TRUE(Dir.write("Visor/Profiles.json", text));
    }
    Ptr<Profile> Fetch(const char* name) {
        return Ptr<Profile>::Adopt(Manager->FetchProfile(Visor::Profile_VisorOne, name));
    }
    const VisorOneProfile* AsVisorOne(const Ptr<Profile>& p) {
        return static_cast<const VisorOneProfile*>(p.GetPtr());
    }
    std::string Logged() {
        std::lock_guard<std::mutex> lock(LogLock);
        return LogText;
    }

    visor_test::TempDir Dir;
    EnvOverride DataHome{"XDG_DATA_HOME", Dir.path().c_str()};
    Ptr<ProfileManager> Manager;

private:
    static void Capture(void* user, Visor::LogMessageType, const char* text) {
        ProfileStore* self = static_cast<ProfileStore*>(user);
        std::lock_guard<std::mutex> lock(self->LogLock);
        self->LogText += text;
    }
    std::mutex LogLock;
    std::string LogText;
};

TEST_F(ProfileStore, FilePathFollowsTheXdgDataFolder) {
    EXPECT_EQ(std::string(ProfileManager::ProfileFilePath(false).ToCStr()),
              Dir.path() + "/Visor/Profiles.json");
    struct stat info;
    EXPECT_NE(stat(Dir.file("Visor").c_str(), &info), 0) << "no folder unless asked";
    {
        EnvOverride unset("XDG_DATA_HOME", nullptr);
        EnvOverride home("HOME", Dir.path().c_str());
        EXPECT_EQ(std::string(ProfileManager::ProfileFilePath(true).ToCStr()),
                  Dir.path() + "/.local/share/Visor/Profiles.json");
        EXPECT_EQ(stat(Dir.file(".local/share/Visor").c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        // A relative data folder is ignored, as the XDG rules say.
        EnvOverride relative("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(std::string(ProfileManager::ProfileFilePath(false).ToCStr()),
                  Dir.path() + "/.local/share/Visor/Profiles.json");
    }
}

TEST_F(ProfileStore, LoadsEveryFieldAndFetchesCopies) {
    WriteProfiles(ProfileFile("Bea", "2", {ProfileMember("Al"), ProfileMember("Bea", "Female")}));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_VisorOne);
    EXPECT_EQ(Manager->GetProfileCount(), 2);
    EXPECT_STREQ(Manager->CurrentProfileName(Visor::Profile_VisorOne), "Bea");

    Ptr<Profile> bea = Fetch("Bea");
    ASSERT_TRUE(bea);
    EXPECT_EQ(bea->Type, Visor::Profile_VisorOne);
    EXPECT_STREQ(bea->Name, "Bea");
    EXPECT_EQ(bea->Gender, Visor::Gender_Female);
    EXPECT_FLOAT_EQ(bea->PlayerHeight, 1.9f);
    EXPECT_FLOAT_EQ(bea->IPD, 0.061f);
    const VisorOneProfile* one = AsVisorOne(bea);
    EXPECT_EQ(one->EyeCup, VisorOneProfile::EyeCup_B);
    EXPECT_EQ(one->LL, 1);
    EXPECT_EQ(one->LR, -2);
    EXPECT_EQ(one->RL, 3);
    EXPECT_EQ(one->RR, 4);
    EXPECT_EQ(Logged(), "");

    // A fetch gives an independent copy; names compare case-sensitively.
    EXPECT_EQ(bea->GetRefCount(), 1);
    bea->IPD = 1.0f;
    EXPECT_FLOAT_EQ(Fetch("Bea")->IPD, 0.061f);
    EXPECT_FALSE(Fetch(nullptr));
    EXPECT_FALSE(Fetch("bea"));
}

TEST_F(ProfileStore, MissingFileLeavesTheStoreUnloadedAndIsTriedAgain) {
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_Unknown);
    EXPECT_EQ(Manager->CurrentProfileName(Visor::Profile_VisorOne), nullptr);
    EXPECT_EQ(Logged(), "") << "no profile file is the normal case";
    WriteProfiles(ProfileFile("Al", "1", {ProfileMember("Al")}));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
}

TEST_F(ProfileStore, UnreadableFileIsLoggedAndLeftUnloaded) {
    mkdir(Dir.file("Visor").c_str(), 0700);
    mkdir(Dir.file("Visor/Profiles.json").c_str(), 0700); // a folder where the file should be
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_Unknown);
    EXPECT_NE(Logged().find("Visor::ProfileManager - cannot read"), std::string::npos) << Logged();
}

TEST_F(ProfileStore, MalformedFilesLeaveTheStoreUnloaded) {
    const std::string bad[] = {
        "",
        "{\"Visor Profile Version\": 1, \"CurrentProfile\": \"Al\", \"ProfileCount\": 1,",
        "[1, 2, 3]",
        R"({"Version": 1, "CurrentProfile": "Al", "ProfileCount": 1, "Profile": {"Name": "Al"}})",
        R"({"Visor Profile Version": 1, "CurrentProfile": "Al"})",
        std::string(5000, '{'),
    };
    for (const std::string& text : bad) {
        WriteProfiles(text);
        EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al")) << text;
        EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_Unknown) << text;
        EXPECT_EQ(Manager->GetProfileCount(), 0);
    }
    EXPECT_NE(Logged().find("cannot parse"), std::string::npos);
    EXPECT_NE(Logged().find("is no profile file"), std::string::npos);
    // Fixing the file is noticed at the next request.
    WriteProfiles(ProfileFile("Al", "1", {ProfileMember("Al")}));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
}

TEST_F(ProfileStore, ProfileCountBoundsTheLoadButMissingMembersAreNoError) {
    WriteProfiles(ProfileFile("Al", "1", {ProfileMember("Al"), ProfileMember("Bo")}));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Bo"));

    WriteProfiles(ProfileFile("Al", "5", {ProfileMember("Al"), ProfileMember("Bo")}));
    Manager->LoadProfiles(Visor::Profile_VisorHD); // another type makes the next load reread
    Manager->LoadProfiles(Visor::Profile_VisorOne);
    EXPECT_EQ(Manager->GetProfileCount(), 2);
    WriteProfiles(ProfileFile("Al", "1e12", {ProfileMember("Al")}));
    Manager->LoadProfiles(Visor::Profile_VisorHD);
    Manager->LoadProfiles(Visor::Profile_VisorOne);
    EXPECT_EQ(Manager->GetProfileCount(), 1);
}

TEST_F(ProfileStore, ZeroCountLoadsAnEmptyStoreThatIsNotReadAgain) {
    WriteProfiles(ProfileFile("Al", "0", {ProfileMember("Al")}));
    EXPECT_EQ(Manager->CurrentProfileName(Visor::Profile_VisorOne), nullptr);
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_VisorOne);
    WriteProfiles(ProfileFile("Al", "1", {ProfileMember("Al")}));
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
}

TEST_F(ProfileStore, HalfValidFiles) {
    // A profile without its headset object is skipped; the others load.
    WriteProfiles(ProfileFile("Al", "2", {ProfileMember("Al", "Male", ""), ProfileMember("Bo")}));
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Bo"));
    EXPECT_STREQ(Manager->CurrentProfileName(Visor::Profile_VisorOne), "Al");

    // A member that does not start with its name abandons the whole load.
    for (const char* broken : {R"("Profile": {"Gender": "Male"})", R"("Profile": 7)"}) {
        WriteProfiles(ProfileFile("Al", "2", {ProfileMember("Al"), broken}));
        Manager->LoadProfiles(Visor::Profile_VisorHD);
        EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al")) << broken;
        EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_Unknown) << broken;
    }
    EXPECT_NE(Logged().find("does not start with its \"Name\""), std::string::npos);
}

TEST_F(ProfileStore, ValueRulesForGenderEyeCupAndNumbers) {
    auto member = [](const char* name, const char* gender, const char* cup, const char* extra) {
        return std::string(R"("Profile": {"Name": ")") + name + R"(", "Gender": ")" + gender +
               R"(", )" + extra + R"("VisorOne": {"EyeCup": ")" + cup + "\"}}";
    };
    WriteProfiles(ProfileFile(
        "a", "6",
        {member("a", "male", "b", ""), member("b", "Female", " B", R"("PlayerHeight": "tall", )"),
         member("c", "Male", "Cup", R"("IPD": "0.07m", "PlayerHeight": 1e99, )"),
         member("d", "", "", R"("LL": 5, "VisorOne": {"EyeCup": "C"}, "Unknown": 1, )"),
         member("e", "Male", "BC", ""),
         R"("Profile": {"Name": "f", "VisorOne": {"LL": "12abc", "LR": 99999999999,
             "RL": -99999999999, "RR": "x"}})"}));
    EXPECT_EQ(Fetch("a")->Gender, Visor::Gender_Unspecified);
    EXPECT_EQ(AsVisorOne(Fetch("a"))->EyeCup, VisorOneProfile::EyeCup_A);
    EXPECT_EQ(AsVisorOne(Fetch("b"))->EyeCup, VisorOneProfile::EyeCup_A);
    // A height that is no number keeps its default instead of becoming 0.
    EXPECT_FLOAT_EQ(Fetch("b")->PlayerHeight, 1.778f);
    EXPECT_EQ(AsVisorOne(Fetch("c"))->EyeCup, VisorOneProfile::EyeCup_C);
    EXPECT_FLOAT_EQ(Fetch("c")->IPD, 0.07f);
    EXPECT_FLOAT_EQ(Fetch("c")->PlayerHeight, 1.778f) << "beyond float range";
    // Only the first device object counts (cup C, not the empty cup of the second); a headset
    // setting written beside it still reaches the profile, and unknown members are skipped.
    EXPECT_EQ(AsVisorOne(Fetch("d"))->EyeCup, VisorOneProfile::EyeCup_C);
    EXPECT_EQ(AsVisorOne(Fetch("d"))->LL, 5);
    EXPECT_EQ(AsVisorOne(Fetch("e"))->EyeCup, VisorOneProfile::EyeCup_B);
    // Lens adjustments read as integers, clamped to their range.
    Ptr<Profile> f = Fetch("f");
    ASSERT_TRUE(f);
    EXPECT_EQ(AsVisorOne(f)->LL, 12);
    EXPECT_EQ(AsVisorOne(f)->LR, INT32_MAX);
    EXPECT_EQ(AsVisorOne(f)->RL, INT32_MIN);
    EXPECT_EQ(AsVisorOne(f)->RR, 0);
}

TEST_F(ProfileStore, NamesLongerThan31BytesAreRefusedWhole) {
    std::string fits(31, 'n');
    std::string tooLong(32, 'n');
    WriteProfiles(
        ProfileFile(tooLong, "3",
                    {ProfileMember(tooLong), ProfileMember(fits),
                     R"("Profile": {"Name": "x", "VisorOne": {"Name": ")" + tooLong + "\"}}"}));
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, fits.c_str()));
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorOne, tooLong.c_str()));
    EXPECT_EQ(Manager->GetProfileCount(), 2);
    EXPECT_STREQ(Fetch("x")->Name, "x") << "a later Name that does not fit leaves the name";
    // A current name that fits no profile names none.
    EXPECT_EQ(Manager->CurrentProfileName(Visor::Profile_VisorOne), nullptr);
    EXPECT_NE(Logged().find("is longer than 31 bytes"), std::string::npos);

    EXPECT_EQ(Manager->MakeProfile(tooLong.c_str(), Visor::Profile_VisorOne), nullptr);
    Ptr<Profile> made =
        Ptr<Profile>::Adopt(Manager->MakeProfile(fits.c_str(), Visor::Profile_VisorOne));
    ASSERT_TRUE(made);
    EXPECT_EQ(std::string(made->Name), fits);
}

TEST_F(ProfileStore, TypeWithoutAProfileClassLoadsNothingAndOtherTypesReload) {
    WriteProfiles(ProfileFile("Al", "1", {ProfileMember("Al")}));
    EXPECT_FALSE(Manager->ProfileExists(Visor::Profile_VisorHD, "Al"));
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_VisorHD);
    EXPECT_EQ(Manager->CurrentProfileName(Visor::Profile_VisorHD), nullptr);
    EXPECT_TRUE(Manager->ProfileExists(Visor::Profile_VisorOne, "Al"));
    EXPECT_EQ(Manager->GetLoadedType(), Visor::Profile_VisorOne);

    EXPECT_EQ(Manager->MakeProfile("x", Visor::Profile_VisorHD), nullptr);
    EXPECT_EQ(Manager->MakeProfile(nullptr, Visor::Profile_VisorOne), nullptr);
    const char* typeName = nullptr;
    Ptr<Profile> made =
        Ptr<Profile>::Adopt(Manager->MakeProfile("x", Visor::Profile_VisorOne, &typeName));
    ASSERT_TRUE(made);
    EXPECT_STREQ(typeName, "VisorOne");
    EXPECT_FLOAT_EQ(made->IPD, 0.064f);
}

TEST_F(ProfileStore, ThreadsShareTheStore) {
    WriteProfiles(ProfileFile("Al", "2", {ProfileMember("Al"), ProfileMember("Bo")}));
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Ptr<Profile> p = Fetch(t % 2 ? "Al" : "Bo");
                if (p && p->Type == Visor::Profile_VisorOne)
                    ++found;
                if (i % 50 == 0)
                    Manager->LoadProfiles(t % 2 ? Visor::Profile_VisorOne : Visor::Profile_VisorHD);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_GT(found.load(), 0);
}
