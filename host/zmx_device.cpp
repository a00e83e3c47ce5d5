// The stand-in host's implementation of the device framework: small and real.
// Every service the device calls is reported to the installed HostEvents.
#include "host/zmx_device.h"

#include <unistd.h>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/host_events.h"
#include "host/serial_port.h"

// ---- events and clocks ----

HostEvents::~HostEvents() = default;
void HostEvents::on_send(uint8_t, uint8_t, const uint8_t*, int, const char*, size_t) {}
void HostEvents::on_publish(int, const unsigned char*, unsigned int) {}
void HostEvents::on_history(const unsigned char*, unsigned int) {}
void HostEvents::on_alarm(int, const std::string&, const std::string&, const std::string&, const std::string&, bool,
                          unsigned short) {}
bool HostEvents::on_ao_report(const std::string&, float) { return false; }
void HostEvents::on_check_threshold(const std::string&, const std::string&, float, int) {}
bool HostEvents::on_batch_check(size_t) { return false; }
void HostEvents::on_reset() {}
void HostEvents::on_open_port() {}
void HostEvents::on_frame_error(const char*, const uint8_t*, size_t) {}
void HostEvents::on_payload(int, int) {}

HostEvents& null_host_events() {
    static HostEvents none;
    return none;
}

HostClock::~HostClock() = default;

namespace {
class WallClock : public HostClock {
public:
    boost::posix_time::ptime local_time() const override { return boost::posix_time::second_clock::local_time(); }
};
}  // namespace

const HostClock& wall_clock() {
    static WallClock clock;
    return clock;
}

ttime_t get_ttime(boost::posix_time::ptime t) {
    ttime_t v{0, 0, 0, 0};
    if (t.is_special()) return v;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    v.word = uint32_t(d.year()) | (uint32_t(d.month().as_number()) << 16) | (uint32_t(d.day().as_number()) << 24);
    v.hour = uint8_t(tod.hours());
    v.minute = uint8_t(tod.minutes());
    v.second = uint8_t(tod.seconds());
    return v;
}

// ---- VDeviceInterface ----

VDeviceInterface::VDeviceInterface() = default;
VDeviceInterface::~VDeviceInterface() = default;

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const { throw std::out_of_range("数据未就绪"); }

bool VDeviceInterface::LoadFromCache(const std::string& blob) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(blob.data()), int(blob.size()));
}

bool VDeviceInterface::LoadFromCache(const unsigned char*, int) { return false; }

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int&) { return -1; }

void VDeviceInterface::RoundDone() {}

void VDeviceInterface::Reset() {}

// The device's clock, offered to the plug-in by name (its weak reference binds
// to this definition): seconds since 1970-01-01 00:00:00 of the device's local
// time.
// `device` is the VDeviceInterface of a device this host created, and every
// such device is a ZMXVDevice.
extern "C" __attribute__((visibility("default"))) int tzv58_host_local_time(const void* device, long long* seconds) {
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    const auto* v = static_cast<const ZMXVDevice*>(static_cast<const VDeviceInterface*>(device));
    if (!v || !v->clock || !seconds) return 0;
    const boost::posix_time::ptime t = v->clock->local_time();
    if (t.is_special()) return 0;
    *seconds = (t - epoch).total_seconds();
    return 1;
}

// ---- ZMXVDevice ----

ZMXVDevice::ZMXVDevice() : events(&null_host_events()), clock(&wall_clock()) {}
ZMXVDevice::~ZMXVDevice() = default;

boost::posix_time::ptime ZMXVDevice::LocalTime() const { return clock->local_time(); }

bool ZMXVDevice::InitV(ZMXVDevice*, unsigned int id, const Json::Value& config) {
    data_id = id;
    return InitSetting(config);
}

bool ZMXVDevice::Init(std::weak_ptr<ZMXController>, unsigned int id, const Json::Value& config) {
    data_id = id;
    return InitSetting(config);
}

bool ZMXVDevice::InitSetting(const Json::Value&) { return true; }
bool ZMXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

int ZMXVDevice::SendSP(int type, const unsigned char* data, unsigned int len, bool) {
    events->on_publish(type, data, len);
    return 0;
}

int ZMXVDevice::SendDelayData(int) { return 0; }
int ZMXVDevice::SendDoData(int, char) { return 0; }
int ZMXVDevice::ReadDi(int) { return 0; }
float ZMXVDevice::ReadAi(int) { return 0.0f; }
float ZMXVDevice::Get_SP_Value(unsigned int index, const std::string& signal_id) { return Get_Value(index, signal_id); }

bool ZMXVDevice::CheckAOReport(const std::string& name, float value) { return events->on_ao_report(name, value); }

void ZMXVDevice::CheckThreshold(const std::string& name, const std::string& text, float const& value, int flag) {
    events->on_check_threshold(name, text, value, flag);
}

bool ZMXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return events->on_batch_check(rules.size());
}

void ZMXVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& id, const std::string& text1,
                                    const std::string& text2, bool active, unsigned short seq) {
    events->on_alarm(level, key, id, text1, text2, active, seq);
}

void ZMXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) { events->on_history(data, len); }

// ---- ZMXSPDevice ----

ZMXSPDevice::ZMXSPDevice() = default;

ZMXSPDevice::~ZMXSPDevice() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

// The serial device's set-up. This stand-in keeps no controller: the id and
// the configuration are taken as every device takes them.
bool ZMXSPDevice::Init(std::weak_ptr<ZMXController> controller, unsigned int id, const Json::Value& config) {
    return ZMXVDevice::Init(std::move(controller), id, config);
}

void ZMXSPDevice::Reset() {
    awaiting_reply = false;
    events->on_reset();
}

int ZMXSPDevice::RefreshStatus() {
    // No new round while a reply is awaited or the line is held.
    return (IsProcessing() || IsStalled()) ? 0 : 1;
}

int ZMXSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool ZMXSPDevice::IsProcessing() { return awaiting_reply; }
bool ZMXSPDevice::IsStalled() { return stalled; }

int ZMXSPDevice::SendData(const unsigned char* data, unsigned int len) {
    if (fd_ >= 0 && tzv58::write_all(fd_, data, len, 2000) < 0) return -1;
    awaiting_reply = true;
    return int(len);
}

int ZMXSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) { return SendData(data, len); }

int ZMXSPDevice::OpenPort() {
    events->on_open_port();
    if (fd_ >= 0 || port_name.empty()) return 0;
    std::string err;
    const int fd = tzv58::open_serial_port(port_name, baud_rate, err);
    if (fd < 0) return -1;
    AttachFd(fd, true);
    return 0;
}

int ZMXSPDevice::ClosePort() {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
    owns_fd_ = false;
    return 0;
}

int ZMXSPDevice::fd() const { return fd_; }

void ZMXSPDevice::AttachFd(int fd, bool owned) {
    ClosePort();
    fd_ = fd;
    owns_fd_ = owned;
}

ZMXController::~ZMXController() = default;
Provider::~Provider() = default;
ZMXSPDeviceProvider::~ZMXSPDeviceProvider() = default;
