// The tracker's factory, its description and the device object behind SensorDevice: opening
// and configuring the tracker, keeping it streaming, and turning its reports into body-frame
// messages.
#pragma once

#include <atomic>
#include <cstdint>

#include "hmd/devices/hid_device_impl.h"
#include "hmd/tracking/sensor_device.h"

namespace Visor {

namespace Linux {
class HMDDeviceFactory;
}

// Each manager has its own, so any number of managers may live at once.
class SensorDeviceFactory : public DeviceFactory {
public:
    // displays (not owned, may be null) describes the headset a tracker reports it sits in.
    explicit SensorDeviceFactory(Linux::HMDDeviceFactory* displays = nullptr)
        : Displays(displays) {}

    // Device thread, ListLock held: lists the trackers present.
    void EnumerateDevices(EnumerateVisitor& visitor) override;
    // The tracker ships under two pairs of ids.
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) const override;
    bool ClaimHidDevice(DeviceManager* manager, const HidDeviceRecord& record) override;

    Linux::HMDDeviceFactory* GetDisplayFactory() const { return Displays; }

private:
    Linux::HMDDeviceFactory* Displays;
};

class SensorDeviceCreateDesc : public HIDDeviceCreateDesc {
public:
    SensorDeviceCreateDesc(DeviceFactory* factory, const HidDeviceRecord& record)
        : HIDDeviceCreateDesc(factory, Type_Sensor, record) {}

    DeviceCreateDesc* Clone() const override;
    DeviceBase* MakeDevice() override;
    // Type_None or Type_Sensor records; texts too long for their field are cut between
    // characters.
    bool QueryInfo(DeviceInfoRecord* info) const override;
    using HIDDeviceCreateDesc::SameDevice;
    MatchResult SameDevice(const DeviceCreateDesc& other,
                           DeviceCreateDesc** candidate) const override;
};

// The largest range the tracker supports.
SensorRange SensorMaxRange();

class SensorDeviceImpl : public HIDDeviceImpl<SensorDevice> {
public:
    explicit SensorDeviceImpl(SensorDeviceCreateDesc* desc);

    // Device thread: opens and configures the tracker; false when it cannot be opened.
    bool Initialize(DeviceBase* parent) override;
    void Shutdown() override;

    // Any thread. Attaching a handler restarts the sequence tracking, so its first report
    // never yields a gap message.
    void SetMessageTarget(MessageHandler* handler) override;

    bool SetFrame(CoordinateFrame frame) override;
    CoordinateFrame GetFrame() const override { return RequestedFrame.load(); }
    bool SetRate(unsigned rate) override;
    unsigned GetRate() const override;
    bool SetRange(const SensorRange& range, bool wait = false) override;
    void GetRange(SensorRange* range) const override;

    // Device thread, from the HID device.
    void TakeInputReport(const std::uint8_t* data, std::uint32_t length) override;
    // Sends a keep-alive when one is due; answers the microseconds until the next.
    std::uint64_t OnTick(std::uint64_t ticksMks) override;
    void OnDeviceStatus(DeviceStatusNotice notice) override;

    // Every this many microseconds a keep-alive asks the tracker to stream for the next
    // KeepAliveMs milliseconds.
    static constexpr std::uint64_t KeepAliveIntervalMks = 3000000;
    static constexpr std::uint16_t KeepAliveMs = 10000;

private:
    struct Sample {
        float Acceleration[3] = {0, 0, 0};
        float AngularRate[3] = {0, 0, 0};
        float MagField[3] = {0, 0, 0};
        float Temperature = 0;
    };

    // Device thread.
    void OpenTracker();
    void SetFrameOnThread(CoordinateFrame frame);
    void SetRateOnThread(unsigned rate);
    bool SetRangeOnThread(const SensorRange& range);
    unsigned GetRateOnThread();
    // The configuration as the tracker reports it; false when it cannot be read.
    bool ReadConfig(SensorConfigReport* config);
    void WriteConfig(const SensorConfigReport& config);
    void SendKeepAlive();
    void Dispatch(const SensorReport& report);
    static Sample Convert(const SensorSample& raw, const SensorReport& report, bool toSensorAxes);
    void Send(MessageHandler* handler, const Sample& sample, float duration);

    // A use of the process-wide lock that guards handler links: messages go out under it.
    SharedHandlerLock HandlerLock;

    // Written on the device thread, read by GetFrame anywhere.
    std::atomic<CoordinateFrame> RequestedFrame{SensorAxes};
    // Device thread.
    CoordinateFrame ReportedFrame = HeadsetAxes;
    std::uint64_t NextKeepAlive = 0;
    // Guarded by HandlerLock: cleared by SetMessageTarget on any thread.
    bool HavePrevReport = false;
    // Device thread.
    std::uint16_t PrevTimestamp = 0;
    std::uint8_t PrevSampleCount = 0;
    Sample Prev;
    // Guarded by the manager's ListLock.
    SensorRange ActiveRange;
};

} // namespace Visor
