#include "app/device_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>

#include <cstring>

namespace snapsave::app {

DeviceMonitor::DeviceMonitor() = default;

DeviceMonitor::~DeviceMonitor() {
  notifier_.reset();
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

bool DeviceMonitor::Start() {
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr) return false;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0)
    return false;
  const int fd = udev_monitor_get_fd(monitor_);
  if (fd < 0) return false;
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
  return true;
}

void DeviceMonitor::Drain() {
  // Everything queued now; the window debounces bursts itself.
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr && onChange) {
      if (std::strcmp(action, "add") == 0)
        onChange(true);
      else if (std::strcmp(action, "remove") == 0)
        onChange(false);
      else if (std::strcmp(action, "change") == 0)
        onChange(true);  // media inserted into a card reader
    }
    udev_device_unref(device);
  }
}

}  // namespace snapsave::app
