// The displays the X server drives, read through its RandR extension: each connected output
// with an EDID property the reader accepts, at its CRTC's place on the desktop.
//
// XCB rather than Xlib: this runs on the device thread beside a GL window with its own
// connection, and Xlib's error handlers are process-wide and end the process on a lost server.
// XCB hands every error back with its reply.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include "hmd/devices/log.h"
#include "hmd/tracking/edid.h"
#include "hmd/tracking/hmd_device.h"

namespace Visor {
namespace Linux {

namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply>;

// Waits for a reply; a protocol error (an output gone since it was listed, say) gives null.
template <typename T> Reply<T> Take(T* reply, xcb_generic_error_t* error) {
    std::free(error);
    return Reply<T>(reply);
}

struct Connection {
    xcb_connection_t* C;
    Connection() : C(xcb_connect(nullptr, nullptr)) {}
    ~Connection() { xcb_disconnect(C); }
    bool Ok() const { return C && !xcb_connection_has_error(C); }
};

xcb_atom_t AtomIfExists(xcb_connection_t* c, const char* name) {
    xcb_generic_error_t* error = nullptr;
    auto reply =
        Take(xcb_intern_atom_reply(
                 c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), &error),
             error);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// Graphics devices by output, when the server lists its providers (RandR 1.4).
void MapProviders(xcb_connection_t* c, xcb_window_t root, bool haveProviders, int* nextAdapter,
                  std::map<xcb_randr_output_t, int>* adapters) {
    if (!haveProviders)
        return;
    xcb_generic_error_t* error = nullptr;
    auto providers =
        Take(xcb_randr_get_providers_reply(c, xcb_randr_get_providers(c, root), &error), error);
    if (!providers)
        return;
    const xcb_randr_provider_t* list = xcb_randr_get_providers_providers(providers.get());
    for (int p = 0; p < xcb_randr_get_providers_providers_length(providers.get()); p++) {
        auto info =
            Take(xcb_randr_get_provider_info_reply(
                     c, xcb_randr_get_provider_info(c, list[p], providers->timestamp), &error),
                 error);
        if (!info)
            continue;
        const xcb_randr_output_t* outputs = xcb_randr_get_provider_info_outputs(info.get());
        int adapter = (*nextAdapter)++;
        for (int o = 0; o < xcb_randr_get_provider_info_outputs_length(info.get()); o++)
            adapters->emplace(outputs[o], adapter);
    }
}

bool ReadOutputEdid(xcb_connection_t* c, xcb_randr_output_t output, const xcb_atom_t* atoms,
                    const std::string& name, EdidInfo* edid) {
    for (int a = 0; a < 2; a++) {
        if (atoms[a] == XCB_ATOM_NONE)
            continue;
        xcb_generic_error_t* error = nullptr;
        // Lengths count 32-bit units: an EDID is at most 256 blocks.
        auto property = Take(xcb_randr_get_output_property_reply(
                                 c,
                                 xcb_randr_get_output_property(c, output, atoms[a], XCB_ATOM_ANY, 0,
                                                               256 * EdidBlockSize / 4, 0, 0),
                                 &error),
                             error);
        if (!property || property->num_items == 0)
            continue;
        const char* why = "not a byte array";
        // No more than the reply carries, whatever count the server claims.
        std::size_t size = std::min<std::size_t>(property->num_items, property->length * 4u);
        if (property->format == 8 &&
            ParseEdid(xcb_randr_get_output_property_data(property.get()), size, edid, &why))
            return true;
        TextToLog("Visor::HMDDeviceFactory - Ignoring the EDID of output '%s': %s.\n", name.c_str(),
                  why);
        return false;
    }
    return false;
}

// The outputs as the server last saw them: asking it to probe again can take seconds on some
// hardware, and every change reaches it anyway.
void ListScreenOutputs(xcb_connection_t* c, xcb_window_t root, bool haveProviders,
                       const xcb_atom_t* atoms, int* nextAdapter,
                       std::vector<DisplayMonitor>* monitors) {
    xcb_generic_error_t* error = nullptr;
    auto resources = Take(xcb_randr_get_screen_resources_current_reply(
                              c, xcb_randr_get_screen_resources_current(c, root), &error),
                          error);
    if (!resources)
        return;
    const xcb_randr_output_t* outputs =
        xcb_randr_get_screen_resources_current_outputs(resources.get());
    int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
    xcb_timestamp_t configTime = resources->config_timestamp;
    std::map<xcb_randr_output_t, int> adapters;
    MapProviders(c, root, haveProviders, nextAdapter, &adapters);
    int screenAdapter = -1; // outputs no provider lists share one, made on first use

    for (int o = 0; o < outputCount; o++) {
        auto info = Take(xcb_randr_get_output_info_reply(
                             c, xcb_randr_get_output_info(c, outputs[o], configTime), &error),
                         error);
        if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED)
            continue;
        std::string name(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
        EdidInfo edid;
        if (!ReadOutputEdid(c, outputs[o], atoms, name, &edid))
            continue;
        DisplayMonitor m;
        m.DeviceId = edid.DeviceId;
        m.DisplayName = name.c_str();
        if (info->crtc != XCB_NONE) {
            auto crtc = Take(xcb_randr_get_crtc_info_reply(
                                 c, xcb_randr_get_crtc_info(c, info->crtc, configTime), &error),
                             error);
            if (crtc) {
                m.DesktopX = crtc->x;
                m.DesktopY = crtc->y;
            }
        }
        auto provider = adapters.find(outputs[o]);
        if (provider != adapters.end()) {
            m.Adapter = provider->second;
        } else {
            if (screenAdapter < 0)
                screenAdapter = (*nextAdapter)++;
            m.Adapter = screenAdapter;
        }
        monitors->push_back(m);
    }
}

} // namespace

bool ListXRandRMonitors(std::vector<DisplayMonitor>* monitors) {
    Connection x;
    if (!x.Ok())
        return false; // no X server: the caller falls back to the kernel's list
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(x.C, &xcb_randr_id);
    if (!ext || !ext->present)
        return false;
    xcb_generic_error_t* error = nullptr;
    auto version =
        Take(xcb_randr_query_version_reply(x.C, xcb_randr_query_version(x.C, 1, 4), &error), error);
    // Outputs and their properties came with 1.2, reading them without a probe with 1.3.
    if (!version || (version->major_version == 1 && version->minor_version < 3))
        return false;
    bool haveProviders = version->major_version > 1 || version->minor_version >= 4;
    // Older drivers published the EDID under its earlier name.
    const xcb_atom_t atoms[2] = {AtomIfExists(x.C, "EDID"), AtomIfExists(x.C, "EDID_DATA")};

    std::vector<DisplayMonitor> found;
    int nextAdapter = 0;
    for (xcb_screen_iterator_t s = xcb_setup_roots_iterator(xcb_get_setup(x.C)); s.rem;
         xcb_screen_next(&s))
        ListScreenOutputs(x.C, s.data->root, haveProviders, atoms, &nextAdapter, &found);
    if (xcb_connection_has_error(x.C))
        return false; // the server went away part way: the list may be short
    std::stable_sort(
        found.begin(), found.end(),
        [](const DisplayMonitor& a, const DisplayMonitor& b) { return a.Adapter < b.Adapter; });
    monitors->insert(monitors->end(), found.begin(), found.end());
    return true;
}

} // namespace Linux
} // namespace Visor
