// Per-user HMD profiles: the Profile and VisorOneProfile records and the ProfileManager that
// reads them from the user's Profiles.json. The store is read only in this system.
//
// Threads: every ProfileManager operation takes the recursive profile lock, so the application
// thread and the device thread may both use it. A Profile belongs to whoever fetched it.
#pragma once

#include "hmd/devices/refcount.h"
#include "hmd/devices/threads.h"
#include "hmd/devices/visor_string.h"

#include <cstdint>

namespace Visor {

class JSON;

enum ProfileType : std::uint32_t {
    Profile_Unknown = 0,
    Profile_VisorOne = 1,
    // Asked for by the 1920-pixel-wide headset; it has no profile class, so none is made.
    Profile_VisorHD = 2,
};

enum ProfileGender { Gender_Unspecified = 0, Gender_Male = 1, Gender_Female = 2 };

class Profile : public RefCountBase<Profile> {
public:
    // Name holds at most this many bytes of UTF-8 plus the terminating zero.
    enum { MaxNameLength = 31 };

    ProfileType Type;
    char Name[MaxNameLength + 1] = {};
    ProfileGender Gender = Gender_Unspecified;
    float PlayerHeight = 1.778f; // metres
    float IPD = 0.064f;          // metres

    ~Profile() override = default;

    // A new copy with one reference, or null when memory runs out.
    virtual Profile* Clone() const = 0;
    // Sets the property of that name from its text; false for an unknown name and for a
    // value that does not fit (a name over MaxNameLength bytes, a height that is no number),
    // which leaves the property unchanged.
    virtual bool ApplyProperty(const char* name, const char* value);

    // Whether text fits Name.
    static bool NameFits(const char* text);

protected:
    Profile(ProfileType type, const char* name);
    void CopyFieldsFrom(const Profile& other);
};

class VisorOneProfile : public Profile {
public:
    enum EyeCupType { EyeCup_A = 0, EyeCup_B = 1, EyeCup_C = 2 };

    EyeCupType EyeCup = EyeCup_A;
    std::int32_t LL = 0, LR = 0, RL = 0, RR = 0;

    // name must fit Profile::MaxNameLength (MakeProfile checks this).
    explicit VisorOneProfile(const char* name);

    Profile* Clone() const override;
    bool ApplyProperty(const char* name, const char* value) override;
};

class ProfileManager : public RefCountBase<ProfileManager> {
public:
    // A new, empty manager with one reference (nothing is read until first asked), or null.
    static ProfileManager* Create();
    ~ProfileManager() override;

    // The file path: $XDG_DATA_HOME (when set and absolute, else $HOME/.local/share) followed
    // by "/Visor/Profiles.json". With createFolder the Visor folder (and missing parents) is
    // made when it is not a directory. Empty when no home folder can be found.
    static String ProfileFilePath(bool createFolder);

    bool ProfileExists(ProfileType type, const char* name);
    // A new copy of the named profile with one reference, or null (also for a null name).
    Profile* FetchProfile(ProfileType type, const char* name);
    // The file's current profile name while at least one profile is loaded, else null. The
    // text stays valid until the next call; copy it before releasing the lock.
    const char* CurrentProfileName(ProfileType type);
    // A new profile of the type with defaults and one reference, and its type name
    // ("VisorOne"); null for a type without a class and for a name that does not fit.
    Profile* MakeProfile(const char* name, ProfileType type, const char** typeName = nullptr);

    // The lock every operation takes; callers hold it to combine operations.
    Mutex* GetLock() { return &ProfileLock; }
    // Loads the profiles of type unless they are loaded already. Operations do this themselves.
    void LoadProfiles(ProfileType type);
    // The type the cache was loaded for, 0 when nothing is loaded.
    ProfileType GetLoadedType();
    int GetProfileCount();

private:
    ProfileManager() = default;
    void ReadProfileFile(ProfileType type);
    bool LoadProfileMember(const JSON* member, ProfileType type);
    void WriteProfileFile();
    Profile* FindProfile(const char* name);
    bool AddToCache(Profile* profile);
    void ClearCache();

    Mutex ProfileLock;
    Profile** ProfileCache = nullptr; // references, in file order
    int CacheCount = 0;
    int CacheCapacity = 0;
    ProfileType CacheDevice = Profile_Unknown;
    String DefaultProfile;
    bool Changed = false; // nothing in this system edits profiles
    char NameBuff[Profile::MaxNameLength + 1] = {};
};

} // namespace Visor
