// Serves software HID devices through a umockdev testbed: fake sysfs chains and hidraw nodes.
#include "tools/virtual_headset/virtual_hid_bus.h"

#include <umockdev.h>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace Visor {

namespace {

// One byte in the node's FIFO per queued report makes poll() see the queue. Removing the
// hidraw device deletes its node, so a replug makes a new FIFO and the pipe moves to it.
class TokenPipe {
public:
    ~TokenPipe() { Close(); }

    bool Open(const std::string& path) {
        std::lock_guard<std::mutex> lock(Lock);
        Close();
        if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST)
            return false;
        // Read-write, so that neither end blocks and the FIFO never reports end of file.
        Fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return Fd >= 0;
    }
    void Put() {
        std::lock_guard<std::mutex> lock(Lock);
        const char token = 'r';
        // A full pipe (64 KiB of tokens) only delays a wake-up the next read catches up on.
        (void)!write(Fd, &token, 1);
    }
    void Take() {
        std::lock_guard<std::mutex> lock(Lock);
        char token;
        (void)!read(Fd, &token, 1);
    }

private:
    void Close() {
        if (Fd >= 0)
            close(Fd);
        Fd = -1;
    }

    std::mutex Lock;
    int Fd = -1;
};

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
    return text;
}

std::string TakeString(gchar* text) {
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

// A node reaches nothing of the bus: its handler's signal connections share its ownership, so a
// request the worker thread is still answering keeps it alive after the bus has let it go.
struct Node {
    std::shared_ptr<VirtualHidDevice> Device;
    int Index = 0;
    std::string DevName;                                     // "/dev/hidraw0"
    std::string UsbName, InterfaceName;                      // sysfs names, kept across replugs
    std::string UsbPath, InterfacePath, HidPath, HidrawPath; // empty while unplugged
    UMockdevIoctlBase* Handler = nullptr;
    std::shared_ptr<TokenPipe> Tokens;

    std::mutex Lock; // guards what follows; the worker thread and the test thread meet here
    bool Plugged = false;
    unsigned Generation = 0; // descriptors opened in an earlier generation stay dead
    std::map<UMockdevIoctlClient*, unsigned> Clients;

    bool IsLive(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> lock(Lock);
        auto found = Clients.find(client);
        const unsigned generation = found == Clients.end() ? Generation : found->second;
        return Plugged && generation == Generation;
    }
};

// The user data of every signal connection: a share of its node, dropped when GLib lets the
// connection go, which it does only once no callback through it is running.
using NodeShare = std::shared_ptr<Node>;

Node* NodeOf(gpointer data) {
    return static_cast<NodeShare*>(data)->get();
}

void DropNodeShare(gpointer data, GClosure*) {
    delete static_cast<NodeShare*>(data);
}

void Connect(UMockdevIoctlBase* handler, const char* signal, GCallback callback,
             const NodeShare& node) {
    g_signal_connect_data(handler, signal, callback, new NodeShare(node), DropNodeShare,
                          GConnectFlags(0));
}

void OnClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* node = NodeOf(data);
    std::lock_guard<std::mutex> lock(node->Lock);
    // A descriptor opened while unplugged belongs to no generation that will come back.
    node->Clients[client] = node->Plugged ? node->Generation : node->Generation - 1;
}

void OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* node = NodeOf(data);
    std::lock_guard<std::mutex> lock(node->Lock);
    node->Clients.erase(client);
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node* node = NodeOf(data);
    if (!node->IsLive(client)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const int length = node->Device->ReadInputReport(
        arg->data, static_cast<std::size_t>(std::max(arg->data_len, 0)));
    // Every read takes a token, so surplus tokens (reports cleared unread) drain too.
    node->Tokens->Take();
    if (length < 0)
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
    else
        umockdev_ioctl_client_complete(client, length, 0);
    return TRUE;
}

// Resolves the ioctl's pointer argument to size bytes of the caller's memory.
UMockdevIoctlData* Resolve(UMockdevIoctlClient* client, std::size_t size) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, &error);
    if (error)
        g_error_free(error);
    return data;
}

// Copies text, cut to size with its terminator, as the kernel's string ioctls do.
int CopyString(UMockdevIoctlData* data, std::size_t size, const std::string& text) {
    if (size == 0)
        return 0;
    const std::size_t length = std::min(size - 1, text.size());
    std::memcpy(data->data, text.c_str(), length);
    data->data[length] = 0;
    return static_cast<int>(length + 1);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    Node* node = NodeOf(userData);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (_IOC_TYPE(request) != 'H')
        return FALSE;
    if (!node->IsLive(client)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    VirtualHidDevice& device = *node->Device;
    const VirtualHidDevice::Identity& identity = device.GetIdentity();
    const std::vector<std::uint8_t>& descriptor = device.GetReportDescriptor();
    const std::size_t size = _IOC_SIZE(request);
    long result = 0;
    int error = 0;
    UMockdevIoctlData* data = nullptr;

    switch (_IOC_NR(request)) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        data = Resolve(client, sizeof(int));
        const int descriptorSize = static_cast<int>(descriptor.size());
        std::memcpy(data->data, &descriptorSize, sizeof descriptorSize);
        break;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        data = Resolve(client, sizeof(hidraw_report_descriptor));
        hidraw_report_descriptor reply;
        std::memcpy(&reply.size, data->data, sizeof reply.size);
        if (reply.size > HID_MAX_DESCRIPTOR_SIZE - 1) {
            result = -1;
            error = EINVAL;
            break;
        }
        const std::size_t length = std::min<std::size_t>(reply.size, descriptor.size());
        std::memcpy(data->data + offsetof(hidraw_report_descriptor, value), descriptor.data(),
                    length);
        break;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        data = Resolve(client, sizeof(hidraw_devinfo));
        hidraw_devinfo info{};
        info.bustype = BUS_USB;
        info.vendor = static_cast<__s16>(identity.VendorId);
        info.product = static_cast<__s16>(identity.ProductId);
        std::memcpy(data->data, &info, sizeof info);
        break;
    }
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        data = Resolve(client, size);
        result = CopyString(data, size, identity.Manufacturer + " " + identity.Product);
        break;
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        data = Resolve(client, size);
        result = CopyString(data, size,
                            "usb-0000:00:14.0-" + std::to_string(node->Index + 1) + "/input0");
        break;
    case _IOC_NR(HIDIOCSFEATURE(0)):
        data = Resolve(client, size);
        if (size == 0 || !device.SetFeature(data->data, size)) {
            result = -1;
            error = size == 0 ? EINVAL : EPIPE;
        } else {
            result = static_cast<long>(size);
        }
        break;
    case _IOC_NR(HIDIOCGFEATURE(0)):
        data = Resolve(client, size);
        result = size == 0 ? -1 : device.GetFeature(data->data, size);
        if (result < 0) {
            result = -1;
            error = size == 0 ? EINVAL : EPIPE;
        }
        break;
    default:
        return FALSE;
    }
    if (data)
        g_object_unref(data);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
}

} // namespace

struct VirtualHidBus::Impl {
    UMockdevTestbed* Testbed = nullptr;
    std::string RootDir;
    std::vector<std::shared_ptr<Node>> Nodes;
    std::map<int, std::string> Cards; // sysfs paths of the display cards added

    Node* Find(const std::string& path) const;
    bool AddChain(Node& node);
};

VirtualHidBus::VirtualHidBus() : State(std::make_unique<Impl>()) {
    // Under the preload the testbed takes over /sys and /dev for this process.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload"))
        return;
    State->Testbed = umockdev_testbed_new();
    State->RootDir = TakeString(umockdev_testbed_get_root_dir(State->Testbed));
}

VirtualHidBus::~VirtualHidBus() {
    // umockdev still calls handlers after they are detached, even while the testbed is released
    // below (an opening it had not yet taken up); their connections keep each node until then.
    for (const std::shared_ptr<Node>& node : State->Nodes) {
        node->Device->SetReportListener(nullptr);
        if (node->Handler) {
            umockdev_testbed_detach_ioctl(State->Testbed, node->DevName.c_str(), nullptr);
            g_object_unref(node->Handler);
        }
    }
    State->Nodes.clear();
    if (State->Testbed)
        g_object_unref(State->Testbed);
}

bool VirtualHidBus::IsValid() const {
    return State->Testbed != nullptr;
}

std::string VirtualHidBus::GetRootDir() const {
    return State->RootDir;
}

Node* VirtualHidBus::Impl::Find(const std::string& path) const {
    for (const std::shared_ptr<Node>& node : Nodes)
        if (node->DevName == path)
            return node.get();
    return nullptr;
}

std::string VirtualHidBus::GetSysPath(const std::string& node) const {
    Node* found = State->Find(node);
    if (!found)
        return {};
    std::lock_guard<std::mutex> lock(found->Lock);
    return found->HidrawPath;
}

namespace {

// add_devicev takes NULL-terminated arrays of name, value, name, value...
std::string AddSysDevice(UMockdevTestbed* testbed, const char* subsystem, const std::string& name,
                         const std::string& parent, const std::vector<std::string>& attributes,
                         const std::vector<std::string>& properties) {
    std::vector<gchar*> attributeArray, propertyArray;
    for (const std::string& text : attributes)
        attributeArray.push_back(const_cast<gchar*>(text.c_str()));
    for (const std::string& text : properties)
        propertyArray.push_back(const_cast<gchar*>(text.c_str()));
    attributeArray.push_back(nullptr);
    propertyArray.push_back(nullptr);
    return TakeString(umockdev_testbed_add_devicev(testbed, subsystem, name.c_str(),
                                                   parent.empty() ? nullptr : parent.c_str(),
                                                   attributeArray.data(), propertyArray.data()));
}

} // namespace

bool VirtualHidBus::Impl::AddChain(Node& node) {
    const VirtualHidDevice::Identity& id = node.Device->GetIdentity();
    const std::string vendor = Hex4(id.VendorId), product = Hex4(id.ProductId);
    const std::string devnum = std::to_string(node.Index + 2);
    {
        // Live before the "add" uevent goes out: a program may open the node as soon as it hears.
        std::lock_guard<std::mutex> lock(node.Lock);
        node.Plugged = true;
        ++node.Generation;
    }

    std::vector<std::string> usbAttributes = {"idVendor",     vendor,
                                              "idProduct",    product,
                                              "bcdDevice",    Hex4(id.VersionNumber),
                                              "busnum",       "1",
                                              "devnum",       devnum,
                                              "speed",        "12",
                                              "manufacturer", id.Manufacturer,
                                              "product",      id.Product};
    // A device without a serial-number string has no such attribute.
    if (!id.SerialNumber.empty()) {
        usbAttributes.push_back("serial");
        usbAttributes.push_back(id.SerialNumber);
    }
    const std::string usb =
        AddSysDevice(Testbed, "usb", node.UsbName, "", usbAttributes,
                     {"DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM", "00" + devnum, "PRODUCT",
                      vendor + "/" + product + "/" + Hex4(id.VersionNumber)});
    const std::string interface =
        usb.empty() ? std::string()
                    : AddSysDevice(Testbed, "usb", node.InterfaceName, usb,
                                   {"bInterfaceClass", "03", "bInterfaceSubClass", "00",
                                    "bInterfaceProtocol", "00", "bInterfaceNumber", "00"},
                                   {"DEVTYPE", "usb_interface", "INTERFACE", "3/0/0"});
    // The kernel names a HID device bus:vendor:product.instance in upper-case hex.
    char hidName[32];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", id.VendorId, id.ProductId,
                  (node.Index + 1) & 0xFFFF);
    const std::string hid =
        interface.empty()
            ? std::string()
            : AddSysDevice(Testbed, "hid", hidName, interface, {},
                           {"HID_ID", "0003:0000" + vendor + ":0000" + product, "HID_NAME",
                            id.Manufacturer + " " + id.Product, "HID_UNIQ", id.SerialNumber,
                            "MODALIAS", "hid:b0003g0001v0000" + vendor + "p0000" + product});
    if (!hid.empty()) {
        // The call takes a mutable buffer.
        std::vector<std::uint8_t> bytes = node.Device->GetReportDescriptor();
        umockdev_testbed_set_attribute_binary(Testbed, hid.c_str(), "report_descriptor",
                                              bytes.data(), static_cast<gssize>(bytes.size()));
    }
    const std::string index = std::to_string(node.Index);
    const std::string hidraw =
        hid.empty()
            ? std::string()
            : AddSysDevice(Testbed, "hidraw", "hidraw" + index, hid, {"dev", "240:" + index},
                           {"DEVNAME", node.DevName, "MAJOR", "240", "MINOR", index});
    std::lock_guard<std::mutex> lock(node.Lock);
    node.UsbPath = usb;
    node.InterfacePath = interface;
    node.HidPath = hid;
    node.HidrawPath = hidraw;
    node.Plugged = !hidraw.empty();
    return node.Plugged;
}

std::string VirtualHidBus::AddDevice(std::shared_ptr<VirtualHidDevice> device) {
    if (!State->Testbed || !device)
        return {};
    auto node = std::make_shared<Node>();
    node->Device = std::move(device);
    node->Index = static_cast<int>(State->Nodes.size());
    node->DevName = "/dev/hidraw" + std::to_string(node->Index);
    node->UsbName = "1-" + std::to_string(node->Index + 1);
    node->InterfaceName = node->UsbName + ":1.0";

    const std::string devDir = State->RootDir + "/dev";
    mkdir(devDir.c_str(), 0755);
    node->Tokens = std::make_shared<TokenPipe>();
    if (!node->Tokens->Open(State->RootDir + node->DevName))
        return {};

    node->Handler = umockdev_ioctl_base_new();
    Connect(node->Handler, "handle-ioctl", G_CALLBACK(OnIoctl), node);
    Connect(node->Handler, "handle-read", G_CALLBACK(OnRead), node);
    Connect(node->Handler, "client-connected", G_CALLBACK(OnClientConnected), node);
    Connect(node->Handler, "client-vanished", G_CALLBACK(OnClientVanished), node);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(State->Testbed, node->DevName.c_str(), node->Handler,
                                       &error)) {
        if (error)
            g_error_free(error);
        g_object_unref(node->Handler);
        return {};
    }
    // Reports queued before the node existed get their tokens too.
    for (std::size_t i = node->Device->GetQueuedReportCount(); i > 0; --i)
        node->Tokens->Put();
    std::shared_ptr<TokenPipe> tokens = node->Tokens;
    node->Device->SetReportListener([tokens]() { tokens->Put(); });

    Node& added = *node;
    State->Nodes.push_back(std::move(node));
    if (!State->AddChain(added))
        return {};
    return added.DevName;
}

bool VirtualHidBus::Unplug(const std::string& path) {
    Node* node = State->Find(path);
    if (!node)
        return false;
    std::string paths[4];
    {
        std::lock_guard<std::mutex> lock(node->Lock);
        if (!node->Plugged)
            return false;
        node->Plugged = false;
        ++node->Generation;
        paths[0] = std::move(node->HidrawPath);
        paths[1] = std::move(node->HidPath);
        paths[2] = std::move(node->InterfacePath);
        paths[3] = std::move(node->UsbPath);
        node->HidrawPath.clear();
        node->HidPath.clear();
        node->InterfacePath.clear();
        node->UsbPath.clear();
    }
    // Wakes a reader in poll(); its read then fails with ENODEV.
    node->Tokens->Put();
    // The kernel announces removal child first; removing a parent before its children breaks
    // the next add under the same names.
    for (const std::string& syspath : paths)
        umockdev_testbed_uevent(State->Testbed, syspath.c_str(), "remove");
    for (const std::string& syspath : paths)
        umockdev_testbed_remove_device(State->Testbed, syspath.c_str());
    return true;
}

bool VirtualHidBus::Replug(const std::string& path) {
    Node* node = State->Find(path);
    if (!node)
        return false;
    {
        std::lock_guard<std::mutex> lock(node->Lock);
        if (node->Plugged)
            return false;
    }
    // Nothing the device queued while unplugged ever left it.
    node->Device->ClearInputReports();
    if (!node->Tokens->Open(State->RootDir + node->DevName))
        return false;
    return State->AddChain(*node);
}

std::string VirtualHidBus::AddDisplay(int card, const std::string& connector,
                                      const std::vector<std::uint8_t>& edid, bool connected) {
    if (!IsValid())
        return {};
    const std::string cardName = "card" + std::to_string(card);
    std::string& cardPath = State->Cards[card];
    if (cardPath.empty())
        cardPath = AddSysDevice(State->Testbed, "drm", cardName, "",
                                {"dev", "226:" + std::to_string(card)},
                                {"DEVNAME", "/dev/dri/" + cardName, "DEVTYPE", "drm_minor"});
    if (cardPath.empty())
        return {};
    std::string path = AddSysDevice(State->Testbed, "drm", cardName + "-" + connector, cardPath,
                                    {"status", connected ? "connected" : "disconnected", "enabled",
                                     connected ? "enabled" : "disabled"},
                                    {"DEVTYPE", "drm_connector"});
    if (!path.empty() && !edid.empty())
        umockdev_testbed_set_attribute_binary(State->Testbed, path.c_str(), "edid",
                                              const_cast<guint8*>(edid.data()),
                                              static_cast<gssize>(edid.size()));
    return path;
}

} // namespace Visor
