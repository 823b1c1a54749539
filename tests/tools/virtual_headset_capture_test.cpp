// The virtual headset session in a test process (the device stack finds it and fuses its turn),
// and the capture tool running the demo with it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/hmd_device.h"
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"
#include "tests/support/command.h"
#include "tools/capture/capture_options.h"
#include "tools/capture/image_stats.h"
#include "tools/virtual_headset/virtual_headset_session.h"

namespace {

using namespace Visor;
using namespace ombrel::capture;

// A quarter turn left (positive, about world up) takes the fused view from -Z to -X.
TEST(VirtualHeadsetSession, TheStackFindsTheHeadsetAndFusesTheScriptedTurn) {
    MotionScript script;
    ASSERT_TRUE(script.Parse("still 200ms\nyaw 1s 90deg/s\nstill 300ms\n", nullptr));
    VirtualHeadsetSession session;
    ASSERT_TRUE(session.Open(script, nullptr));
    System::Init();
    DeviceManager* manager = DeviceManager::Create();
    DescEnumerator e = manager->Enumerate(Type_HMD);
    auto* hmd = static_cast<HMDDevice*>(e.CreateDevice());
    SensorDevice* sensor = hmd ? hmd->OpenSensor() : nullptr;
    ASSERT_TRUE(sensor);
    auto fusion = std::make_unique<SensorFusion>();
    ASSERT_TRUE(fusion->AttachSensor(sensor) && session.StartMotion());
    while (!session.IsMotionOver())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last reports
    const Vector3f view = fusion->ReadOrientation().Rotate(Vector3f(0, 0, -1));
    EXPECT_LT(std::hypot(view.x + 1, view.y, view.z), 0.05)
        << view.x << " " << view.y << " " << view.z; // 3 degrees
    fusion.reset();
    sensor->Release();
    hmd->Release();
    e.Clear();
    manager->Release();
    Thread::FinishAllThreads();
    System::Destroy();
}

// Started without the preload, the tool restarts under it (once: a restart that did not take
// is refused) and shows the headset's stereo, lens-warped view (dark corners in each half, two
// alike eye images), turning with the head.
TEST(VirtualHeadsetCapture, TheDemoShowsTheHeadsetsStereoViewTurningAsScripted) {
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
        GTEST_SKIP() << "no display: run under xvfb-run";
    const std::string tool = "env -u LD_PRELOAD " CAPTURE_BINARY " --virtual-headset";
    std::string out;
    EXPECT_EQ(ombrel::test::runCommand("env VISOR_VIRTUAL_HEADSET_REEXEC=1 " + tool, out), 1);
    EXPECT_NE(out.find("preload is not in effect"), std::string::npos) << out;
    const std::string base = "/tmp/nadirport_headset_" + std::to_string(getpid());
    for (int sign : {1, -1}) {
        std::ofstream(base + ".motion") << "still 300ms\nyaw 9s " << sign * 10 << "deg/s\n";
        const std::string args = "=" + base + ".motion --size 480x300 --every 1 --quiet --out ";
        ASSERT_EQ(ombrel::test::runCommand(tool + args + base + ".png", out, 300), 0) << out;
        EXPECT_NE(out.find("motion 9300 of 9300 ms played"), std::string::npos) << out;
        EXPECT_NE(out.find("stereo output"), std::string::npos) << out;
        std::vector<Image> shots;
        std::string file, error;
        while (readPng(file = numberedPath(base + ".png", int(shots.size()) + 1),
                       shots.emplace_back(), error))
            std::remove(file.c_str());
        shots.pop_back(); // the first frame number not written
        ASSERT_GE(shots.size(), 8u) << out;
        for (const Image* shot : {&shots.front(), &shots.back()}) {
            EXPECT_GT(std::min(cornerBlackness(*shot, leftHalf(*shot)),
                               cornerBlackness(*shot, rightHalf(*shot))),
                      0.9);
            EXPECT_GT(measure(*shot).coverage, 0.2); // the first frame's cloud is still sparse
            EXPECT_GT(horizontalShift(*shot, middleColumns(leftHalf(*shot)), *shot,
                                      middleColumns(rightHalf(*shot)), 40)
                          .correlation,
                      0.5);
        }
        // Frame pairs that match clearly move the way the head turns (left: the picture moves
        // right), about 200 pixels in all for the quarter turn; pairs on a bare wall count for
        // nothing.
        int moved = 0, along = 0, against = 0;
        std::string shifts; // shift/correlation of each pair
        for (size_t i = 1; i < shots.size(); ++i) {
            const HorizontalShift s =
                horizontalShift(shots[i - 1], middleColumns(leftHalf(shots[i - 1])), shots[i],
                                middleColumns(leftHalf(shots[i])), 40);
            shifts += " " + std::to_string(s.pixels) + "/" + std::to_string(s.correlation);
            if (s.correlation >= 0.5 && std::abs(s.pixels) >= 2) {
                moved += s.pixels;
                (s.pixels * sign > 0 ? along : against) += 1;
            }
        }
        EXPECT_TRUE(moved * sign > 100 && against * 3 <= along) << sign << ":" << shifts;
    }
    std::remove((base + ".motion").c_str());
    std::remove((base + ".png").c_str());
}

} // namespace
