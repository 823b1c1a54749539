// The orientation filter on real IMU recordings with an optical reference, fed as the tracker
// device converts raw counts; and the recording reader's resampling and refusals.
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"
#include "tools/virtual_headset/broad_recording.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace Visor;

TEST(BroadRecording, ResamplesTo1kHzInTrackerAxesAndRefusesMalformedFiles) {
    const std::string head = "t_s,gyr_x,gyr_y,gyr_z,acc_x,acc_y,acc_z,opt_qw,opt_qx,opt_qy,"
                             "opt_qz,movement\n",
                      row = "0,0,0,0,0,1,0,1,0,0,0,0\n";
    std::istringstream good(head + row + "0.0035,0.35,0,0,0,1,0,nan,nan,nan,nan,1\r\n");
    BroadRecording r;
    std::string error;
    ASSERT_TRUE(ParseBroadRecording(good, &r, &error)) << error;
    ASSERT_EQ(r.Samples.size(), 4u);                                          // 0 .. 3 ms
    EXPECT_TRUE(r.Samples[1].GyroX == 1000 && r.Samples[1].AccelZ == -10000); // IMU +Y: -Z
    EXPECT_FALSE(r.References[0].Valid); // a neighbour has no reference
    for (const std::string& text :
         {std::string(), head, head + row, head + row + row, head + "0,0\n" + row,
          head + row + "1,0,0,0,0,0,0,1,0,0,0,0,0\n", head + "0,nan,0,0,0,0,0,1,0,0,0,0\n" + row,
          head + row + "1e9,0,0,0,0,0,0,1,0,0,0,0\n"}) {
        std::istringstream in(text);
        EXPECT_FALSE(ParseBroadRecording(in, &r, &error)) << text;
        EXPECT_TRUE(r.Samples.empty() && error.rfind("line ", 0) == 0) << error;
    }
}

// The filter holds about 2 degrees at rest (estimates under 0.05 rad are not recorded) and 4 to
// 5 while moving; without tilt correction the gyroscope's bias alone gives a median of 9 to 12.
// The per-window curve goes to the test log.
TEST(BroadRecording, FilterKeepsTiltCloseToTheOpticalReference) {
    for (const char* file : {"02_undisturbed_slow_rotation_B_first70s.csv",
                             "07_undisturbed_fast_rotation_B_first60s.csv"}) {
        BroadRecording rec;
        std::string error;
        if (!LoadBroadRecording(std::string(VISOR_TESTDATA_DIR) + "/imu_broad/" + file, &rec,
                                &error))
            GTEST_SKIP() << error;
        SensorFusion fusion;
        TiltErrorLog log;
        BodyFrameMessage m(nullptr);
        m.Duration = 0.001f;
        for (std::size_t k = 0; k < rec.Samples.size(); ++k) {
            const SensorSample& s = rec.Samples[k];
            const std::int32_t raw[6] = {s.AccelX, s.AccelY, s.AccelZ, s.GyroX, s.GyroY, s.GyroZ};
            for (int i = 0; i < 3; ++i)
                m.Acceleration[i] = float(raw[i]) * SensorCountScale,
                m.AngularRate[i] = float(raw[i + 3]) * SensorCountScale;
            fusion.GetHandler()->TakeMessage(m);
            log.Add(fusion.ReadOrientation(), rec.References[k]);
        }
        std::printf("%s: ", file);
        log.Print(stdout);
        const TiltErrorLog::Summary moving = log.Moving();
        EXPECT_TRUE(moving.Count > 10000 && moving.Median < 6.5f && moving.Max < 12) << file;
    }
}
