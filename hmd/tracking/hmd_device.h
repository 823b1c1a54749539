// The headset's display as a device of the device tree: its parameters record, the device the
// application opens, and on Linux the factory that finds it among the connected displays or in
// the tracker's display information, with the description both sources merge into.
#pragma once

#include <cstdint>
#include <vector>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/visor_string.h"
#include "hmd/support/profile.h"
#include "hmd/tracking/sensor_reports.h"

namespace Visor {

class SensorDevice;

// Filled by QueryInfo with RecordType Type_HMD. Lengths in metres.
struct HmdParameters : DeviceInfoRecord {
    HmdParameters() : DeviceInfoRecord(Type_HMD) { Type = Type_HMD; }
    std::uint32_t ResolutionH = 0, ResolutionV = 0;
    float ScreenSizeH = 0, ScreenSizeV = 0;
    float ScreenCenterV = 0; // half the screen's height
    float EyeToScreen = 0;
    float LensSeparation = 0; // between the two lens centres
    float EyeSeparation = 0;  // the wearer's interpupillary distance
    float DistortionCoeffs[4] = {1, 0, 0, 0};
    float ChromaCoeffs[4] = {1, 0, 1, 0};
    std::int32_t DesktopX = 0, DesktopY = 0;
    char DisplayName[32] = {};
};

// An open headset display. Any thread but a message handler's.
class HMDDevice : public DeviceBase {
public:
    DeviceKind GetType() const override { return Type_HMD; }
    // The first available tracker, set to report in headset axes, with one reference for the
    // caller; null when there is none.
    virtual SensorDevice* OpenSensor() = 0;
    // The wearer's profile, fetched on first use; not a reference for the caller. Null when
    // there is none.
    virtual Profile* CachedProfile() = 0;
    virtual String ReadProfileName() const = 0;
    // Selects the named profile when the store has it; a null name clears the selection.
    virtual bool ChangeProfileName(const char* name) = 0;
};

// One connected display as the platform lists it.
struct DisplayMonitor {
    String DeviceId;    // the EDID's manufacturer letters and product code: "VSR0001"
    String DisplayName; // the output's name
    std::int32_t DesktopX = 0, DesktopY = 0;
    int Adapter = 0; // the graphics device it is connected to
};

// The connected displays with a readable EDID, grouped by adapter in the platform's order.
using DisplayMonitorSource = bool (*)(std::vector<DisplayMonitor>* monitors);

namespace Linux {

// Connected DRM connectors under /sys/class/drm with their EDID; adapter = the card number,
// name = the connector ("HDMI-A-1"), desktop position (0, 0). False when udev cannot be asked.
bool ListDrmMonitors(std::vector<DisplayMonitor>* monitors);
// Connected outputs of the X server with an EDID property; name = the output ("DP-1"), desktop
// position = its CRTC's, adapter = the graphics device driving it. False when no X server with
// RandR 1.3 answers.
bool ListXRandRMonitors(std::vector<DisplayMonitor>* monitors);
// The X server's outputs, then any DRM connector it does not show (a headset on another card,
// or a server that publishes no EDIDs) at (0, 0). False when neither can be asked.
bool ListDesktopMonitors(std::vector<DisplayMonitor>* monitors);

class HMDDeviceCreateDesc : public DeviceCreateDesc {
public:
    enum : unsigned { Contents_Screen = 1, Contents_Distortion = 2, Contents_7Inch = 4 };

    HMDDeviceCreateDesc(DeviceFactory* factory, const String& deviceId, const String& displayName);
    // A description of a recognised monitor, its screen from the table of known panels.
    static HMDDeviceCreateDesc FromMonitor(DeviceFactory* factory, const DisplayMonitor& monitor);
    // A description from the tracker's display information.
    static HMDDeviceCreateDesc FromDisplayInfo(DeviceFactory* factory,
                                               const SensorDisplayInfo& info);

    DeviceCreateDesc* Clone() const override;
    DeviceBase* MakeDevice() override;
    // Type_None or Type_HMD records; texts too long for their field are cut between characters.
    bool QueryInfo(DeviceInfoRecord* info) const override;
    bool SameDevice(const char* path) const override { return path && DeviceId == path; }
    MatchResult SameDevice(const DeviceCreateDesc& other,
                           DeviceCreateDesc** candidate) const override;
    bool AcceptCandidate(const DeviceCreateDesc& other, bool* isNew) override;

    bool Is7Inch() const;
    // The lens distance of the known optics of this kind of headset.
    float TableEyeToScreen() const;
    ProfileType GetProfileType() const;
    // The wearer's profile name: the live device's, else the store's default; empty without.
    String DefaultProfileName() const;
    // The profile for this headset with one reference, a default one for the 7-inch kind when
    // the store names none, or null.
    Profile* LookupProfile() const;

    String DeviceId;
    String DisplayName;
    std::int32_t DesktopX = 0, DesktopY = 0;
    unsigned Contents = 0;
    std::int32_t ResolutionH = 0, ResolutionV = 0;
    float ScreenSizeH = 0, ScreenSizeV = 0;
    float DistortionCoeffs[4] = {};
    // The tracker's lens distance; 0 when the description has none.
    float EyeToScreen = 0;

protected:
    HMDDeviceCreateDesc(const HMDDeviceCreateDesc& other) = default;
};

// Finds headset displays among the connected monitors. It claims no HID device.
class HMDDeviceFactory : public DeviceFactory {
public:
    explicit HMDDeviceFactory(DisplayMonitorSource source = ListDesktopMonitors) : Source(source) {}

    // Device thread, ListLock held: the first recognised monitor of each adapter; with none, a
    // description made from the tracker's display information stays seen.
    void EnumerateDevices(EnumerateVisitor& visitor) override;
    // Whether a display's id names a headset panel.
    static bool IsHeadsetDisplayId(const char* deviceId);

private:
    DisplayMonitorSource Source;
};

} // namespace Linux
} // namespace Visor
