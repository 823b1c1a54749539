// Test access to the umockdev-backed HID bus (tools/virtual_headset/virtual_hid_bus.h, which
// says what a program sees on its nodes): a fixture with a fresh bus per test and an
// unrelated keyboard to put beside the headset's devices.
//
// Running: the binary must run under the umockdev preload. Register it with
// visor_add_umockdev_test(<target>) from tests/support/CMakeLists.txt, which links this
// library, builds the target with -U_FORTIFY_SOURCE and runs each case with LD_PRELOAD and the
// sanitizer options set. By hand:
//   LD_PRELOAD=libumockdev-preload.so.0 ASAN_OPTIONS=verify_asan_link_order=0 ./test
//   (ThreadSanitizer: TSAN_OPTIONS=ignore_noninstrumented_modules=1)
// Without the preload HidTestbedTest skips its cases.
//
// In a test: close every descriptor on the bus's nodes before the test body returns (the bus
// is destroyed after it, and destruction with one open hangs), make the bus (the fixture does)
// before any udev_monitor, and use pthread or std mutexes, not GLib's (invisible to TSan).
#pragma once

#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker.h"

#include <gtest/gtest.h>

#include <memory>

namespace Visor::test {

using HidTestbed = VirtualHidBus;

// A boot keyboard without report ids (8-byte input, 1-byte LED output) and no serial number.
std::shared_ptr<VirtualHidDevice> MakeKeyboard();

// A fresh bus per test, destroyed after the test body; skips the test when not under the
// preload.
class HidTestbedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { Testbed.reset(); }
    std::unique_ptr<HidTestbed> Testbed;
};

} // namespace Visor::test
