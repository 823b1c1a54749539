// The connected displays on Linux, read from the kernel's DRM connectors: each connector of a
// card that reports "connected" and holds an EDID the reader accepts; and the desktop's list,
// the X server's outputs completed by those connectors.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libudev.h>

#include "hmd/devices/log.h"
#include "hmd/tracking/edid.h"
#include "hmd/tracking/hmd_device.h"

namespace Visor {
namespace Linux {

namespace {

// An EDID is at most 256 blocks; a connector file larger than that is not one.
constexpr std::size_t MaxEdidSize = 256 * EdidBlockSize;

// "card1-HDMI-A-2" -> adapter 1, connector "HDMI-A-2".
bool SplitConnectorName(const char* sysname, int* adapter, const char** connector) {
    if (std::strncmp(sysname, "card", 4) != 0)
        return false;
    char* end = nullptr;
    long card = std::strtol(sysname + 4, &end, 10);
    if (end == sysname + 4 || *end != '-' || !end[1] || card < 0 || card > 255)
        return false;
    *adapter = static_cast<int>(card);
    *connector = end + 1;
    return true;
}

bool ReadEdid(const char* syspath, EdidInfo* info) {
    char path[4096];
    if (std::snprintf(path, sizeof path, "%s/edid", syspath) >= static_cast<int>(sizeof path))
        return false;
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    static thread_local std::uint8_t bytes[MaxEdidSize];
    std::size_t size = std::fread(bytes, 1, sizeof bytes, f);
    std::fclose(f);
    const char* why = nullptr;
    if (size == 0)
        return false; // connected but nothing read yet
    if (!ParseEdid(bytes, size, info, &why)) {
        TextToLog("Visor::HMDDeviceFactory - Ignoring the EDID of '%s': %s.\n", syspath, why);
        return false;
    }
    return true;
}

} // namespace

bool ListDrmMonitors(std::vector<DisplayMonitor>* monitors) {
    udev* u = udev_new();
    if (!u)
        return false;
    udev_enumerate* e = udev_enumerate_new(u);
    if (!e) {
        udev_unref(u);
        return false;
    }
    udev_enumerate_add_match_subsystem(e, "drm");
    udev_enumerate_scan_devices(e);
    // Listed sorted by path, so the connectors of one card come together.
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
        udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (!d)
            continue;
        int adapter = 0;
        const char* connector = nullptr;
        const char* status = udev_device_get_sysattr_value(d, "status");
        EdidInfo edid;
        if (SplitConnectorName(udev_device_get_sysname(d), &adapter, &connector) && status &&
            std::strncmp(status, "connected", 9) == 0 &&
            ReadEdid(udev_device_get_syspath(d), &edid)) {
            DisplayMonitor m;
            m.DeviceId = edid.DeviceId;
            m.DisplayName = connector;
            m.Adapter = adapter;
            monitors->push_back(m);
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
    udev_unref(u);
    return true;
}

bool ListDesktopMonitors(std::vector<DisplayMonitor>* monitors) {
    std::vector<DisplayMonitor> shown, connectors;
    bool haveX = ListXRandRMonitors(&shown);
    bool haveDrm = ListDrmMonitors(&connectors);
    // A connector whose panel the X server already lists is that output; each output pairs
    // with one connector, so a second identical panel the server does not drive still shows.
    const std::size_t serverCount = shown.size();
    std::vector<bool> paired(serverCount);
    int adapterBase = 0;
    for (const DisplayMonitor& m : shown)
        adapterBase = std::max(adapterBase, m.Adapter + 1);
    for (DisplayMonitor& c : connectors) {
        std::size_t i = 0;
        while (i < serverCount && (paired[i] || shown[i].DeviceId != c.DeviceId))
            i++;
        if (i < serverCount) {
            paired[i] = true;
            continue;
        }
        c.Adapter += adapterBase; // cards never share an adapter with the server's devices
        shown.push_back(c);
    }
    monitors->insert(monitors->end(), shown.begin(), shown.end());
    return haveX || haveDrm;
}

} // namespace Linux
} // namespace Visor
