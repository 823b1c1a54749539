// The headset display: descriptions from monitors and from tracker data, their merging, the
// parameters record with the optics of each kind, and the device with its profile.
#include "hmd/tracking/hmd_device.h"

#include <cstring>

#include "hmd/devices/log.h"
#include "hmd/tracking/sensor_device.h"

namespace Visor {
namespace Linux {

namespace {

// The display codes of headset panels, tested in this order.
const char* const HeadsetCodes[] = {"RTD2205", "CVT0003", "MST0030", "VSR00"};

bool Contains(const String& text, const char* part) {
    return std::strstr(text.ToCStr(), part) != nullptr;
}

constexpr float LensSeparation = 0.0635f;
constexpr float DefaultEyeSeparation = 0.064f;

// The headset's manager with a reference for the caller, or null once it has shut down. A
// description may be asked from any thread while the manager goes away.
Ptr<DeviceBase> ManagerOf(const DeviceCreateDesc& desc) {
    if (!desc.Lock)
        return Ptr<DeviceBase>();
    Mutex::Locker locked(&desc.Lock->ListLock);
    return Ptr<DeviceBase>(desc.Lock->Manager.load());
}

class HMDDeviceImpl : public DeviceImpl<Visor::HMDDevice> {
public:
    explicit HMDDeviceImpl(HMDDeviceCreateDesc* desc) : DeviceImpl<Visor::HMDDevice>(desc) {}

    const HMDDeviceCreateDesc* GetDesc() const {
        return static_cast<const HMDDeviceCreateDesc*>(Desc.GetDesc());
    }

    bool Initialize(DeviceBase* parent) override {
        (void)parent;
        SetProfileName(GetDesc()->DefaultProfileName());
        return true;
    }

    void Shutdown() override {
        SetProfileName(String());
        Mutex::Locker locked(&ProfileLock);
        Cached.Clear();
    }

    SensorDevice* OpenSensor() override {
        DeviceManager* manager = GetManager();
        if (!manager)
            return nullptr;
        DescEnumerator e = manager->Enumerate(Type_Sensor, true);
        if (e.IsEmpty())
            return nullptr;
        auto* sensor = static_cast<SensorDevice*>(e.CreateDevice());
        if (sensor)
            sensor->SetFrame(SensorDevice::HeadsetAxes);
        return sensor;
    }

    Profile* CachedProfile() override {
        {
            Mutex::Locker locked(&ProfileLock);
            if (Cached)
                return Cached.GetPtr();
        }
        // Looked up without ProfileLock: the lookup takes ListLock, which comes first.
        Ptr<Profile> fetched = Ptr<Profile>::Adopt(GetDesc()->LookupProfile());
        Mutex::Locker locked(&ProfileLock);
        if (!Cached)
            Cached = fetched;
        return Cached.GetPtr();
    }

    String ReadProfileName() const override {
        Mutex::Locker locked(&ProfileLock);
        return ProfileName;
    }

    bool ChangeProfileName(const char* name) override {
        {
            Mutex::Locker locked(&ProfileLock);
            Cached.Clear();
        }
        if (!name) {
            SetProfileName(String());
            return false;
        }
        Ptr<DeviceBase> manager = ManagerOf(*GetDesc());
        ProfileManager* store =
            manager ? static_cast<DeviceManager*>(manager.GetPtr())->ProfileStore() : nullptr;
        if (!store || !store->ProfileExists(GetDesc()->GetProfileType(), name))
            return false;
        SetProfileName(String(name));
        return true;
    }

private:
    void SetProfileName(const String& name) {
        Mutex::Locker locked(&ProfileLock);
        ProfileName = name;
    }

    // The name and the cached profile are used from the application's thread and from the
    // description's lookups on the device thread.
    mutable Mutex ProfileLock;
    String ProfileName;
    Ptr<Profile> Cached;
};

} // namespace

HMDDeviceCreateDesc::HMDDeviceCreateDesc(DeviceFactory* factory, const String& deviceId,
                                         const String& displayName)
    : DeviceCreateDesc(factory, Type_HMD), DeviceId(deviceId), DisplayName(displayName) {}

HMDDeviceCreateDesc HMDDeviceCreateDesc::FromMonitor(DeviceFactory* factory,
                                                     const DisplayMonitor& monitor) {
    HMDDeviceCreateDesc desc(factory, monitor.DeviceId, monitor.DisplayName);
    desc.DesktopX = monitor.DesktopX;
    desc.DesktopY = monitor.DesktopY;
    if (Contains(desc.DeviceId, "VSR0002")) {
        desc.ResolutionH = 1920;
        desc.ResolutionV = 1080;
        desc.ScreenSizeH = 0.12096f;
        desc.ScreenSizeV = 0.06804f;
    } else {
        desc.ResolutionH = 1280;
        desc.ResolutionV = 800;
        desc.ScreenSizeH = desc.Is7Inch() ? 0.14976f : 0.12096f;
        desc.ScreenSizeV = desc.Is7Inch() ? 0.0936f : 0.0756f;
    }
    desc.Contents |= Contents_Screen;
    return desc;
}

HMDDeviceCreateDesc HMDDeviceCreateDesc::FromDisplayInfo(DeviceFactory* factory,
                                                         const SensorDisplayInfo& info) {
    HMDDeviceCreateDesc desc(factory, String(), String());
    desc.ResolutionH = info.ResolutionH;
    desc.ResolutionV = info.ResolutionV;
    desc.ScreenSizeH = info.ScreenSizeH;
    desc.ScreenSizeV = info.ScreenSizeV;
    desc.Contents |= Contents_Screen;
    if (info.HasDistortion()) {
        std::memcpy(desc.DistortionCoeffs, info.DistortionCoeffs, sizeof desc.DistortionCoeffs);
        desc.EyeToScreen = info.EyeToScreenDistance[0];
        desc.Contents |= Contents_Distortion;
    }
    if (info.ScreenSizeH > 0.14f)
        desc.Contents |= Contents_7Inch;
    return desc;
}

DeviceCreateDesc* HMDDeviceCreateDesc::Clone() const {
    return new HMDDeviceCreateDesc(*this);
}

DeviceBase* HMDDeviceCreateDesc::MakeDevice() {
    return new HMDDeviceImpl(this);
}

float HMDDeviceCreateDesc::TableEyeToScreen() const {
    return Is7Inch() ? 0.041f : ResolutionH == 1920 ? 0.04f : 0.0387f;
}

bool HMDDeviceCreateDesc::Is7Inch() const {
    return Contains(DeviceId, "VSR0001") || (Contents & Contents_7Inch);
}

ProfileType HMDDeviceCreateDesc::GetProfileType() const {
    return ResolutionH < 1920 ? Profile_VisorOne : Profile_VisorHD;
}

String HMDDeviceCreateDesc::DefaultProfileName() const {
    Ptr<DeviceBase> manager = ManagerOf(*this);
    if (!manager)
        return String();
    {
        Mutex::Locker locked(&Lock->ListLock);
        if (Device)
            return static_cast<HMDDeviceImpl*>(Device)->ReadProfileName();
    }
    ProfileManager* store = static_cast<DeviceManager*>(manager.GetPtr())->ProfileStore();
    if (!store)
        return String();
    Mutex::Locker locked(store->GetLock());
    const char* name = store->CurrentProfileName(GetProfileType());
    return String(name ? name : "");
}

Profile* HMDDeviceCreateDesc::LookupProfile() const {
    String name = DefaultProfileName();
    Ptr<DeviceBase> manager = ManagerOf(*this);
    ProfileManager* store =
        manager ? static_cast<DeviceManager*>(manager.GetPtr())->ProfileStore() : nullptr;
    if (store && !name.IsEmpty())
        return store->FetchProfile(GetProfileType(), name.ToCStr());
    return GetProfileType() == Profile_VisorOne ? new VisorOneProfile("default") : nullptr;
}

bool HMDDeviceCreateDesc::QueryInfo(DeviceInfoRecord* info) const {
    if (!info || (info->RecordType != Type_HMD && info->RecordType != Type_None))
        return false;
    const char* product = Is7Inch()            ? "Visor One"
                          : ResolutionH < 1920 ? "Visor One-Prototype"
                                               : "Visor HD";
    DeviceInfoRecord::SetName(info->Product, product);
    DeviceInfoRecord::SetName(info->Manufacturer, "Visor Labs");
    info->Type = Type_HMD;
    info->Version = 0;
    if (info->RecordType != Type_HMD)
        return true;

    auto* hmd = static_cast<HmdParameters*>(info);
    hmd->DesktopX = DesktopX;
    hmd->DesktopY = DesktopY;
    hmd->ResolutionH = static_cast<std::uint32_t>(ResolutionH);
    hmd->ResolutionV = static_cast<std::uint32_t>(ResolutionV);
    hmd->ScreenSizeH = ScreenSizeH;
    hmd->ScreenSizeV = ScreenSizeV;
    hmd->ScreenCenterV = ScreenSizeV * 0.5f;
    hmd->LensSeparation = LensSeparation;
    hmd->EyeSeparation = DefaultEyeSeparation;
    if (Profile* profile = LookupProfile()) {
        hmd->EyeSeparation = profile->IPD;
        profile->Release();
    }
    if (Contents & Contents_Distortion) {
        std::memcpy(hmd->DistortionCoeffs, DistortionCoeffs, sizeof DistortionCoeffs);
        // Without a lens distance the projection of each eye would collapse to a point, so
        // the tracker's own is given, else the one of the known optics.
        hmd->EyeToScreen = EyeToScreen > 0 ? EyeToScreen : TableEyeToScreen();
    } else {
        // Known optics; the fourth coefficient stays the caller's.
        hmd->DistortionCoeffs[0] = 1.0f;
        hmd->DistortionCoeffs[1] = Is7Inch() ? 0.22f : 0.18f;
        hmd->DistortionCoeffs[2] = Is7Inch() ? 0.24f : 0.115f;
        hmd->EyeToScreen = TableEyeToScreen();
        const float chroma[4] = {0.996f, -0.004f, 1.014f, 0.0f};
        std::memcpy(hmd->ChromaCoeffs, chroma, sizeof chroma);
    }
    DeviceInfoRecord::SetName(hmd->DisplayName, DisplayName.ToCStr());
    return true;
}

DeviceCreateDesc::MatchResult HMDDeviceCreateDesc::SameDevice(const DeviceCreateDesc& other,
                                                              DeviceCreateDesc** candidate) const {
    if (other.Type != Type_HMD || other.Factory != Factory)
        return NoMatch;
    const auto& o = static_cast<const HMDDeviceCreateDesc&>(other);
    auto self = const_cast<HMDDeviceCreateDesc*>(this);
    if (DeviceId == o.DeviceId && DisplayName == o.DisplayName &&
        (!DeviceId.IsEmpty() || (ScreenSizeH == o.ScreenSizeH && ScreenSizeV == o.ScreenSizeV))) {
        *candidate = nullptr;
        return Matched;
    }
    if (ResolutionH == o.ResolutionH && ResolutionV == o.ResolutionV &&
        ScreenSizeH == o.ScreenSizeH && ScreenSizeV == o.ScreenSizeV) {
        if (DeviceId.IsEmpty() && !o.DeviceId.IsEmpty()) {
            *candidate = self;
            return Candidate;
        }
        *candidate = nullptr;
        return Matched;
    }
    if (DeviceId.IsEmpty() || o.DeviceId.IsEmpty()) {
        *candidate = self;
        return Candidate;
    }
    return NoMatch;
}

bool HMDDeviceCreateDesc::AcceptCandidate(const DeviceCreateDesc& other, bool* isNew) {
    const auto& o = static_cast<const HMDDeviceCreateDesc&>(other);
    *isNew = false;
    if (o.DeviceId.IsEmpty()) {
        // The tracker's own description of its screen wins over the monitor table's.
        ScreenSizeH = o.ScreenSizeH;
        ScreenSizeV = o.ScreenSizeV;
        Contents |= Contents_Screen;
        if (o.Contents & Contents_Distortion) {
            std::memcpy(DistortionCoeffs, o.DistortionCoeffs, sizeof DistortionCoeffs);
            EyeToScreen = o.EyeToScreen;
            Contents |= Contents_Distortion;
        }
    } else if (!DeviceId.IsEmpty()) {
        return true;
    }
    DeviceId = o.DeviceId;
    DisplayName = o.DisplayName;
    DesktopX = o.DesktopX;
    DesktopY = o.DesktopY;
    *isNew = true;
    return true;
}

bool HMDDeviceFactory::IsHeadsetDisplayId(const char* deviceId) {
    if (!deviceId)
        return false;
    for (const char* code : HeadsetCodes)
        if (std::strstr(deviceId, code))
            return true;
    return false;
}

void HMDDeviceFactory::EnumerateDevices(EnumerateVisitor& visitor) {
    std::vector<DisplayMonitor> monitors;
    if (Source)
        Source(&monitors);
    bool found = false;
    bool adapterDone = false;
    for (std::size_t i = 0; i < monitors.size(); i++) {
        // Only the first headset display of each adapter counts.
        if (i > 0 && monitors[i].Adapter != monitors[i - 1].Adapter)
            adapterDone = false;
        if (adapterDone || !IsHeadsetDisplayId(monitors[i].DeviceId.ToCStr()))
            continue;
        visitor.Visit(HMDDeviceCreateDesc::FromMonitor(this, monitors[i]));
        adapterDone = found = true;
    }
    if (!found && Manager) {
        // A headset described by its tracker alone must not be reported removed.
        DescHandle trackerMade = Manager->FindByPath("", Type_HMD);
        if (DeviceCreateDesc* desc = trackerMade.GetDesc())
            desc->Seen = true;
    }
}

} // namespace Linux
} // namespace Visor
