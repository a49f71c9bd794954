// Block devices coming and going (a card inserted, a USB stick pulled), from the udev monitor.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace snapsave::app {

class DeviceMonitor {
 public:
  DeviceMonitor();
  ~DeviceMonitor();
  DeviceMonitor(const DeviceMonitor&) = delete;
  DeviceMonitor& operator=(const DeviceMonitor&) = delete;

  // Starts watching; false when udev cannot be reached (no hot-plug then, the list still refreshes by hand).
  bool Start();
  // On the thread that called Start: true for a device added, false for one removed.
  std::function<void(bool arrival)> onChange;

 private:
  void Drain();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace snapsave::app
