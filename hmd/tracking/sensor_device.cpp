// The tracker's factory, description and device: configuration through feature reports,
// keep-alive, and the decoding of its reports into body-frame messages.
#include "hmd/tracking/sensor_device_impl.h"

#include <algorithm>

#include "hmd/devices/log.h"
#include "hmd/tracking/hmd_device.h"

namespace Visor {

namespace {

constexpr std::uint16_t TrackerVendorId = 0x2833;
constexpr std::uint16_t TrackerProductId = 0x0001;
constexpr std::uint16_t AltTrackerVendorId = 0x0483;
constexpr std::uint16_t AltTrackerProductId = 0x5750;

// Larger steps between reports are taken for a restart of the tracker's counter, not a gap.
constexpr unsigned MaxRepairedGap = 254;

class SensorEnumerator : public HIDEnumerateVisitor {
public:
    SensorEnumerator(SensorDeviceFactory* factory, DeviceFactory::EnumerateVisitor& visitor)
        : Factory(factory), Visitor(visitor) {}
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) override {
        return Factory->MatchIds(vendorId, productId);
    }
    void Visit(HIDDevice& device, const HidDeviceRecord& record) override {
        SensorDeviceCreateDesc desc(Factory, record);
        Visitor.Visit(desc);
        // A tracker that stores its screen's description stands for the headset's display too,
        // even where no headset monitor can be found.
        Linux::HMDDeviceFactory* displays = Factory->GetDisplayFactory();
        std::uint8_t report[SensorDisplayInfo::PacketSize] = {SensorReport_DisplayInfo};
        SensorDisplayInfo info;
        if (displays && device.GetFeature(report, sizeof report) &&
            info.Unpack(report, sizeof report) && info.HasScreenInfo())
            Visitor.Visit(Linux::HMDDeviceCreateDesc::FromDisplayInfo(displays, info));
    }

private:
    SensorDeviceFactory* Factory;
    DeviceFactory::EnumerateVisitor& Visitor;
};

// ListLock when the description belongs to a manager; nothing to guard otherwise.
class OptionalLocker {
public:
    explicit OptionalLocker(Mutex* m) : M(m) {
        if (M)
            M->Lock();
    }
    ~OptionalLocker() {
        if (M)
            M->Unlock();
    }
    OptionalLocker(const OptionalLocker&) = delete;
    OptionalLocker& operator=(const OptionalLocker&) = delete;

private:
    Mutex* M;
};

} // namespace

SensorRange SensorMaxRange() {
    SensorRange range;
    range.MaxAccel = 156.96f;
    range.MaxRotation = 2000 * DegreeToRadFactor;
    range.MaxField = 2.5f;
    return range;
}

void SensorDeviceFactory::EnumerateDevices(EnumerateVisitor& visitor) {
    HIDDeviceManager* hid = Manager ? Manager->GetHidManager() : nullptr;
    if (!hid)
        return;
    SensorEnumerator enumerator(this, visitor);
    hid->Enumerate(&enumerator);
}

bool SensorDeviceFactory::MatchIds(std::uint16_t vendorId, std::uint16_t productId) const {
    return (vendorId == TrackerVendorId && productId == TrackerProductId) ||
           (vendorId == AltTrackerVendorId && productId == AltTrackerProductId);
}

bool SensorDeviceFactory::ClaimHidDevice(DeviceManager* manager, const HidDeviceRecord& record) {
    if (!manager || !MatchIds(record.VendorId, record.ProductId))
        return false;
    SensorDeviceCreateDesc desc(this, record);
    return !manager->AddDevice(desc).IsEmpty();
}

DeviceCreateDesc* SensorDeviceCreateDesc::Clone() const {
    return new SensorDeviceCreateDesc(*this);
}

DeviceBase* SensorDeviceCreateDesc::MakeDevice() {
    return new SensorDeviceImpl(this);
}

bool SensorDeviceCreateDesc::QueryInfo(DeviceInfoRecord* info) const {
    if (!info || (info->RecordType != Type_Sensor && info->RecordType != Type_None))
        return false;
    DeviceInfoRecord::SetName(info->Product, HidDesc.Product.ToCStr());
    DeviceInfoRecord::SetName(info->Manufacturer, HidDesc.Manufacturer.ToCStr());
    info->Type = Type_Sensor;
    info->Version = 0;
    if (info->RecordType == Type_Sensor) {
        auto* tracker = static_cast<TrackerInfo*>(info);
        tracker->VendorId = HidDesc.VendorId;
        tracker->ProductId = HidDesc.ProductId;
        tracker->MaxRanges = SensorMaxRange();
        DeviceInfoRecord::SetName(tracker->SerialNumber, HidDesc.SerialNumber.ToCStr());
    }
    return true;
}

DeviceCreateDesc::MatchResult
SensorDeviceCreateDesc::SameDevice(const DeviceCreateDesc& other,
                                   DeviceCreateDesc** candidate) const {
    (void)candidate;
    if (other.Type != Type_Sensor || other.Factory != Factory)
        return NoMatch;
    const auto& desc = static_cast<const SensorDeviceCreateDesc&>(other);
    return MatchHidRecord(desc.HidDesc) ? Matched : NoMatch;
}

SensorDeviceImpl::SensorDeviceImpl(SensorDeviceCreateDesc* desc)
    : HIDDeviceImpl<SensorDevice>(desc) {}

bool SensorDeviceImpl::Initialize(DeviceBase* parent) {
    if (!OpenHid(parent))
        return false;
    OpenTracker();
    TextToLog("Visor::SensorDevice initialized.\n");
    return true;
}

void SensorDeviceImpl::OpenTracker() {
    std::uint8_t range[SensorRangeReport::PacketSize] = {SensorReport_Range};
    SensorRangeReport rangeReport;
    if (Hid->GetFeature(range, sizeof range) && rangeReport.Unpack(range, sizeof range)) {
        OptionalLocker lock(GetListLock());
        rangeReport.GetRange(&ActiveRange);
    }
    // A tracker that describes a display sits in a headset: it reports in headset axes.
    std::uint8_t display[SensorDisplayInfo::PacketSize] = {SensorReport_DisplayInfo};
    SensorDisplayInfo info;
    CoordinateFrame frame = SensorAxes;
    if (Hid->GetFeature(display, sizeof display) && info.Unpack(display, sizeof display))
        frame = info.HasScreenInfo() ? HeadsetAxes : SensorAxes;
    SetFrameOnThread(frame);
    SetRateOnThread(500);
    SendKeepAlive();
}

void SensorDeviceImpl::Shutdown() {
    if (Hid)
        Hid->SetHandler(nullptr);
    HandlerRef.SetHandler(nullptr);
    Hid.Clear();
    TextToLog("Visor::SensorDevice - Closed '%s'\n", GetHidDesc()->HidDesc.Path.ToCStr());
}

void SensorDeviceImpl::SetMessageTarget(MessageHandler* handler) {
    // One hold of the lock the reports are dispatched under, so the first report the new
    // handler sees starts a new sequence.
    Mutex::Locker lock(HandlerLock.GetMutex());
    if (handler)
        HavePrevReport = false;
    HIDDeviceImpl<SensorDevice>::SetMessageTarget(handler);
}

bool SensorDeviceImpl::SetFrame(CoordinateFrame frame) {
    ThreadCommandQueue* queue = GetQueue();
    return queue && queue->PushCallAndWait(this, &SensorDeviceImpl::SetFrameOnThread, frame);
}

bool SensorDeviceImpl::SetRate(unsigned rate) {
    ThreadCommandQueue* queue = GetQueue();
    return queue && queue->PushCallAndWait(this, &SensorDeviceImpl::SetRateOnThread, rate);
}

unsigned SensorDeviceImpl::GetRate() const {
    // Read on the device thread: the HID device's descriptor changes there when the device is
    // lost and reopened.
    ThreadCommandQueue* queue = GetQueue();
    unsigned rate = 0;
    auto* self = const_cast<SensorDeviceImpl*>(this);
    if (!queue || !queue->PushCallAndWaitResult(self, &SensorDeviceImpl::GetRateOnThread, &rate))
        return 0;
    return rate;
}

bool SensorDeviceImpl::SetRange(const SensorRange& range, bool wait) {
    ThreadCommandQueue* queue = GetQueue();
    if (!queue)
        return false;
    bool result = false;
    if (wait)
        return queue->PushCallAndWaitResult(this, &SensorDeviceImpl::SetRangeOnThread, &result,
                                            range) &&
               result;
    return queue->PushCommand(ThreadCommandMF1<SensorDeviceImpl, bool, const SensorRange&>(
        this, &SensorDeviceImpl::SetRangeOnThread, nullptr, range, false));
}

void SensorDeviceImpl::GetRange(SensorRange* range) const {
    if (!range)
        return;
    OptionalLocker lock(GetListLock());
    *range = ActiveRange;
}

bool SensorDeviceImpl::ReadConfig(SensorConfigReport* config) {
    std::uint8_t buffer[SensorConfigReport::PacketSize] = {SensorReport_Config};
    return Hid && Hid->GetFeature(buffer, sizeof buffer) && config->Unpack(buffer, sizeof buffer);
}

void SensorDeviceImpl::WriteConfig(const SensorConfigReport& config) {
    std::uint8_t buffer[SensorConfigReport::PacketSize];
    config.Pack(buffer, sizeof buffer);
    Hid->SetFeature(buffer, sizeof buffer);
}

void SensorDeviceImpl::SetFrameOnThread(CoordinateFrame frame) {
    RequestedFrame.store(frame);
    if (!Hid)
        return;
    SensorConfigReport config;
    ReadConfig(&config); // one that cannot be read is written with the defaults
    config.SetSensorCoordinates(frame == SensorAxes);
    WriteConfig(config);
    // A tracker that ignores the bit keeps reporting in headset axes; reading back tells.
    SensorConfigReport reported;
    ReportedFrame =
        ReadConfig(&reported) && reported.HasSensorCoordinates() ? SensorAxes : HeadsetAxes;
}

void SensorDeviceImpl::SetRateOnThread(unsigned rate) {
    if (!Hid)
        return;
    SensorConfigReport config;
    ReadConfig(&config);
    config.SetReportRate(rate);
    WriteConfig(config);
}

unsigned SensorDeviceImpl::GetRateOnThread() {
    SensorConfigReport config;
    return ReadConfig(&config) ? config.GetReportRate() : 0;
}

bool SensorDeviceImpl::SetRangeOnThread(const SensorRange& range) {
    SensorRangeReport report;
    report.SetRange(range);
    std::uint8_t buffer[SensorRangeReport::PacketSize];
    report.Pack(buffer, sizeof buffer);
    if (!Hid || !Hid->SetFeature(buffer, sizeof buffer))
        return false;
    OptionalLocker lock(GetListLock());
    report.GetRange(&ActiveRange);
    return true;
}

void SensorDeviceImpl::SendKeepAlive() {
    std::uint8_t buffer[SensorKeepAliveReport::PacketSize];
    SensorKeepAliveReport(KeepAliveMs).Pack(buffer, sizeof buffer);
    if (Hid)
        Hid->SetFeature(buffer, sizeof buffer);
}

std::uint64_t SensorDeviceImpl::OnTick(std::uint64_t ticksMks) {
    if (ticksMks >= NextKeepAlive) {
        SendKeepAlive();
        NextKeepAlive = ticksMks + KeepAliveIntervalMks;
    }
    return NextKeepAlive - ticksMks;
}

void SensorDeviceImpl::OnDeviceStatus(DeviceStatusNotice notice) {
    MessageType type = notice == DeviceStatus_Removed ? DeviceRemoved : DeviceAdded;
    {
        Mutex::Locker lock(HandlerLock.GetMutex());
        if (MessageHandler* handler = HandlerRef.GetHandler())
            handler->TakeMessage(DeviceStatusMessage(type, this, Desc));
    }
    // Outside the handler lock: the manager takes ListLock first.
    if (auto* manager = static_cast<DeviceManagerImpl*>(GetManager()))
        manager->SendDeviceStatus(type, Desc.GetDesc());
}

void SensorDeviceImpl::TakeInputReport(const std::uint8_t* data, std::uint32_t length) {
    DecodedReport decoded;
    if (DecodeSensorReport(&decoded, data, length))
        Dispatch(decoded.Report);
}

SensorDeviceImpl::Sample SensorDeviceImpl::Convert(const SensorSample& raw,
                                                   const SensorReport& report, bool toSensorAxes) {
    Sample s;
    auto axes = [toSensorAxes](float* out, std::int32_t x, std::int32_t y, std::int32_t z) {
        out[0] = float(x) * SensorCountScale;
        out[1] = float(toSensorAxes ? z : y) * SensorCountScale;
        out[2] = (toSensorAxes ? -float(y) : float(z)) * SensorCountScale;
    };
    axes(s.Acceleration, raw.AccelX, raw.AccelY, raw.AccelZ);
    axes(s.AngularRate, raw.GyroX, raw.GyroY, raw.GyroZ);
    // The magnetometer's raw Y and Z are swapped relative to the other sensors.
    const float mx = report.MagX, my = report.MagY, mz = report.MagZ;
    s.MagField[0] = mx * SensorCountScale;
    s.MagField[1] = (toSensorAxes ? my : mz) * SensorCountScale;
    s.MagField[2] = (toSensorAxes ? -mz : my) * SensorCountScale;
    s.Temperature = float(report.Temperature) * TemperatureScale;
    return s;
}

void SensorDeviceImpl::Send(MessageHandler* handler, const Sample& sample, float duration) {
    BodyFrameMessage message(this);
    std::copy(sample.Acceleration, sample.Acceleration + 3, message.Acceleration);
    std::copy(sample.AngularRate, sample.AngularRate + 3, message.AngularRate);
    std::copy(sample.MagField, sample.MagField + 3, message.MagField);
    message.Temperature = sample.Temperature;
    message.Duration = duration;
    handler->TakeMessage(message);
}

void SensorDeviceImpl::Dispatch(const SensorReport& report) {
    // The caller wants sensor axes but the tracker reports in headset axes.
    const bool toSensorAxes = RequestedFrame.load(std::memory_order_relaxed) == SensorAxes &&
                              ReportedFrame == HeadsetAxes;
    // Held for the whole report, so a handler sees all of its samples at once.
    Mutex::Locker lock(HandlerLock.GetMutex());
    MessageHandler* handler = HandlerRef.GetHandler();
    if (HavePrevReport) {
        const unsigned delta = std::uint16_t(report.Timestamp - PrevTimestamp);
        // Samples taken but carried by no report stand in as the previous sample.
        if (delta > PrevSampleCount && delta <= MaxRepairedGap && handler)
            Send(handler, Prev, float(delta - PrevSampleCount) * TimestampScale);
    } else {
        Prev = Sample();
        HavePrevReport = true;
    }
    PrevSampleCount = report.SampleCount;
    PrevTimestamp = report.Timestamp;

    const unsigned count = report.SampleCount;
    if (count == 0) {
        // Nothing to send or keep; the next gap is filled with zeros.
        Prev = Sample();
        return;
    }
    if (!handler) {
        Prev = Convert(report.Samples[count > 3 ? 2 : count - 1], report, toSensorAxes);
        return;
    }
    const unsigned carried = std::min(count, 3u);
    for (unsigned i = 0; i < carried; ++i) {
        // The oldest carried sample also stands for those that did not fit in the report.
        const float duration =
            i == 0 && count > 3 ? float(count - 2) * TimestampScale : TimestampScale;
        Prev = Convert(report.Samples[i], report, toSensorAxes);
        Send(handler, Prev, duration);
    }
}

} // namespace Visor
