// The headset display: parameters of each known panel, descriptions from tracker data, merging
// with a monitor through a real manager, and displays found on the DRM connectors of a
// software sysfs.
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/hmd_device.h"
#include "hmd/tracking/sensor_device.h"
#include "tests/support/hid_testbed.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <xcb/randr.h>

using namespace Visor;
using Linux::HMDDeviceCreateDesc;
using Linux::HMDDeviceFactory;

namespace {

DisplayMonitor Monitor(const char* id, const char* name, int adapter = 0) {
    DisplayMonitor m;
    m.DeviceId = id;
    m.DisplayName = name;
    m.Adapter = adapter;
    m.DesktopX = 1920 * adapter;
    return m;
}

SensorDisplayInfo SevenInchInfo() {
    SensorDisplayInfo info;
    info.DisplayFormat = SensorDisplayInfo::Format_Distortion;
    info.ResolutionH = 1280;
    info.ResolutionV = 800;
    info.ScreenSizeH = 0.14976f;
    info.ScreenSizeV = 0.0936f;
    info.EyeToScreenDistance[0] = info.EyeToScreenDistance[1] = 0.043f;
    const float k[6] = {1.0f, 0.25f, 0.5f, 0.125f, 9, 9};
    std::copy(k, k + 6, info.DistortionCoeffs);
    return info;
}

// Everything QueryInfo writes, the coefficients' fourth included (7 unless it is written).
std::string Summary(const HMDDeviceCreateDesc& desc) {
    HmdParameters p;
    p.DistortionCoeffs[3] = 7;
    if (!desc.QueryInfo(&p))
        return "refused";
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s/%s %ux%u %g x %g c%g k %g %g %g %g e%g chroma %g %g %g %g "
                  "lens %g ipd %g '%s'",
                  p.Product, p.Manufacturer, p.ResolutionH, p.ResolutionV, p.ScreenSizeH,
                  p.ScreenSizeV, p.ScreenCenterV, p.DistortionCoeffs[0], p.DistortionCoeffs[1],
                  p.DistortionCoeffs[2], p.DistortionCoeffs[3], p.EyeToScreen, p.ChromaCoeffs[0],
                  p.ChromaCoeffs[1], p.ChromaCoeffs[2], p.ChromaCoeffs[3], p.LensSeparation,
                  p.EyeSeparation, p.DisplayName);
    return text;
}

TEST(HmdDescription, EachKnownPanelAndTrackerDataHaveTheirScreenAndOptics) {
    const char* const chroma = " chroma 0.996 -0.004 1.014 0 lens 0.0635 ipd 0.064 ";
    // A monitor's display id, or none for the tracker's data.
    const std::pair<const char*, std::string> rows[] = {
        {"VSR0001",
         std::string("Visor One/Visor Labs 1280x800 0.14976 x 0.0936 c0.0468 k 1 0.22 0.24 7 "
                     "e0.041") +
             chroma + "'DP-1'"},
        {"VSR0002",
         std::string("Visor HD/Visor Labs 1920x1080 0.12096 x 0.06804 c0.03402 k 1 0.18 0.115 7 "
                     "e0.04") +
             chroma + "'DP-1'"},
        {"RTD2205",
         std::string("Visor One-Prototype/Visor Labs 1280x800 0.12096 x 0.0756 c0.0378 k 1 0.18 "
                     "0.115 7 e0.0387") +
             chroma + "'DP-1'"},
        // The tracker's coefficients and lens distance; chroma stays the caller's.
        {nullptr,
         "Visor One/Visor Labs 1280x800 0.14976 x 0.0936 c0.0468 k 1 0.25 0.5 0.125 e0.043 "
         "chroma 1 0 1 0 lens 0.0635 ipd 0.064 ''"},
    };
    for (const auto& [id, expected] : rows)
        EXPECT_EQ(Summary(id ? HMDDeviceCreateDesc::FromMonitor(nullptr, Monitor(id, "DP-1"))
                             : HMDDeviceCreateDesc::FromDisplayInfo(nullptr, SevenInchInfo())),
                  expected);
    TrackerInfo wrongRecord;
    EXPECT_FALSE(
        HMDDeviceCreateDesc::FromMonitor(nullptr, Monitor("VSR0001", "")).QueryInfo(&wrongRecord));
    for (const char* id : {"LGD024F", "AUO4344", "VSR", "DEL0001"})
        EXPECT_FALSE(HMDDeviceFactory::IsHeadsetDisplayId(id)) << id;
    EXPECT_TRUE(HMDDeviceFactory::IsHeadsetDisplayId("VSR0042"));
}

// The monitors the factory under test sees.
std::vector<DisplayMonitor> Monitors;
bool TestMonitors(std::vector<DisplayMonitor>* out) {
    *out = Monitors;
    return true;
}

// Reports a headset described by its tracker, as the tracker's enumeration does.
struct TrackerDisplayFactory : DeviceFactory {
    DeviceFactory* Hmd = nullptr;
    bool Present = true;
    void EnumerateDevices(EnumerateVisitor& visitor) override {
        if (Present)
            visitor.Visit(HMDDeviceCreateDesc::FromDisplayInfo(Hmd, SevenInchInfo()));
    }
};

struct HmdManagerTest : ::testing::Test {
    void SetUp() override {
        System::Init();
        Manager = Linux::DeviceManager::CreateBare();
        ASSERT_TRUE(Manager);
        Hmd = new HMDDeviceFactory(TestMonitors);
        Tracker.Hmd = Hmd;
        Manager->RegisterFactory(&Tracker);
        Manager->AdoptFactory(Hmd);
    }
    void TearDown() override {
        Monitors.clear();
        if (Manager)
            Manager->Release();
        Thread::FinishAllThreads();
        System::Destroy();
    }
    // Product, display name and screen width of every present headset, in list order.
    std::string Listed() {
        std::string text;
        for (DescEnumerator e = Manager->Enumerate(Type_HMD); !e.IsEmpty(); e.Next()) {
            HmdParameters p;
            EXPECT_TRUE(e.GetDeviceInfo(&p));
            text += std::string(p.Product) + "/" + p.DisplayName + "/" +
                    std::to_string(p.ScreenSizeH).substr(0, 7) + ";";
        }
        return text;
    }
    TrackerDisplayFactory Tracker; // outlives the manager
    HMDDeviceFactory* Hmd = nullptr;
    Linux::DeviceManager* Manager = nullptr;
};

TEST_F(HmdManagerTest, MonitorAndTrackerDataMergeIntoOneHeadset) {
    Monitors = {Monitor("LGD024F", "eDP-1"), Monitor("RTD2205", "HDMI-A-1"),
                Monitor("VSR0001", "HDMI-A-2"), Monitor("VSR0002", "DP-1", 1)};
    // The tracker's description comes first; the first headset monitor of adapter 0 takes it
    // over, keeping the tracker's screen; adapter 1's is a second headset.
    EXPECT_EQ(Listed(), "Visor One/HDMI-A-1/0.14976;Visor HD/DP-1/0.12096;");
    Monitors.clear();
    EXPECT_EQ(Listed(), "Visor One/HDMI-A-1/0.14976;") << "still known by its tracker data";
    Tracker.Present = false;
    EXPECT_EQ(Listed(), "") << "both sources gone";
}

TEST_F(HmdManagerTest, WithoutAHeadsetMonitorTheTrackerDataStands) {
    Monitors = {Monitor("LGD024F", "eDP-1")};
    EXPECT_EQ(Listed(), "Visor One//0.14976;");
    Tracker.Present = false;
    EXPECT_EQ(Listed(), "Visor One//0.14976;") << "kept seen by the display factory";
    DescEnumerator e = Manager->Enumerate(Type_HMD);
    auto* hmd = static_cast<HMDDevice*>(e.CreateDevice());
    ASSERT_TRUE(hmd);
    EXPECT_EQ(hmd->OpenSensor(), nullptr) << "no tracker is listed";
    EXPECT_EQ(hmd->ReadProfileName(), "");
    Profile* profile = hmd->CachedProfile();
    ASSERT_TRUE(profile) << "a 7-inch headset without a stored profile gets the default one";
    EXPECT_STREQ(profile->Name, "default");
    EXPECT_FALSE(hmd->ChangeProfileName("nobody"));
    hmd->Release();
}

std::vector<std::uint8_t> CapturedEdid(const char* file) {
    std::ifstream in(std::string(VISOR_TESTDATA_DIR) + "/edid_linuxhw/" + file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The panel's EDID with the headset's display code written in.
std::vector<std::uint8_t> HeadsetEdid(std::vector<std::uint8_t> bytes) {
    const std::uint8_t code[4] = {0x5A, 0x72, 0x01, 0x00}; // "VSR", 0x0001
    std::copy(code, code + 4, bytes.begin() + 8);
    unsigned sum = 0;
    for (int i = 0; i < 127; i++)
        sum += bytes[i];
    bytes[127] = static_cast<std::uint8_t>(-sum);
    return bytes;
}

using DrmMonitorTest = Visor::test::HidTestbedTest;

TEST_F(DrmMonitorTest, ConnectedConnectorsWithAReadableEdidAreListedByCard) {
    std::vector<std::uint8_t> panel = CapturedEdid("panel_1280x800/LGD024F_17EAEDAA14C8.bin");
    if (panel.size() != 128)
        GTEST_SKIP() << "no captured EDIDs beside the repository";
    ASSERT_FALSE(Testbed->AddDisplay(0, "eDP-1", panel).empty());
    ASSERT_FALSE(Testbed->AddDisplay(0, "HDMI-A-1", HeadsetEdid(panel), false).empty());
    ASSERT_FALSE(Testbed->AddDisplay(1, "DP-2", HeadsetEdid(panel)).empty());
    ASSERT_FALSE(Testbed->AddDisplay(1, "DP-3", {0x00, 0xFF, 0x12}).empty()); // damaged
    ASSERT_FALSE(Testbed->AddDisplay(1, "DP-4", {}).empty());                 // nothing read
    std::vector<DisplayMonitor> found;
    ASSERT_TRUE(Linux::ListDrmMonitors(&found));
    std::string text;
    for (const DisplayMonitor& m : found)
        text += std::to_string(m.Adapter) + ":" + m.DisplayName.ToCStr() + "=" +
                m.DeviceId.ToCStr() + ";";
    EXPECT_EQ(text, "0:eDP-1=LGD024F;1:DP-2=VSR0001;")
        << "the laptop panel is listed but is no headset; a disconnected one is not listed";
}

// The X server's first connected output, given an EDID property and, on a smaller mode of its
// own, moved right; all put back on destruction.
class XOutput {
public:
    XOutput() : C(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(C))
            return;
        Root = xcb_setup_roots_iterator(xcb_get_setup(C)).data->root;
        auto* r = xcb_randr_get_screen_resources_current_reply(
            C, xcb_randr_get_screen_resources_current(C, Root), nullptr);
        for (int i = 0; r && i < xcb_randr_get_screen_resources_current_outputs_length(r); i++) {
            xcb_randr_output_t o = xcb_randr_get_screen_resources_current_outputs(r)[i];
            auto* info = xcb_randr_get_output_info_reply(
                C, xcb_randr_get_output_info(C, o, r->config_timestamp), nullptr);
            if (info && info->connection == XCB_RANDR_CONNECTION_CONNECTED && info->crtc &&
                !Output) {
                Output = o;
                Crtc = info->crtc;
                auto* crtc = xcb_randr_get_crtc_info_reply(
                    C, xcb_randr_get_crtc_info(C, Crtc, r->config_timestamp), nullptr);
                if (crtc) {
                    Mode = crtc->mode;
                    Width = crtc->width;
                    Height = crtc->height;
                }
                std::free(crtc);
            }
            std::free(info);
        }
        std::free(r);
        auto* atom = xcb_intern_atom_reply(C, xcb_intern_atom(C, 0, 4, "EDID"), nullptr);
        Edid = atom ? atom->atom : 0;
        std::free(atom);
    }
    ~XOutput() {
        if (Output) {
            xcb_randr_delete_output_property(C, Output, Edid);
            if (Moved) {
                Place(0, Mode);
                xcb_randr_delete_output_mode(C, Output, Moved);
                xcb_randr_destroy_mode(C, Moved);
            }
        }
        Sync();
        xcb_disconnect(C);
    }
    bool Ok() const { return Output && Mode && Edid; }
    void SetEdid(const std::vector<std::uint8_t>& bytes) {
        xcb_randr_change_output_property(C, Output, Edid, XCB_ATOM_INTEGER, 8,
                                         XCB_PROP_MODE_REPLACE, bytes.size(), bytes.data());
        Sync();
    }
    // Shows the output at (x, 0) in a mode half the screen's width.
    bool MoveTo(std::int16_t x) {
        xcb_randr_mode_info_t info = {};
        info.width = static_cast<std::uint16_t>(Width / 2);
        info.height = Height;
        info.dot_clock = 60u * info.width * info.height;
        info.htotal = info.width;
        info.vtotal = info.height;
        info.name_len = 4;
        auto* mode = xcb_randr_create_mode_reply(C, xcb_randr_create_mode(C, Root, info, 4, "half"),
                                                 nullptr);
        Moved = mode ? mode->mode : 0;
        std::free(mode);
        if (!Moved)
            return false;
        xcb_randr_add_output_mode(C, Output, Moved);
        return Place(x, Moved);
    }
    xcb_connection_t* C;

private:
    void Sync() { std::free(xcb_get_input_focus_reply(C, xcb_get_input_focus(C), nullptr)); }
    bool Place(std::int16_t x, xcb_randr_mode_t mode) {
        auto* r = xcb_randr_set_crtc_config_reply(
            C,
            xcb_randr_set_crtc_config(C, Crtc, XCB_CURRENT_TIME, XCB_CURRENT_TIME, x, 0, mode,
                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &Output),
            nullptr);
        bool ok = r && r->status == XCB_RANDR_SET_CONFIG_SUCCESS;
        std::free(r);
        return ok;
    }
    xcb_window_t Root = 0;
    xcb_randr_output_t Output = 0;
    xcb_randr_crtc_t Crtc = 0;
    xcb_randr_mode_t Mode = 0, Moved = 0;
    std::uint16_t Width = 0, Height = 0;
    xcb_atom_t Edid = 0;
};

using DesktopMonitorTest = Visor::test::HidTestbedTest;

TEST_F(DesktopMonitorTest, TheXServersOutputsComeFirstAtTheirPlaceThenConnectorsItDoesNotShow) {
    std::vector<std::uint8_t> panel = CapturedEdid("panel_1280x800/LGD024F_17EAEDAA14C8.bin");
    XOutput x;
    if (panel.size() != 128 || !x.Ok())
        GTEST_SKIP() << "needs the captured EDIDs and an X server with RandR outputs";
    ASSERT_TRUE(x.MoveTo(640));
    ASSERT_FALSE(Testbed->AddDisplay(0, "eDP-1", panel).empty());
    ASSERT_FALSE(Testbed->AddDisplay(0, "DP-1", HeadsetEdid(panel)).empty());
    ASSERT_FALSE(Testbed->AddDisplay(1, "DP-2", HeadsetEdid(panel)).empty());
    // What the X output holds; "-" runs without a reachable server.
    const std::pair<std::vector<std::uint8_t>, std::string> rows[] = {
        // The output is the headset on DP-1; the second one, on card 1, is not the server's.
        {HeadsetEdid(panel), "0:screen=VSR0001@640,0;1:eDP-1=LGD024F@0,0;2:DP-2=VSR0001@0,0;"},
        {{0x00, 0xFF, 0xFF, 0x00}, "0:DP-1=VSR0001@0,0;0:eDP-1=LGD024F@0,0;1:DP-2=VSR0001@0,0;"},
        {{}, "-0:DP-1=VSR0001@0,0;0:eDP-1=LGD024F@0,0;1:DP-2=VSR0001@0,0;"},
    };
    for (const auto& [edid, expected] : rows) {
        x.SetEdid(edid);
        std::string display = std::getenv("DISPLAY");
        std::string text;
        if (expected[0] == '-') {
            unsetenv("DISPLAY");
            text = "-";
        }
        std::vector<DisplayMonitor> found;
        EXPECT_TRUE(Linux::ListDesktopMonitors(&found));
        setenv("DISPLAY", display.c_str(), 1);
        for (const DisplayMonitor& m : found)
            text += std::to_string(m.Adapter) + ":" + m.DisplayName.ToCStr() + "=" +
                    m.DeviceId.ToCStr() + "@" + std::to_string(m.DesktopX) + "," +
                    std::to_string(m.DesktopY) + ";";
        EXPECT_EQ(text, expected);
    }
}

} // namespace

namespace {

using VirtualHeadsetTest = Visor::test::HidTestbedTest;

TEST_F(VirtualHeadsetTest, ATrackerWithDisplayInformationIsAHeadsetWhoseSensorOpens) {
    ASSERT_FALSE(Testbed->AddDevice(std::make_shared<VirtualTracker>()).empty());
    System::Init();
    DeviceManager* manager = DeviceManager::Create();
    ASSERT_TRUE(manager);
    DescEnumerator e = manager->Enumerate(Type_HMD);
    HmdParameters p;
    ASSERT_TRUE(e.GetDeviceInfo(&p)) << "no headset monitor is needed";
    EXPECT_STREQ(p.Product, "Visor One");
    EXPECT_EQ(p.ResolutionH, 1280u);
    EXPECT_EQ(p.EyeToScreen, 0.041f);
    EXPECT_EQ(p.DistortionCoeffs[1], 0.22f);
    auto* hmd = static_cast<HMDDevice*>(e.CreateDevice());
    ASSERT_TRUE(hmd);
    SensorDevice* sensor = hmd->OpenSensor();
    ASSERT_TRUE(sensor);
    EXPECT_EQ(sensor->GetFrame(), SensorDevice::HeadsetAxes);
    sensor->Release();
    hmd->Release();
    e.Clear();
    manager->Release();
    Thread::FinishAllThreads();
    System::Destroy();
}

} // namespace
