// Profile records and the profile store: reading Profiles.json into the cache and answering
// lookups from it.
#include "hmd/support/profile.h"

#include "hmd/devices/log.h"
#include "hmd/support/file.h"
#include "hmd/support/json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace Visor {

namespace {

inline bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal text to float with the C library's prefix rule (leading blanks and a sign allowed,
// trailing text ignored) but independent of the process locale; false when the text holds no
// finite number.
bool TextToFloat(const char* text, float* out) {
    while (IsSpace(*text))
        ++text;
    if (*text == '+')
        ++text;
    double value = 0;
    auto result = std::from_chars(text, text + std::strlen(text), value);
    if (result.ec != std::errc() || !std::isfinite(value) || std::fabs(value) > 3.4e38)
        return false;
    *out = float(value);
    return true;
}

// Decimal integer prefix of text; out-of-range values saturate. False when there is no digit.
bool TextToInt(const char* text, std::int32_t* out) {
    while (IsSpace(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (*text < '0' || *text > '9')
        return false;
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        if (value <= 0x80000000LL)
            value = value * 10 + (*text - '0');
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        value = INT32_MAX;
    if (value < INT32_MIN)
        value = INT32_MIN;
    *out = std::int32_t(value);
    return true;
}

const char* const VisorOneTypeName = "VisorOne";

} // namespace

// ---------------------------------------------------------------------------------------------
// Profile

Profile::Profile(ProfileType type, const char* name) : Type(type) {
    if (NameFits(name))
        std::strcpy(Name, name);
}

bool Profile::NameFits(const char* text) {
    return text && std::strlen(text) <= MaxNameLength;
}

void Profile::CopyFieldsFrom(const Profile& other) {
    Type = other.Type;
    std::memcpy(Name, other.Name, sizeof(Name));
    Gender = other.Gender;
    PlayerHeight = other.PlayerHeight;
    IPD = other.IPD;
}

bool Profile::ApplyProperty(const char* name, const char* value) {
    if (!name || !value)
        return false;
    if (std::strcmp(name, "Name") == 0) {
        // A name that does not fit is refused whole: a cut name could split a UTF-8 sequence
        // or match another profile.
        if (!NameFits(value))
            return false;
        std::strcpy(Name, value);
        return true;
    }
    if (std::strcmp(name, "Gender") == 0) {
        if (std::strcmp(value, "Male") == 0)
            Gender = Gender_Male;
        else if (std::strcmp(value, "Female") == 0)
            Gender = Gender_Female;
        else
            Gender = Gender_Unspecified;
        return true;
    }
    // A height or IPD that is no number keeps its default rather than becoming 0.
    if (std::strcmp(name, "PlayerHeight") == 0)
        return TextToFloat(value, &PlayerHeight);
    if (std::strcmp(name, "IPD") == 0)
        return TextToFloat(value, &IPD);
    return false;
}

VisorOneProfile::VisorOneProfile(const char* name) : Profile(Profile_VisorOne, name) {}

Profile* VisorOneProfile::Clone() const {
    VisorOneProfile* copy = new VisorOneProfile("");
    if (!copy)
        return nullptr;
    copy->CopyFieldsFrom(*this);
    copy->EyeCup = EyeCup;
    copy->LL = LL;
    copy->LR = LR;
    copy->RL = RL;
    copy->RR = RR;
    return copy;
}

bool VisorOneProfile::ApplyProperty(const char* name, const char* value) {
    if (!name || !value)
        return false;
    if (std::strcmp(name, "EyeCup") == 0) {
        // Only the first character counts.
        EyeCup = value[0] == 'B' ? EyeCup_B : value[0] == 'C' ? EyeCup_C : EyeCup_A;
        return true;
    }
    if (std::strcmp(name, "LL") == 0)
        return TextToInt(value, &LL);
    if (std::strcmp(name, "LR") == 0)
        return TextToInt(value, &LR);
    if (std::strcmp(name, "RL") == 0)
        return TextToInt(value, &RL);
    if (std::strcmp(name, "RR") == 0)
        return TextToInt(value, &RR);
    return Profile::ApplyProperty(name, value);
}

// ---------------------------------------------------------------------------------------------
// ProfileManager

ProfileManager* ProfileManager::Create() {
    return new ProfileManager();
}

ProfileManager::~ProfileManager() {
    Mutex::Locker lock(&ProfileLock);
    if (Changed)
        WriteProfileFile();
    ClearCache();
    std::free(ProfileCache);
}

void ProfileManager::ClearCache() {
    for (int i = 0; i < CacheCount; ++i)
        ProfileCache[i]->Release();
    CacheCount = 0;
    CacheDevice = Profile_Unknown;
}

bool ProfileManager::AddToCache(Profile* profile) {
    if (CacheCount == CacheCapacity) {
        int capacity = CacheCapacity ? CacheCapacity * 2 : 4;
        void* grown = std::realloc(ProfileCache, sizeof(Profile*) * size_t(capacity));
        if (!grown)
            return false;
        ProfileCache = static_cast<Profile**>(grown);
        CacheCapacity = capacity;
    }
    ProfileCache[CacheCount++] = profile;
    return true;
}

Profile* ProfileManager::FindProfile(const char* name) {
    for (int i = 0; i < CacheCount; ++i)
        if (std::strcmp(ProfileCache[i]->Name, name) == 0)
            return ProfileCache[i];
    return nullptr;
}

void ProfileManager::LoadProfiles(ProfileType type) {
    Mutex::Locker lock(&ProfileLock);
    // A cache of another type is reloaded: its profiles would answer for the wrong headset.
    if (CacheDevice != type)
        ReadProfileFile(type);
}

ProfileType ProfileManager::GetLoadedType() {
    Mutex::Locker lock(&ProfileLock);
    return CacheDevice;
}

int ProfileManager::GetProfileCount() {
    Mutex::Locker lock(&ProfileLock);
    return CacheCount;
}

bool ProfileManager::ProfileExists(ProfileType type, const char* name) {
    if (!name)
        return false;
    Mutex::Locker lock(&ProfileLock);
    LoadProfiles(type);
    return FindProfile(name) != nullptr;
}

Profile* ProfileManager::FetchProfile(ProfileType type, const char* name) {
    if (!name)
        return nullptr;
    Mutex::Locker lock(&ProfileLock);
    LoadProfiles(type);
    Profile* profile = FindProfile(name);
    return profile ? profile->Clone() : nullptr;
}

const char* ProfileManager::CurrentProfileName(ProfileType type) {
    Mutex::Locker lock(&ProfileLock);
    LoadProfiles(type);
    // A current name too long for any profile names none of them.
    if (CacheCount == 0 || !Profile::NameFits(DefaultProfile.ToCStr()))
        return nullptr;
    std::strcpy(NameBuff, DefaultProfile.ToCStr());
    return NameBuff;
}

Profile* ProfileManager::MakeProfile(const char* name, ProfileType type, const char** typeName) {
    Mutex::Locker lock(&ProfileLock);
    if (type != Profile_VisorOne || !Profile::NameFits(name))
        return nullptr;
    if (typeName)
        *typeName = VisorOneTypeName;
    return new VisorOneProfile(name);
}

// Reads one "Profile" member; false only when it does not start with its "Name", which ends
// the whole load.
bool ProfileManager::LoadProfileMember(const JSON* member, ProfileType type) {
    const JSON* first = member->GetFirstItem();
    if (!first || first->Name != "Name")
        return false;
    const char* typeName = nullptr;
    Profile* profile = MakeProfile(first->Value.ToCStr(), type, &typeName);
    if (!profile) {
        if (!Profile::NameFits(first->Value.ToCStr()))
            ErrorToLog("Visor::ProfileManager - profile name \"%.*s...\" is longer than %d bytes; "
                       "profile skipped.",
                       int(Profile::MaxNameLength), first->Value.ToCStr(),
                       int(Profile::MaxNameLength));
        return true;
    }
    bool deviceTaken = false;
    for (const JSON* child = member->GetNextItem(first); child;
         child = member->GetNextItem(child)) {
        if (child->Type == JSON_Object) {
            if (deviceTaken || child->Name != typeName)
                continue;
            deviceTaken = true;
            for (const JSON* item = child->GetFirstItem(); item; item = child->GetNextItem(item))
                profile->ApplyProperty(item->Name.ToCStr(), item->Value.ToCStr());
        } else {
            profile->ApplyProperty(child->Name.ToCStr(), child->Value.ToCStr());
        }
    }
    // Only a profile with its headset's settings counts.
    if (!deviceTaken || !AddToCache(profile))
        profile->Release();
    return true;
}

void ProfileManager::ReadProfileFile(ProfileType type) {
    Mutex::Locker lock(&ProfileLock);
    ClearCache();
    DefaultProfile = String();

    String path = ProfileFilePath(false);
    if (path.IsEmpty())
        return;
    const char* error = nullptr;
    JSON* root = JSON::Load(path.ToCStr(), &error);
    if (!root) {
        if (error) {
            ErrorToLog("Visor::ProfileManager - cannot parse \"%s\": %s. Headset settings stay at "
                       "their defaults until the file is fixed.",
                       path.ToCStr(), error);
            return;
        }
        // Load gives no reason for a file it could not read; a second open tells it. A missing
        // file is the normal case of a user without profiles and is not logged.
        SysFile probe(path.ToCStr(), File::Open_Read);
        int code = probe.IsValid() ? int(File::Error_IOError) : probe.GetErrorCode();
        const char* reason = probe.IsValid() ? "read failed" : probe.GetOpenErrorText();
        if (code != File::Error_FileNotFound)
            ErrorToLog("Visor::ProfileManager - cannot read \"%s\": %s (file error 0x%x). Headset "
                       "settings stay at their defaults; make it a readable regular file or "
                       "remove it.",
                       path.ToCStr(), reason ? reason : "unknown error", code);
        return;
    }

    const JSON* version = root->GetFirstItem();
    const JSON* current = version ? root->GetNextItem(version) : nullptr;
    const JSON* countItem = current ? root->GetNextItem(current) : nullptr;
    if (!countItem || version->Name != "Visor Profile Version") {
        ErrorToLog("Visor::ProfileManager - \"%s\" is no profile file: it does not start with "
                   "\"Visor Profile Version\" and two more members.",
                   path.ToCStr());
        root->Release();
        return;
    }
    DefaultProfile = current->Value;

    double countValue = countItem->dValue;
    int count = !(countValue >= 1) ? 0 : countValue > 1e9 ? 1000000000 : int(countValue);
    const JSON* member = root->GetNextItem(countItem);
    for (int i = 0; i < count && member; ++i, member = root->GetNextItem(member)) {
        if (!LoadProfileMember(member, type)) {
            ErrorToLog("Visor::ProfileManager - a profile in \"%s\" does not start with its "
                       "\"Name\"; no profile loaded.",
                       path.ToCStr());
            ClearCache();
            root->Release();
            return;
        }
    }
    CacheDevice = type;
    root->Release();
}

void ProfileManager::WriteProfileFile() {
    JSON* root = JSON::CreateObject();
    if (!root)
        return;
    root->AddNumberItem("Visor Profile Version", 1);
    root->AppendString("CurrentProfile", DefaultProfile.ToCStr());
    root->AddNumberItem("ProfileCount", CacheCount);
    static const char* const genders[] = {"Unspecified", "Male", "Female"};
    static const char* const eyeCups[] = {"A", "B", "C"};
    for (int i = 0; i < CacheCount; ++i) {
        const Profile* profile = ProfileCache[i];
        JSON* item = root->AddObjectItem("Profile");
        if (!item)
            break;
        item->AppendString("Name", profile->Name);
        item->AppendString("Gender",
                           genders[profile->Gender <= Gender_Female ? profile->Gender : 0]);
        item->AddNumberItem("PlayerHeight", profile->PlayerHeight);
        item->AddNumberItem("IPD", profile->IPD);
        if (profile->Type == Profile_VisorOne) {
            const VisorOneProfile* one = static_cast<const VisorOneProfile*>(profile);
            JSON* device = item->AddObjectItem(VisorOneTypeName);
            if (!device)
                break;
            device->AppendString(
                "EyeCup", eyeCups[one->EyeCup <= VisorOneProfile::EyeCup_C ? one->EyeCup : 0]);
            device->AddNumberItem("LL", one->LL);
            device->AddNumberItem("LR", one->LR);
            device->AddNumberItem("RL", one->RL);
            device->AddNumberItem("RR", one->RR);
        }
    }
    // Save logs its own failures with the path and the reason.
    String path = ProfileFilePath(true);
    if (path.IsEmpty())
        ErrorToLog("Visor::ProfileManager - cannot write the profiles: no home folder found; set "
                   "HOME or XDG_DATA_HOME.");
    else
        root->Save(path.ToCStr());
    root->Release();
}

} // namespace Visor
